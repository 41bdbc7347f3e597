// The whole program against the stand-in server, changing what the demo member already holds:
// new stops of a position and a close of part of it from the chart's commands, a pending order
// changed and deleted, the server's refusals as the user reads them, and programmatic trading
// switched on through its dialog, following a published signal, refusing changes to what it
// placed, and switched off again.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <optional>

#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "chart/ui/ckmain.h"
#include "chart/ui/price_static.h"
#include "net/wire/session.h"
#include "tests/support/client_e2e.h"
#include "tests/support/dialog_controls.h"
#include "trading/model.h"
#include "trading/ui/modify_delegate.h"
#include "trading/ui/open_order.h"
#include "trading/ui/position_dialogs.h"
#include "trading/ui/program_setup.h"
#include "widgets/command_ids.h"
#include "widgets/ui/control_name.h"
#include "widgets/ui/float_number_edit.h"

namespace zq {
namespace {

using test::RequestLines;
using test::ServerProcess;
using test::ServeUntil;
using test::WhenDialogShows;

using test::Click;
using test::Text;
using test::Type;

QString Plus(const QString& price, double delta) {
    return QString::number(price.toDouble() + delta, 'f', 2);
}

class TradeChangeEndToEnd : public test::ClientEndToEnd {
  protected:
    // The record a right click on its label selects for the chart's context menu.
    void SelectOnChart(const PositionRecord& position) {
        frame_->View()->ChartWindow()->Trades().Select({{}, position, std::nullopt});
    }
    void SelectOnChart(const PendingOrderRecord& order) {
        frame_->View()->ChartWindow()->Trades().Select({{}, std::nullopt, order});
    }
    void ExpectOk(const std::string& line) {
        const std::string answer = Control(line);
        EXPECT_EQ(answer.rfind("ok", 0), 0u) << line << ": " << answer;
    }
    // How many request connections so far carried exactly these requests.
    std::size_t Count(const std::vector<int>& codes) {
        const auto lines = RequestLines(server_.Log());
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), codes));
    }
    std::optional<PositionRecord> FindPosition(
        const std::function<bool(const PositionRecord&)>& f) {
        for (const PositionRecord& p : model_->Positions())
            if (f(p)) return p;
        return std::nullopt;
    }
    std::optional<PositionRecord> Ticket(const std::string& ticket) {
        return FindPosition([&](const PositionRecord& p) { return ticket == p.ticket; });
    }
    std::optional<PendingOrderRecord> FindOrder(
        const std::function<bool(const PendingOrderRecord&)>& f) {
        for (const PendingOrderRecord& o : model_->Orders())
            if (f(o)) return o;
        return std::nullopt;
    }
    // The demo's manual 伦敦金 buy of 1.00 lots.
    PositionRecord GoldBuy() {
        const auto p = FindPosition([](const PositionRecord& r) {
            return r.instrument == 1 && r.direction == direction::Buy && r.heldQuantity == 1.0 &&
                   r.programmatic == 0;
        });
        EXPECT_TRUE(p.has_value());
        return p.value_or(PositionRecord{});
    }
    std::string LastBox() {
        const std::vector<std::string> boxes = ui_.BoxTexts();
        return boxes.empty() ? std::string() : boxes.back();
    }
    // Runs a chart command on the model's selection; true when the command's dialog showed.
    template <typename Dialog>
    bool RunOn(int command, std::function<void(Dialog&)> fill) {
        bool* seen = &seen_.emplace_back(false);
        WhenDialogShows<Dialog>(std::move(fill), seen);
        frame_->OnCommand(command);
        return *seen;
    }
    // Runs a chart command that must refuse before any dialog: false if one showed. Waits out the
    // looks for a dialog, so that none is left to catch a later one.
    bool NoDialogFor(int command) {
        bool* seen = &seen_.emplace_back(false);
        WhenDialogShows<QDialog>([](QDialog&) {}, seen, 4);
        frame_->OnCommand(command);
        ServeUntil([] { return false; }, 400);
        return !*seen;
    }

    std::deque<bool> seen_;  // the flags of the dialog looks, alive as long as the test
};

