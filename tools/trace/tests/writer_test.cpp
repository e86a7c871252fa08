// Writing traces, held to the reviewed golden trace of the talking device,
// and the dialogue model's counts.
#include <numeric>
#include <string>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "text_files.h"
#include "trace/reader.h"
#include "trace/writer.h"

namespace trace {
namespace {

TEST(TraceWriter, WritesTheReviewedTalkingTraceThatTheReaderReads)
{
    const std::string golden = support::Slurp(GOLDEN_TRACE);
    ASSERT_FALSE(golden.empty()) << "cannot read " GOLDEN_TRACE;
    std::vector<Bytes> answers;
    for (const devsim::Exchange &exchange : devsim::BuildDialogue({})) {
        answers.push_back(devsim::JoinReply(exchange.reply));
    }
    EXPECT_EQ(WholeTrace(CollectionsOf(answers)), golden);

    ParsedTrace parsed;
    ASSERT_EQ(ParseTrace(golden, parsed), "");
    EXPECT_EQ(parsed.port, PortState::Opened);
    EXPECT_TRUE(parsed.released);
    EXPECT_EQ(parsed.collections, CollectionsOf(answers));
    EXPECT_EQ(WholeTrace(parsed.collections), golden);
}

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
