// The fills and equity-curve pages in the whole program against the stand-in server: a gold
// position bought and closed through the server shows as two fills on "成交查询", and
// "资金曲线" shows the picture of the member's curve page from the server's web port.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QTabBar>
#include <algorithm>
#include <cstdlib>

#include "app/ui/main_frame.h"
#include "reports/fills_query.h"
#include "reports/ui/account_pages.h"
#include "reports/ui/explorer.h"
#include "reports/ui/simulate_main.h"
#include "tests/support/client_e2e.h"
#include "trading/model.h"
#include "trading/ui/open_order.h"
#include "trading/ui/position_dialogs.h"
#include "trading/ui/trade_actions.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::ServeUntil;
using test::WhenDialogShows;

class ReportPagesEndToEnd : public test::ClientEndToEnd {
  protected:
    void SetUp() override {
        ClientEndToEnd::SetUp();
        if (!HasFatalFailure()) test::PointClientWebAt(server_);
    }
};

TEST_F(ReportPagesEndToEnd, AnOpenedAndClosedPositionShowsAsTwoFillsAndTheCurveLoads) {
    ASSERT_NE(server_.webPort(), 0);
    const std::size_t before = model_->Positions().size();
    const std::optional<PositionRecord> bought = BuyAtMarket();
    ASSERT_TRUE(bought);
    const PositionRecord opened = *bought;
    const std::string ticket(opened.ticket);
    WhenDialogShows<COrderSJClose>([](COrderSJClose& d) { d.Submit(); });
    ASSERT_TRUE(RunClosePosition(frame_, *model_, opened));
    ASSERT_EQ(model_->Positions().size(), before);

    bool seen = false;
    std::vector<std::string> opens, profits;
    bool pictured = false;
    WhenDialogShows<CSimulateMain>(
        [&](CSimulateMain& w) {
            auto* fills = qobject_cast<CSPage4*>(w.Page(3));
            ASSERT_NE(fills, nullptr);
            w.Tabs()->setCurrentIndex(3);  // the query runs on selection, on a worker
            CSortListCtrl& list = *fills->List();
            ServeUntil(
                [&] {
                    int rows = 0;
                    for (int row = 0; row < list.rowCount(); ++row)
                        rows += U(list.Cell(row, 8)) == ticket;
                    return rows >= 2;
                },
                kWaitMs);
            for (int row = 0; row < list.rowCount(); ++row)
                if (U(list.Cell(row, 8)) == ticket) {
                    opens.push_back(U(list.Cell(row, 5)));
                    profits.push_back(U(list.Cell(row, fills_column::Profit)));
                }
            EXPECT_FALSE(fills->Figure(0)->text().isEmpty());
            const char* shots = std::getenv("ZQ_SCREENSHOT_DIR");
            if (shots) w.grab().save(QDir(QString::fromUtf8(shots)).filePath("trade-fills.png"));

            auto* equity = qobject_cast<CSPage7*>(w.Page(4));
            ASSERT_NE(equity, nullptr);
            w.Tabs()->setCurrentIndex(4);
            pictured = ServeUntil(
                [&] {
                    return equity->Explorer()->Idle() && !equity->Explorer()->Picture().isNull();
                },
                kWaitMs);
            if (!pictured) ADD_FAILURE() << U(equity->Explorer()->Text());
            if (shots) w.grab().save(QDir(QString::fromUtf8(shots)).filePath("trade-equity.png"));
            w.Tabs()->setCurrentIndex(5);
            if (shots) w.grab().save(QDir(QString::fromUtf8(shots)).filePath("trade-account.png"));
            w.Tabs()->setCurrentIndex(6);
            if (shots) w.grab().save(QDir(QString::fromUtf8(shots)).filePath("trade-rules.png"));
            seen = true;
        },
        nullptr);
    frame_->OnCommand(cmdid::TradeReport);
    ServeUntil([&] { return seen; }, 3000);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(pictured);
    std::sort(opens.begin(), opens.end());
    EXPECT_EQ(opens, (std::vector<std::string>{"平仓", "建仓"}))
        << testing::PrintToString(ui_.BoxTexts());
    // The closing fill carries its profit with two decimals, the opening one none.
    ASSERT_EQ(profits.size(), 2u);
    int withProfit = 0;
    for (const std::string& p : profits)
        if (!p.empty()) {
            ++withProfit;
            EXPECT_EQ(p.find('.'), p.size() - 3) << p;
        }
    EXPECT_EQ(withProfit, 1);
}

}  // namespace
}  // namespace zq