TEST_F(TradeChangeEndToEnd, NewStopsOfAPositionAcceptedAtTheBoundAndRefusedBeyondIt) {
    const PositionRecord position = GoldBuy();
    const std::string ticket = position.ticket;
    SelectOnChart(position);
    const float last = model_->FindInstrument(1).last;

    // The market falls while the dialog still shows the old bound: the server finds the stop too
    // close to the new ask, and the position keeps its stops.
    ASSERT_TRUE(RunOn<COrderModify>(cmdid::ModifyPosition, [&](COrderModify& d) {
        EXPECT_EQ(Text(d, COrderModify::kNewStopLoss), QStringLiteral("1600.00"));
        EXPECT_EQ(Text(d, COrderModify::kNewTakeProfit), QStringLiteral("1700.00"));
        const QString bound = Text(d, COrderModify::kStopBound);
        ExpectOk("price 1 " + std::to_string(last - 3));
        Type(d, COrderModify::kNewStopLoss, bound);
        Click(d, COrderModify::kModify);
        EXPECT_EQ(LastBox(), "止损或盈利无效");
        EXPECT_EQ(d.result(), 0);
    }));
    ASSERT_TRUE(MoveGold(last));
    std::optional<PositionRecord> now = Ticket(ticket);
    ASSERT_TRUE(now.has_value());
    EXPECT_NEAR(now->stopLoss, 1600.0, 0.001);
    EXPECT_TRUE(Logged({13})) << server_.Log();

    QString stopBound, takeBound;
    const std::size_t boxes = ui_.BoxTexts().size();
    ASSERT_TRUE(RunOn<COrderModify>(cmdid::ModifyPosition, [&](COrderModify& d) {
        stopBound = Text(d, COrderModify::kStopBound);
        takeBound = Text(d, COrderModify::kTakeBound);
        // One cent beyond the stop-loss bound: the client refuses and sends nothing.
        Type(d, COrderModify::kNewStopLoss, Plus(stopBound, 0.01));
        Click(d, COrderModify::kModify);
        EXPECT_EQ(LastBox(), "止损或盈利无效");
        // Exactly on both bounds: the server takes them.
        Type(d, COrderModify::kNewStopLoss, stopBound);
        Type(d, COrderModify::kNewTakeProfit, takeBound);
        Click(d, COrderModify::kModify);
        EXPECT_EQ(d.result(), 1);
    }));
    EXPECT_EQ(ui_.BoxTexts().size(), boxes + 1);
    // The model's position is the server's answer, with no reload.
    now = Ticket(ticket);
    ASSERT_TRUE(now.has_value());
    EXPECT_NEAR(now->stopLoss, stopBound.toDouble(), 0.001);
    EXPECT_NEAR(now->takeProfit, takeBound.toDouble(), 0.001);
    EXPECT_DOUBLE_EQ(now->heldQuantity, 1.0);

    // A closed market refuses any change.
    SelectOnChart(*now);
    ExpectOk("market 1 close");
    const std::size_t shown = ui_.BoxTexts().size();
    ASSERT_TRUE(RunOn<COrderModify>(cmdid::ModifyPosition, [&](COrderModify& d) {
        Type(d, COrderModify::kNewStopLoss, QString());
        Type(d, COrderModify::kNewTakeProfit, QString());
        Click(d, COrderModify::kModify);
        EXPECT_EQ(d.result(), 0);
    }));
    ExpectOk("market 1 auto");
    EXPECT_EQ(ui_.BoxTexts().size(), shown + 1);
    EXPECT_EQ(LastBox(), "止损或盈利无效");

    // A ticket the server does not know as the member's (another member's is the same to it).
    PositionRecord stranger = *now;
    std::snprintf(stranger.ticket, sizeof stranger.ticket, "999999999");
    SelectOnChart(stranger);
    const std::size_t before = ui_.BoxTexts().size();
    ASSERT_TRUE(RunOn<COrderModify>(cmdid::ModifyPosition, [&](COrderModify& d) {
        Type(d, COrderModify::kNewStopLoss, QString());
        Type(d, COrderModify::kNewTakeProfit, QString());
        Click(d, COrderModify::kModify);
    }));
    EXPECT_EQ(ui_.BoxTexts().size(), before + 1);
    EXPECT_EQ(LastBox(), "止损或盈利无效");
    now = Ticket(ticket);
    ASSERT_TRUE(now.has_value());
    EXPECT_NEAR(now->stopLoss, stopBound.toDouble(), 0.001);
}

