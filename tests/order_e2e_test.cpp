// The whole program against the stand-in server: the toolbar's order commands open the real
// dialogs; a market order becomes a position and a pending order a waiting order, each with the
// frame's reloads on one connection; the market then triggers the order and a stop-loss closes
// the position; the server's refusals reach the user as their messages; programmatic trading
// refuses manual orders.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>
#include <sstream>

#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "net/wire/session.h"
#include "tests/support/client_e2e.h"
#include "tests/support/dialog_controls.h"
#include "trading/model.h"
#include "trading/ui/open_order.h"
#include "widgets/command_ids.h"
#include "widgets/ui/float_number_edit.h"

namespace zq {
namespace {

using test::RequestLines;
using test::ServerProcess;
using test::ServeUntil;
using test::WhenDialogShows;

using test::Click;
using test::Type;

class OrderEndToEnd : public test::ClientEndToEnd {};

TEST_F(OrderEndToEnd, MarketOrderOpensAPositionAndAStopLossClosesIt) {
    const std::size_t before = model_->Positions().size();
    const double margin = model_->Account().occupiedMargin;
    const float ask = model_->FindInstrument(1).ask;
    bool seen = false;
    WhenDialogShows<COpenOrder>(
        [&](COpenOrder& d) {
            EXPECT_EQ(d.Instrument(), 1);
            Type(d, COpenOrder::kLots, QStringLiteral("1.00"));
            Type(d, COpenOrder::kStopLoss, QString::number(ask - 5, 'f', 2));
            Click(d, COpenOrder::kBuy);
        },
        &seen);
    frame_->OnCommand(cmdid::NewMarketOrder);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();

    // Reloaded at once on one connection: summary, positions, account.
    std::vector<PositionRecord> positions = model_->Positions();
    ASSERT_EQ(positions.size(), before + 1);
    const PositionRecord& opened = positions.back();
    EXPECT_EQ(opened.instrument, 1);
    EXPECT_EQ(opened.direction, direction::Buy);
    EXPECT_DOUBLE_EQ(opened.heldQuantity, 1.0);
    EXPECT_NEAR(opened.openPrice, ask, 0.001);
    EXPECT_GT(model_->Account().occupiedMargin, margin);
    EXPECT_NE(model_->Account().equity, 0.0);
    EXPECT_TRUE(Logged({20, 16, 21})) << server_.Log();

    // The market falls through the stop-loss: the server closes the position and the client,
    // seeing the stop reached, reloads.
    ASSERT_TRUE(MoveGold(ask - 6));
    ASSERT_TRUE(ServeUntil([&] { return model_->Positions().size() == before; }));
}

TEST_F(OrderEndToEnd, PendingOrderWaitsThenTriggersAsTheMarketReachesIt) {
    const std::size_t positions = model_->Positions().size();
    const std::size_t orders = model_->Orders().size();
    const double frozen = model_->Account().frozenMargin;
    const float ask = model_->FindInstrument(1).ask;
    const QString limit = QString::number(ask - 10, 'f', 2);
    WhenDialogShows<COpenOrderZj>([&](COpenOrderZj& d) {
        Type(d, COpenOrderZj::kLots, QStringLiteral("0.50"));
        Type(d, COpenOrderZj::kPrice, limit);
        Click(d, COpenOrderZj::kBuy);
    });
    frame_->OnCommand(cmdid::NewPendingOrder);
    EXPECT_TRUE(ui_.BoxTexts().empty());

    std::vector<PendingOrderRecord> now = model_->Orders();
    ASSERT_EQ(now.size(), orders + 1);
    EXPECT_EQ(now.back().triggerKind, trigger::BuyAskFalls);
    EXPECT_EQ(now.back().validity, 2);
    EXPECT_NEAR(now.back().price, limit.toDouble(), 0.001);
    EXPECT_GT(model_->Account().frozenMargin, frozen);
    // Orders and the account were reloaded, not the positions.
    EXPECT_TRUE(Logged({17, 21})) << server_.Log();
    EXPECT_EQ(model_->Positions().size(), positions);

    // The ask falls to the order's price: it becomes a position.
    ASSERT_TRUE(MoveGold(limit.toDouble() - 0.5));
    ASSERT_TRUE(ServeUntil([&] {
        return model_->Positions().size() == positions + 1 && model_->Orders().size() == orders;
    }));
}

TEST_F(OrderEndToEnd, TheServersRefusalsReachTheUser) {
    const float ask = model_->FindInstrument(1).ask;
    const float last = model_->FindInstrument(1).last;
    const auto expectBox = [&](const char* text) {
        const std::vector<std::string> boxes = ui_.BoxTexts();
        ASSERT_FALSE(boxes.empty()) << text;
        EXPECT_EQ(boxes.back(), text);
    };

    // 3: fifty lots need more margin than the demo account has.
    WhenDialogShows<COpenOrder>([&](COpenOrder& d) {
        Click(d, COpenOrder::kMaxLots);
        Click(d, COpenOrder::kBuy);
        expectBox("保证金不足");
    });
    frame_->OnCommand(cmdid::NewMarketOrder);

    // 2: the market moves away while the dialog still shows the old price.
    WhenDialogShows<COpenOrder>([&](COpenOrder& d) {
        Control("price 1 " + std::to_string(last + 3));
        Click(d, COpenOrder::kBuy);
        expectBox("价格已经变动，请重新下单");
        // 5: without the deviation limit the fill comes at the new, lower price, and a stop-loss
        // exactly 2 below the shown price is only 1 below the fill.
        Control("price 1 " + std::to_string(last - 1));
        qobject_cast<QAbstractButton*>(d.Control(COpenOrder::kDeviationOn))->click();
        Type(d, COpenOrder::kStopLoss, QString::number(ask - 2, 'f', 2));
        Type(d, COpenOrder::kTakeProfit, QString());
        Click(d, COpenOrder::kBuy);
        expectBox("止损或盈利必须远离建仓价2元");
    });
    frame_->OnCommand(cmdid::NewMarketOrder);
    ASSERT_TRUE(MoveGold(last));

    // 4: a pending price 2.5 below the ask, then the market falls by one.
    WhenDialogShows<COpenOrderZj>([&](COpenOrderZj& d) {
        Type(d, COpenOrderZj::kPrice, QString::number(ask - 2.5, 'f', 2));
        Control("price 1 " + std::to_string(last - 1));
        Click(d, COpenOrderZj::kBuy);
        expectBox("挂单价必须远离市价至少2元");
    });
    frame_->OnCommand(cmdid::NewPendingOrder);
    ASSERT_TRUE(MoveGold(last));

    // 6: a closed market.
    ASSERT_EQ(Control("market 1 close").rfind("ok", 0), 0u);
    WhenDialogShows<COpenOrder>([&](COpenOrder& d) {
        Click(d, COpenOrder::kSell);
        expectBox("闭市中，禁止交易");
    });
    frame_->OnCommand(cmdid::NewMarketOrder);
    ASSERT_EQ(Control("market 1 auto").rfind("ok", 0), 0u);
}

// The market takes the account's free margin: while the available margin the client shows is
// below what an order needs, the server refuses it, however much free funds the account had
// before the fall.
TEST_F(OrderEndToEnd, NoOrderOpensWhileTheMarketHasTakenTheAvailableMargin) {
    const double perLot = 10314.06 + 309.42;  // 伦敦金's margin and fee of a lot near 1650
    const double available = model_->Account().availableMargin;
    // Buy what leaves room for two more lots, then let the market take more than that room.
    const int lots = std::clamp(static_cast<int>(available / perLot) - 2, 1, 50);
    WhenDialogShows<COpenOrder>([&](COpenOrder& d) {
        Type(d, COpenOrder::kLots, QString::number(lots) + QStringLiteral(".00"));
        Type(d, COpenOrder::kStopLoss, QString());
        Type(d, COpenOrder::kTakeProfit, QString());
        Click(d, COpenOrder::kBuy);
    });
    frame_->OnCommand(cmdid::NewMarketOrder);
    ASSERT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();
    const double room = model_->Account().availableMargin;
    ASSERT_GT(room, perLot);
    // A dollar of gold is 625 yuan a lot.
    const float last = model_->FindInstrument(1).last;
    ASSERT_TRUE(MoveGold(std::floor(last - (room + perLot) / (625.0 * lots))));
    ASSERT_LT(model_->Account().availableMargin, 0.0);

    WhenDialogShows<COpenOrder>([&](COpenOrder& d) {
        Type(d, COpenOrder::kLots, QStringLiteral("0.50"));
        Type(d, COpenOrder::kStopLoss, QString());
        Type(d, COpenOrder::kTakeProfit, QString());
        Click(d, COpenOrder::kBuy);
        ASSERT_FALSE(ui_.BoxTexts().empty());
        EXPECT_EQ(ui_.BoxTexts().back(), "保证金不足");
    });
    frame_->OnCommand(cmdid::NewMarketOrder);
}

TEST_F(OrderEndToEnd, ProgrammaticTradingRefusesManualOrders) {
    Session().programTrading = 1;
    static bool seen = false;
    WhenDialogShows<COrderEntryDialog>([](COrderEntryDialog&) {}, &seen, 6);
    frame_->OnCommand(cmdid::NewMarketOrder);
    frame_->OnCommand(cmdid::NewPendingOrder);
    ServeUntil([] { return false; }, 500);
    EXPECT_FALSE(seen);
    EXPECT_EQ(ui_.BoxTexts(), (std::vector<std::string>{"程序化交易运行中，无法进行订单操作",
                                                        "程序化交易运行中，无法进行订单操作"}));
}

}  // namespace
}  // namespace zq
