// The dialogue model: its counts, positions and spans agree with its list of
// requests and its schedule.
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

TEST(DialogueModel, BlockPositionsNameTheBlocksRequestAndCollection)
{
    const std::vector<Request> &requests = Requests();
    // Each request's collection, or the next one for a request not collected.
    std::vector<std::size_t> collectionOf;
    std::size_t next = 0;
    for (const Request &request : requests) {
        collectionOf.push_back(next);
        next += request.collected ? 1 : 0;
    }
    for (unsigned block = 0; block < BlockCount; ++block) {
        const Request &request = requests.at(BlockRequestIndex(block));
        EXPECT_EQ(request.kind, RequestKind::Block) << block;
        EXPECT_EQ(request.block, block);
        EXPECT_EQ(collectionOf[BlockRequestIndex(block)], BlockCollectionIndex(block)) << block;
    }
    EXPECT_EQ(requests.back().kind, RequestKind::End);
    EXPECT_EQ(collectionOf.back(), EndCollectionIndex);
}

TEST(DialogueModel, ScheduleSendsPacedRequestsByteByByteAndTakesTheNominalSpans)
{
    const std::vector<ScheduledWrite> writes = Schedule();
    EXPECT_EQ(std::accumulate(writes.begin(), writes.end(), std::size_t{0},
                              [](std::size_t sum, const ScheduledWrite &write) { return sum + write.bytes.size(); }),
              DialogueLength);
    // The handshake and the blocks are paced, nothing else.
    for (const Request &request : Requests()) {
        EXPECT_EQ(request.paced, request.kind == RequestKind::Handshake || request.kind == RequestKind::Block)
            << Describe(request);
    }
    // Eight handshake writes, one each for four requests, three plus one per
    // block and one for the end.
    ASSERT_EQ(writes.size(), 8 + 4 + 4 * BlockCount + 1);
    EXPECT_EQ(writes[8].atMs, HandshakeSpanMs);
    EXPECT_EQ(writes[8].bytes, (Bytes{0x02, 0x00}));
    EXPECT_EQ(writes[12].atMs, HandshakeSpanMs + 4 * RequestGapMs);
    EXPECT_EQ(writes[12 + 4].atMs - writes[12].atMs, BlockSpanMs);
    EXPECT_EQ(writes.back().atMs, FirstByteToEndRequestMs);
    EXPECT_EQ(writes.back().bytes, Bytes{'E'});
    EXPECT_EQ(FirstByteToEndRequestMs, 143650u);
    EXPECT_EQ(RunSpanMs, 145150u);

    const std::vector<std::uint64_t> gaps = NominalByteGapsMs();
    ASSERT_EQ(gaps.size(), DialogueLength - 1);
    EXPECT_EQ(std::accumulate(gaps.begin(), gaps.end(), std::uint64_t{0}), FirstByteToEndRequestMs);
    // STX, 'P', ... of the handshake, then the identification request's two
    // bytes in one write.
    EXPECT_EQ(std::vector<std::uint64_t>(gaps.begin(), gaps.begin() + 9),
              (std::vector<std::uint64_t>{50, 50, 50, 50, 50, 50, 50, 500, 0}));
}

} // namespace
} // namespace trace