TEST_F(TradeChangeEndToEnd, ClosingHalfAPositionSplitsItAndTheServersRefusalsReachTheUser) {
    const PositionRecord position = GoldBuy();
    const std::string ticket = position.ticket;
    const std::size_t count = model_->Positions().size();
    const double closedProfit = model_->Account().todayClosedProfit;
    const double fees = model_->Account().todayFees;
    SelectOnChart(position);

    ASSERT_TRUE(RunOn<COrderSJClose>(cmdid::ClosePosition, [&](COrderSJClose& d) {
        EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("1.00"));
        Type(d, COrderSJClose::kCloseQuantity, QStringLiteral("0.50"));
        Click(d, COrderSJClose::kClose);
        EXPECT_EQ(d.result(), 1);
    }));
    EXPECT_TRUE(ui_.BoxTexts().empty()) << LastBox();
    // The rest keeps the ticket, its opened lots and stops.
    std::optional<PositionRecord> rest = Ticket(ticket);
    ASSERT_TRUE(rest.has_value());
    EXPECT_DOUBLE_EQ(rest->heldQuantity, 0.5);
    EXPECT_DOUBLE_EQ(rest->openedQuantity, 1.0);
    EXPECT_NEAR(rest->stopLoss, 1600.0, 0.001);
    EXPECT_EQ(model_->Positions().size(), count);
    // The fill reached the account: closed profit/loss and today's figures moved.
    const AccountBlock a = model_->Account();
    EXPECT_TRUE(a.todayClosedProfit != closedProfit || a.todayFees != fees);
    // Summary, positions and account on the close's own connection.
    EXPECT_TRUE(Logged({18, 20, 16, 21})) << server_.Log();

    // The spin allows a unit more than is held: the server answers 4.
    SelectOnChart(*rest);
    ASSERT_TRUE(RunOn<COrderSJClose>(cmdid::ClosePosition, [&](COrderSJClose& d) {
        EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("0.50"));
        Type(d, COrderSJClose::kCloseQuantity, QStringLiteral("0.51"));
        Click(d, COrderSJClose::kClose);
        EXPECT_EQ(LastBox(), "无效价格");
        // 2: the market moves beyond the allowed deviation after the price was shown.
        Type(d, COrderSJClose::kCloseQuantity, QStringLiteral("0.10"));
        ExpectOk("price 1 " + std::to_string(model_->FindInstrument(1).last + 3));
        Click(d, COrderSJClose::kClose);
        EXPECT_EQ(LastBox(), "价格已经变动，请重新下单");
        // 6: a closed market.
        ExpectOk("market 1 close");
        Click(d, COrderSJClose::kClose);
        EXPECT_EQ(LastBox(), "闭市中，禁止交易");
        ExpectOk("market 1 auto");
        EXPECT_EQ(d.result(), 0);
    }));
    rest = Ticket(ticket);
    ASSERT_TRUE(rest.has_value());
    EXPECT_DOUBLE_EQ(rest->heldQuantity, 0.5);

    // A ticket that is not the member's: 7, read as "未知错误".
    PositionRecord stranger = *rest;
    std::snprintf(stranger.ticket, sizeof stranger.ticket, "999999999");
    SelectOnChart(stranger);
    ASSERT_TRUE(RunOn<COrderSJClose>(cmdid::ClosePosition,
                                     [&](COrderSJClose& d) { Click(d, COrderSJClose::kClose); }));
    EXPECT_EQ(LastBox(), "未知错误");

    // The programmatic 上海金 position opens neither dialog.
    const auto programmatic =
        FindPosition([](const PositionRecord& p) { return p.programmatic == 1; });
    ASSERT_TRUE(programmatic.has_value());
    SelectOnChart(*programmatic);
    const std::size_t boxes = ui_.BoxTexts().size();
    EXPECT_TRUE(NoDialogFor(cmdid::ClosePosition));
    EXPECT_TRUE(NoDialogFor(cmdid::ModifyPosition));
    const std::vector<std::string> all = ui_.BoxTexts();
    ASSERT_EQ(all.size(), boxes + 2);
    EXPECT_EQ(all[boxes], "无法修改程序化交易订单");
    EXPECT_EQ(all[boxes + 1], "无法修改程序化交易订单");
}

