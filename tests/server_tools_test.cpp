// The members' drawing tools: in the store (bytes kept as sent, order, the refusals, the limit,
// deletion by instrument and period) and through the running server (commands 45, 46, 47).
#include <gtest/gtest.h>

#include <cstring>

#include "server/market/tools.h"
#include "tests/server_report_fixtures.h"

namespace zq {
namespace {

// A complete tool whose every byte tells it apart from a tool made with another `tag`.
ToolLineRecord Tool(std::int32_t instrument, std::int32_t period, std::int32_t tag,
                    std::int32_t type = tool_type::Parallel) {
    ToolLineRecord r{};
    r.type = type;
    r.instrument = instrument;
    r.state = tool_state::Complete;
    r.period = period;
    std::snprintf(r.time1, sizeof r.time1, "%08d", 1010000 + tag);
    std::snprintf(r.time2, sizeof r.time2, "%08d", 2020000 + tag);
    std::snprintf(r.time4, sizeof r.time4, "%08d", 4040000 + tag);
    r.price1 = 165000 + tag;
    r.price2 = -7 - tag;
    r.price4 = 164000 + tag;
    for (int i = 0; i < 16; ++i) r.points[i] = tag * 100 + i - 50;
    return r;
}

bool SameBytes(const ToolLineRecord& a, const ToolLineRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class ToolStoreTest : public test::ReportStoreTest {
  protected:
    std::vector<ToolLineRecord> Load(std::int64_t member) {
        return server::LoadTools(*store_, member).value_or(std::vector<ToolLineRecord>{});
    }
};

TEST_F(ToolStoreTest, OnlyCompleteToolsOfKnownInstrumentsAndPeriodsAreStored) {
    ToolLineRecord drawing = Tool(1, 60, 1);
    drawing.state = tool_state::BaseLine;
    for (const ToolLineRecord& t : {drawing, Tool(0, 60, 1), Tool(43, 60, 1), Tool(1, 45, 1),
                                    Tool(1, 60, 1, 0), Tool(1, 60, 1, 4)})
        EXPECT_EQ(server::StoreTool(*store_, ann_, t), server::ToolStoreResult::Incomplete);
    EXPECT_TRUE(Load(ann_).empty());
    // The edges that are tools: instrument 42, the day period, types 1 and 3.
    EXPECT_EQ(server::StoreTool(*store_, ann_, Tool(42, 1440, 1, tool_type::Straight)),
              server::ToolStoreResult::Stored);
    EXPECT_EQ(server::StoreTool(*store_, ann_, Tool(1, 15, 1, tool_type::Symmetric)),
              server::ToolStoreResult::Stored);
}

TEST_F(ToolStoreTest, DeleteRemovesOneInstrumentAndPeriodOfOneMemberOnly) {
    for (const ToolLineRecord& t : {Tool(1, 60, 1), Tool(1, 15, 2), Tool(2, 60, 3), Tool(1, 60, 4)})
        ASSERT_EQ(server::StoreTool(*store_, ann_, t), server::ToolStoreResult::Stored);
    ASSERT_EQ(server::StoreTool(*store_, bob_, Tool(1, 60, 5)), server::ToolStoreResult::Stored);

    EXPECT_EQ(server::DeleteTools(*store_, ann_, 1, 60), 2);
    const std::vector<ToolLineRecord> left = Load(ann_);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(SameBytes(left[0], Tool(1, 15, 2)));
    EXPECT_TRUE(SameBytes(left[1], Tool(2, 60, 3)));
    ASSERT_EQ(Load(bob_).size(), 1u);
    EXPECT_TRUE(SameBytes(Load(bob_)[0], Tool(1, 60, 5)));
    // Nothing left to delete is no failure.
    EXPECT_EQ(server::DeleteTools(*store_, ann_, 1, 60), 0);
}

TEST_F(ToolStoreTest, AMemberAtTheLimitIsRefusedUntilToolsAreDeleted) {
    for (std::size_t i = 0; i < server::kMaxToolsPerMember; ++i)
        ASSERT_EQ(server::StoreTool(*store_, ann_, Tool(i < 10 ? 5 : 1, 60, static_cast<int>(i))),
                  server::ToolStoreResult::Stored)
            << i;
    EXPECT_EQ(server::StoreTool(*store_, ann_, Tool(1, 60, 9999)), server::ToolStoreResult::Full);
    EXPECT_EQ(Load(ann_).size(), server::kMaxToolsPerMember);
    // Another member has a limit of his own.
    EXPECT_EQ(server::StoreTool(*store_, bob_, Tool(1, 60, 1)), server::ToolStoreResult::Stored);

    EXPECT_EQ(server::DeleteTools(*store_, ann_, 5, 60), 10);
    EXPECT_EQ(server::StoreTool(*store_, ann_, Tool(1, 60, 9999)), server::ToolStoreResult::Stored);
}

// ---- through the running server ----

class ToolWireTest : public test::ReportServerTest {
  protected:
    void SetUp() override {
        ReportServerTest::SetUp();
        if (!HasFatalFailure()) demo_ = Login("demo", "demo");
    }
    test::LoggedIn demo_;
};

TEST_F(ToolWireTest, StoredToolsLoadIntactAndSurviveARestart) {
    test::MemberLink link = Link(demo_.key);
    EXPECT_TRUE(link.Tools().empty());
    const ToolLineRecord a = Tool(1, 60, 1), b = Tool(1, 240, 2), c = Tool(14, 60, 3);
    EXPECT_EQ(link.StoreTool(a), 1);
    EXPECT_EQ(link.StoreTool(b), 1);
    EXPECT_EQ(link.StoreTool(c), 1);
    ToolLineRecord half = Tool(1, 60, 4);
    half.state = tool_state::BaseLine;
    EXPECT_EQ(link.StoreTool(half), 0);

    ASSERT_TRUE(server_->Restart()) << server_->Error();
    test::MemberLink again = Link(demo_.key);
    const std::vector<ToolLineRecord> loaded = again.Tools();
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_TRUE(SameBytes(loaded[0], a));
    EXPECT_TRUE(SameBytes(loaded[1], b));
    EXPECT_TRUE(SameBytes(loaded[2], c));

    EXPECT_EQ(again.DeleteTools(1, 60), 1);
    const std::vector<ToolLineRecord> left = again.Tools();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(SameBytes(left[0], b));
    EXPECT_TRUE(SameBytes(left[1], c));
}

TEST_F(ToolWireTest, WithoutASessionNothingIsStoredOrRemoved) {
    test::MemberLink demo = Link(demo_.key);
    ASSERT_EQ(demo.StoreTool(Tool(1, 60, 1)), 1);
    test::MemberLink stranger = Link({1, 2, 3, 4});
    EXPECT_EQ(stranger.StoreTool(Tool(1, 60, 2)), 0);
    EXPECT_TRUE(stranger.Tools().empty());
    EXPECT_EQ(stranger.DeleteTools(1, 60), 0);
    EXPECT_EQ(demo.Tools().size(), 1u);
}

}  // namespace
}  // namespace zq
