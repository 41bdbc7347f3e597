// The trade report window in the whole program against the stand-in server: command 32826 opens
// it; a position bought through the server shows on "持仓明细" and "持仓总汇", its cells follow
// the market the server moves, and the page's own menu closes it.
#include <gtest/gtest.h>

#include <QDir>
#include <QTabBar>
#include <cmath>
#include <cstdlib>

#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "reports/ui/position_pages.h"
#include "reports/ui/simulate_main.h"
#include "tests/support/client_e2e.h"
#include "trading/model.h"
#include "trading/ui/open_order.h"
#include "trading/ui/position_dialogs.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::ServeUntil;
using test::WhenDialogShows;

std::string Cell(CReportListPage& page, int row, int column) {
    return U(page.List()->Cell(row, column));
}

// The row of `page` whose first column is `key`, or -1.
int RowOf(CReportListPage& page, const std::string& key) {
    for (int row = 0; row < page.List()->rowCount(); ++row)
        if (Cell(page, row, 0) == key) return row;
    return -1;
}

class ReportEndToEnd : public test::ClientEndToEnd {};

TEST_F(ReportEndToEnd, APositionShowsFollowsTheMarketAndClosesFromThePage) {
    ASSERT_TRUE(frame_->Action(cmdid::TradeReport)->isEnabled());
    const std::size_t before = model_->Positions().size();
    const std::optional<PositionRecord> bought = BuyAtMarket();
    ASSERT_TRUE(bought);
    const PositionRecord opened = *bought;
    const std::string ticket(opened.ticket);

    bool seen = false, closed = false;
    WhenDialogShows<CSimulateMain>(
        [&](CSimulateMain& w) {
            // 持仓总汇 shows the gold buys, 持仓明细 the new position.
            CSpage2& summary = *w.Summary();
            int line = -1;
            for (int row = 0; row < summary.List()->rowCount(); ++row)
                if (summary.List()->RowData(row) == ReportRowKey(1, direction::Buy)) line = row;
            ASSERT_GE(line, 0);
            w.Tabs()->setCurrentIndex(1);
            CSPage1& details = *w.Details();
            const int row = RowOf(details, ticket);
            ASSERT_GE(row, 0);
            EXPECT_EQ(Cell(details, row, 2), "买");

            // The market moves: the closing price and the profit follow.
            const float last = model_->FindInstrument(1).last;
            ASSERT_TRUE(MoveGold(last + 4));
            const InstrumentRecord gold = model_->FindInstrument(1);
            char bid[32];
            std::snprintf(bid, sizeof bid, "%.2f", static_cast<double>(gold.bid));
            EXPECT_TRUE(ServeUntil([&] { return Cell(details, row, 6) == bid; }))
                << Cell(details, row, 6) << " " << bid;
            EXPECT_GT(std::stod(Cell(details, row, 11)), 0.0);
            w.Tabs()->setCurrentIndex(0);
            char shortBid[32];
            std::snprintf(shortBid, sizeof shortBid, "%g", static_cast<double>(gold.bid));
            EXPECT_TRUE(ServeUntil([&] { return Cell(summary, line, 5) == shortBid; }));

            if (const char* dir = std::getenv("ZQ_SCREENSHOT_DIR"))
                w.grab().save(QDir(QString::fromUtf8(dir)).filePath("trade-report.png"));

            // Closed from the page's menu, through the close dialog.
            w.Tabs()->setCurrentIndex(1);
            details.List()->selectRow(RowOf(details, ticket));
            details.runMenu = [](const std::vector<CReportListPage::MenuItem>&, const QPoint&) {
                return CSPage1::kClose;
            };
            WhenDialogShows<COrderSJClose>([](COrderSJClose& d) { d.Submit(); });
            details.ContextMenuAt(QPoint(5, 5), QPoint(5, 5));
            closed = RowOf(details, ticket) < 0;
            seen = true;
        },
        nullptr);
    frame_->OnCommand(cmdid::TradeReport);
    ServeUntil([&] { return seen; }, 3000);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(closed) << testing::PrintToString(ui_.BoxTexts());
    EXPECT_EQ(model_->Positions().size(), before);
}

}  // namespace
}  // namespace zq