TEST_F(TradeChangeEndToEnd, APendingOrderIsChangedRefusedAndDeleted) {
    // The demo's buy of 0.50 伦敦金 at 1620.00 (1600.00 / 1680.00), valid for the week.
    const auto order = FindOrder([](const PendingOrderRecord& o) {
        return o.instrument == 1 && o.direction == direction::Buy && o.openClose == 1;
    });
    ASSERT_TRUE(order.has_value());
    const std::string number = order->orderNumber;
    SelectOnChart(*order);

    ASSERT_TRUE(RunOn<CModifyDelegate>(cmdid::ModifyPending, [&](CModifyDelegate& d) {
        EXPECT_EQ(Text(d, CModifyDelegate::kPrice), QStringLiteral("1620.00"));
        EXPECT_EQ(Text(d, CModifyDelegate::kStopLoss), QStringLiteral("1600.00"));
        EXPECT_EQ(qobject_cast<QComboBox*>(d.Control(CModifyDelegate::kValidity))->currentIndex(),
                  1);
        Type(d, CModifyDelegate::kPrice, QStringLiteral("1625.00"));
        qobject_cast<QComboBox*>(d.Control(CModifyDelegate::kValidity))->setCurrentIndex(0);
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(d.result(), 1);
    }));
    EXPECT_TRUE(ui_.BoxTexts().empty()) << LastBox();
    auto changed = FindOrder([&](const PendingOrderRecord& o) { return number == o.orderNumber; });
    ASSERT_TRUE(changed.has_value());
    EXPECT_NEAR(changed->price, 1625.0, 0.001);
    EXPECT_EQ(changed->validity, order_validity::Today);
    EXPECT_NEAR(changed->stopLoss, 1600.0, 0.001);
    EXPECT_DOUBLE_EQ(changed->quantity, 0.5);
    EXPECT_TRUE(Logged({14, 17, 21})) << server_.Log();

    // The server's refusals, each keeping the dialog open.
    SelectOnChart(*changed);
    const float last = model_->FindInstrument(1).last;
    ASSERT_TRUE(RunOn<CModifyDelegate>(cmdid::ModifyPending, [&](CModifyDelegate& d) {
        // 5: a new price one above its stop-loss; the bound shown is still that of 1625.00.
        Type(d, CModifyDelegate::kPrice, QStringLiteral("1601.00"));
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(LastBox(), "止损或盈利无效");
        // 4: the market falls to within the pending distance of a price the band allowed.
        const QString lower = Text(d, CModifyDelegate::kLowerEdge);
        Type(d, CModifyDelegate::kPrice, lower);
        Type(d, CModifyDelegate::kStopLoss, QString());
        Type(d, CModifyDelegate::kTakeProfit, QString());
        ExpectOk("price 1 " + std::to_string(last - 1));
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(LastBox(), "无效价格");
        // 6: a closed market, shown as "无效价格" too.
        Type(d, CModifyDelegate::kPrice, QStringLiteral("1630.00"));
        ExpectOk("market 1 close");
        const std::size_t before = ui_.BoxTexts().size();
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(ui_.BoxTexts().size(), before + 1);
        EXPECT_EQ(LastBox(), "无效价格");
        ExpectOk("market 1 auto");
        EXPECT_EQ(d.result(), 0);
    }));
    ASSERT_TRUE(MoveGold(last));

    // Delete, with the question answered yes: the orders and account on its connection. A
    // closed market does not keep an order from going.
    ExpectOk("market 1 close");
    const std::size_t orders = model_->Orders().size();
    frame_->OnCommand(cmdid::DeletePending);
    ExpectOk("market 1 auto");
    EXPECT_EQ(LastBox(), "确认删除订单[" + number + "]？");
    EXPECT_EQ(model_->Orders().size(), orders - 1);
    EXPECT_FALSE(FindOrder([&](const PendingOrderRecord& o) { return number == o.orderNumber; }));
    EXPECT_TRUE(Logged({15, 17, 21})) << server_.Log();

    // The same copy again: the server no longer has it waiting.
    const std::size_t boxes = ui_.BoxTexts().size();
    frame_->OnCommand(cmdid::DeletePending);
    const std::vector<std::string> all = ui_.BoxTexts();
    ASSERT_EQ(all.size(), boxes + 2);
    EXPECT_EQ(all[boxes + 1], "删除失败，请检查网络");

    // 3: the sell of 螺纹 raised to its maximum of 100 lots needs more margin than is free.
    const auto rebar = FindOrder([](const PendingOrderRecord& o) { return o.instrument == 32; });
    ASSERT_TRUE(rebar.has_value());
    SelectOnChart(*rebar);
    ASSERT_TRUE(RunOn<CModifyDelegate>(cmdid::ModifyPending, [&](CModifyDelegate& d) {
        Click(d, CModifyDelegate::kMaxLots);
        EXPECT_EQ(Text(d, CModifyDelegate::kLots), QStringLiteral("100"));
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(LastBox(), "保证金不足");
    }));

    // 2: the demo's sell of 伦敦银 at 31.800 fills while its dialog is open.
    const auto silver = FindOrder([](const PendingOrderRecord& o) { return o.instrument == 2; });
    ASSERT_TRUE(silver.has_value());
    SelectOnChart(*silver);
    ASSERT_TRUE(RunOn<CModifyDelegate>(cmdid::ModifyPending, [&](CModifyDelegate& d) {
        // The sell triggers when the bid rises to its price.
        ExpectOk("price 2 " + std::to_string(silver->price + 0.5));
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(LastBox(), "价格已经变动，请重新下单");
    }));
}

