// The dialogue model: its counts agree with its list of requests.
#include <algorithm>
#include <numeric>

#include <gtest/gtest.h>

#include "trace/dialogue.h"

namespace trace {
namespace {

TEST(DialogueModel, CountsAgreeWithTheRequests)
{
    const std::vector<Request> &requests = Requests();
    EXPECT_EQ(requests.size(), RequestCount);
    EXPECT_EQ(std::accumulate(requests.begin(), requests.end(), std::size_t{0},
                              [](std::size_t sum, const Request &r) { return sum + r.bytes.size(); }),
              DialogueLength);
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const Request &r) { return r.collected; }),
              static_cast<std::ptrdiff_t>(CollectionCount));
    EXPECT_EQ(
        std::count_if(requests.begin(), requests.end(), [](const Request &r) { return r.kind == RequestKind::Block; }),
        static_cast<std::ptrdiff_t>(BlockCount));
    // Answers beyond the last collection are never collected.
    EXPECT_EQ(CollectionsOf(std::vector<Bytes>(RequestCount + 3, Bytes{1})).size(), CollectionCount);
}

} // namespace
} // namespace trace
