// Writing traces, held to the reviewed golden trace of the talking device.
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
    const std::vector<Bytes> answers = devsim::JoinedReplies({});
    EXPECT_EQ(WholeTrace(CollectionsOf(answers)), golden);

    ParsedTrace parsed;
    ASSERT_EQ(ParseTrace(golden, parsed), "");
    EXPECT_EQ(parsed.port, PortState::Opened);
    EXPECT_TRUE(parsed.released);
    EXPECT_EQ(parsed.collections, CollectionsOf(answers));
    EXPECT_EQ(WholeTrace(parsed.collections), golden);
}

} // namespace
} // namespace trace