// A waiting order of 0.3 lots, which single precision cannot hold, is placed and changed
// through the dialogs.
TEST_F(TradeChangeEndToEnd, AnOrderOfLotsThatFloatCannotHoldIsChanged) {
    const QString limit = QString::number(model_->FindInstrument(1).ask - 10, 'f', 2);
    ASSERT_TRUE(RunOn<COpenOrderZj>(cmdid::NewPendingOrder, [&](COpenOrderZj& d) {
        Type(d, COpenOrderZj::kLots, QStringLiteral("0.30"));
        Type(d, COpenOrderZj::kPrice, limit);
        Type(d, COpenOrderZj::kStopLoss, QString());
        Type(d, COpenOrderZj::kTakeProfit, QString());
        Click(d, COpenOrderZj::kBuy);
    }));
    ASSERT_TRUE(ui_.BoxTexts().empty()) << LastBox();
    const auto placed = FindOrder([&](const PendingOrderRecord& o) {
        return o.instrument == 1 && std::abs(o.price - limit.toDouble()) < 0.001;
    });
    ASSERT_TRUE(placed.has_value());
    EXPECT_DOUBLE_EQ(placed->quantity, 0.3);

    SelectOnChart(*placed);
    const QString changedPrice = Plus(limit, -1);
    ASSERT_TRUE(RunOn<CModifyDelegate>(cmdid::ModifyPending, [&](CModifyDelegate& d) {
        EXPECT_EQ(Text(d, CModifyDelegate::kLots), QStringLiteral("0.30"));
        Type(d, CModifyDelegate::kPrice, changedPrice);
        Click(d, CModifyDelegate::kModify);
        EXPECT_EQ(d.result(), 1);
    }));
    EXPECT_TRUE(ui_.BoxTexts().empty()) << LastBox();
    const std::string number = placed->orderNumber;
    const auto changed =
        FindOrder([&](const PendingOrderRecord& o) { return number == o.orderNumber; });
    ASSERT_TRUE(changed.has_value());
    EXPECT_NEAR(changed->price, changedPrice.toDouble(), 0.001);
    EXPECT_DOUBLE_EQ(changed->quantity, 0.3);
}

TEST_F(TradeChangeEndToEnd, ProgrammaticTradingFollowsASignalAndKeepsWhatItPlaced) {
    ASSERT_EQ(Session().programTrading.load(), 0);
    QAction* action = frame_->Action(cmdid::ProgramTrading);
    ASSERT_NE(action, nullptr);
    EXPECT_FALSE(action->isChecked());

    // Switched on through the dialog: stored, and the menu shows it.
    bool seen = false;
    WhenDialogShows<CPeaSetup1>(
        [](CPeaSetup1& d) {
            EXPECT_FALSE(d.Switch()->isChecked());
            d.Switch()->setChecked(true);
            FindControl<QPushButton>(d, CPeaSetup1::kSave)->click();
            EXPECT_EQ(d.result(), QDialog::Accepted);
        },
        &seen);
    frame_->OnCommand(cmdid::ProgramTrading);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(ui_.BoxTexts().empty()) << LastBox();
    EXPECT_EQ(Session().programTrading.load(), 1);
    EXPECT_TRUE(action->isChecked());
    EXPECT_TRUE(Logged({53})) << server_.Log();

    // A support 10 below the ask: the server places a programmatic buy before the record goes
    // out, and the client, seeing the signal, reloads it.
    const std::size_t reloads = Count({17, 20, 16, 21});
    const float ask = model_->FindInstrument(1).ask;
    const double level = std::round((ask - 10) * 100) / 100;
    ExpectOk("signal 1 support " + std::to_string(level) + " 1 10 " + std::to_string(level - 5));
    ASSERT_TRUE(ServeUntil(
        [&] {
            return FindOrder([](const PendingOrderRecord& o) {
                       return o.validity == order_validity::Programmatic;
                   })
                .has_value();
        },
        30000));
    const PendingOrderRecord placed = *FindOrder(
        [](const PendingOrderRecord& o) { return o.validity == order_validity::Programmatic; });
    EXPECT_EQ(placed.instrument, 1);
    EXPECT_EQ(placed.direction, direction::Buy);
    EXPECT_NEAR(placed.price, level, 0.001);
    // Orders, then positions with the summary and account, on one connection of its own.
    EXPECT_TRUE(ServeUntil(
        [&] {
            return Count({17, 20, 16, 21}) == reloads + 1;
        },
        30000))
        << server_.Log();

    // It is the server's: neither changed nor deleted.
    SelectOnChart(placed);
    EXPECT_TRUE(NoDialogFor(cmdid::ModifyPending));
    EXPECT_TRUE(NoDialogFor(cmdid::DeletePending));
    EXPECT_EQ(ui_.BoxTexts(),
              (std::vector<std::string>{"无法修改程序化交易订单", "无法修改程序化交易订单"}));

    // The market reaches it: a programmatic position, which cannot be changed either.
    const std::size_t positions = model_->Positions().size();
    ASSERT_TRUE(MoveGold(level - 0.5));
    ASSERT_TRUE(ServeUntil([&] { return model_->Positions().size() == positions + 1; }, 30000));
    const auto opened = FindPosition(
        [&](const PositionRecord& p) { return p.programmatic == 1 && p.instrument == 1; });
    ASSERT_TRUE(opened.has_value());
    SelectOnChart(*opened);
    EXPECT_TRUE(NoDialogFor(cmdid::ModifyPosition));
    EXPECT_EQ(LastBox(), "无法修改程序化交易订单");

    // A position of the member's own still opens its dialog while the switch is on.
    SelectOnChart(GoldBuy());
    EXPECT_TRUE(RunOn<COrderSJClose>(cmdid::ClosePosition, [](COrderSJClose&) {}));

    // Another signal places a second programmatic buy, still waiting when the switch goes off.
    const float later = model_->FindInstrument(1).ask;
    const double second = std::round((later - 20) * 100) / 100;
    ExpectOk("signal 1 support " + std::to_string(second) + " 1 10 " + std::to_string(second - 5));
    const auto waitingProgrammatic = [&] {
        return FindOrder([](const PendingOrderRecord& o) {
                   return o.validity == order_validity::Programmatic;
               })
            .has_value();
    };
    ASSERT_TRUE(ServeUntil(waitingProgrammatic, 30000));

    // Switched off again: the check mark goes, and the order the server withdrew with it
    // leaves the client's list.
    seen = false;
    WhenDialogShows<CPeaSetup1>(
        [](CPeaSetup1& d) {
            EXPECT_TRUE(d.Switch()->isChecked());
            d.Switch()->setChecked(false);
            FindControl<QPushButton>(d, CPeaSetup1::kSave)->click();
        },
        &seen);
    frame_->OnCommand(cmdid::ProgramTrading);
    ASSERT_TRUE(seen);
    EXPECT_EQ(Session().programTrading.load(), 0);
    EXPECT_FALSE(action->isChecked());
    EXPECT_TRUE(ServeUntil([&] { return !waitingProgrammatic(); }, 30000));
}

// The silver member "trader" logs in with the switch on and 100,000 of margin: below the
// 200,000 its class asks for, so neither switching off nor on is saved.
class SilverMemberEndToEnd : public TradeChangeEndToEnd {
  protected:
    const char* Member() const override { return "trader"; }
};

TEST_F(SilverMemberEndToEnd, TheMarginRuleKeepsTheSwitchAsItIs) {
    EXPECT_EQ(Session().accountClass, 2);
    EXPECT_EQ(Session().programTrading.load(), 1);
    EXPECT_TRUE(frame_->Action(cmdid::ProgramTrading)->isChecked());
    bool seen = false;
    WhenDialogShows<CPeaSetup1>(
        [&](CPeaSetup1& d) {
            EXPECT_TRUE(d.Switch()->isChecked());
            d.Switch()->setChecked(false);
            d.Save();
            EXPECT_EQ(LastBox(), "银卡会员要求可用保证金不低于20万");
            EXPECT_TRUE(d.isVisible());
        },
        &seen);
    frame_->OnCommand(cmdid::ProgramTrading);
    ASSERT_TRUE(seen);
    EXPECT_EQ(Session().programTrading.load(), 1);
    EXPECT_TRUE(frame_->Action(cmdid::ProgramTrading)->isChecked());
    for (const auto& line : RequestLines(server_.Log()))
        EXPECT_EQ(std::count(line.begin(), line.end(), 53), 0);
}

}  // namespace
}  // namespace zq
