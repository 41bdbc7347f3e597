// The two order-entry dialogs as windows: what they show on opening, after an instrument
// change, on a quote tick and for "最大"; the submit checks as message boxes with no request
// sent; every answer of a scripted server, including a connection closed after two bytes; the
// Enter rule of the submit buttons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <cstring>
#include <mutex>

#include "chart/ui/price_static.h"
#include "tests/support/dialog_controls.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "trading/ui/open_order.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

InstrumentRecord Tradable(std::int32_t id, const char* name, std::int32_t decimals, float last) {
    InstrumentRecord r = test::TradableInstrument(id, name, decimals);
    r.last = last;
    r.ask = last + r.buySpread;
    r.bid = last - r.sellSpread;
    r.pendingDistance = 2;
    r.stopDistance = 2;
    return r;
}

// A model with 伦敦金-like id 1, a quoted but untradable id 20, and id 3 with a lot step of 5
// tenths.
void FillModel(TradingModel& model) {
    InstrumentRecord gold = Tradable(1, "Gold", 2, 1765.05f);
    InstrumentRecord cross = Tradable(20, "Cross", 2, 54.10f);
    cross.tradable = 0;
    InstrumentRecord index = Tradable(3, "Index", 3, 80.25f);
    index.minLots = 1;
    index.maxLots = 20;
    index.lotDecimals = 1;
    index.lotStep = 5;
    index.buySpread = 0.02f;
    index.ask = 80.27f;
    index.stopDistance = 0.2f;
    index.pendingDistance = 0.2f;
    model.SetInstruments({gold, cross, index});
}

// A request port that answers command 11 with the bytes a test chooses and keeps the request.
struct OrderServer {
    std::mutex mutex;
    std::string answer = std::string("\x01\x00\x00\x00", 4);
    std::vector<OpenOrderRequest> requests;
    ScriptServer server{[this](Socket& peer, int) {
        RequestHeader h{};
        if (!ScriptServer::ReadHeader(peer, h) || h.command != cmd::OpenOrder) return;
        OpenOrderRequest q{};
        if (ReceiveExact(peer, &q, sizeof q) != static_cast<int>(sizeof q)) return;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(q);
            reply = answer;
        }
        if (!reply.empty()) peer.Send(reply.data(), reply.size());
    }};
    OrderServer() { server.UseAsRequestPort(); }
    void Answer(std::string bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        answer = std::move(bytes);
    }
    std::vector<OpenOrderRequest> Requests() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
};

// Return pressed with the focus on `w`, delivered as the dialog would get it.
void PressReturn(QWidget* w) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
}

using test::Find;
using test::Text;
using test::Type;

std::string Int32(std::int32_t v) {
    return test::Int32Bytes(v);
}

class OrderDialogTest : public ::testing::Test {
  protected:
    void SetUp() override { FillModel(model); }
    FakeUi ui;
    TradingModel model;
};

TEST_F(OrderDialogTest, MarketDialogOpensOnTheChartsInstrument) {
    COpenOrder d(model, 1);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("市价建仓单"));
    auto* list = Find<QComboBox>(d, COpenOrder::kInstrumentList);
    // Only tradable instruments, in list order, with their ids.
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), QStringLiteral("Gold"));
    EXPECT_EQ(list->itemData(1).toInt(), 3);
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("0.01"));
    EXPECT_EQ(Text(d, COpenOrder::kLotRange), QStringLiteral("(可填范围0.01-50)"));
    EXPECT_EQ(Text(d, COpenOrder::kAskPrice), QStringLiteral("1765.30"));
    EXPECT_EQ(Text(d, COpenOrder::kBidPrice), QStringLiteral("1765.00"));
    EXPECT_EQ(Find<CPriceStatic>(d, COpenOrder::kAskPrice)->Color(), 0xFFD90A36u);
    EXPECT_EQ(Find<CPriceStatic>(d, COpenOrder::kBidPrice)->Color(), 0xFF4A3AADu);
    EXPECT_TRUE(Find<QCheckBox>(d, COpenOrder::kDeviationOn)->isChecked());
    EXPECT_EQ(Text(d, COpenOrder::kDeviation), QStringLiteral("0.2500"));
    EXPECT_TRUE(Text(d, COpenOrder::kStopLoss).isEmpty());
    EXPECT_TRUE(Text(d, COpenOrder::kTakeProfit).isEmpty());
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COpenOrder::kStopLossSpin)->Upper(), 1000000);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COpenOrder::kDeviationSpin)->Upper(), 1000);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COpenOrder::kLotsSpin)->Lower(), 1);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COpenOrder::kLotsSpin)->Upper(), 5000);
    // It hears the quote ticks.
    const std::vector<WindowHandle> listeners = model.TickListeners();
    ASSERT_EQ(listeners.size(), 1u);
    EXPECT_EQ(listeners[0], d.Handle());

    // "最大", and the spin stepping by one lot step.
    Find<QPushButton>(d, COpenOrder::kMaxLots)->click();
    EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("50.00"));
    Find<MySpinButtonCtrl>(d, COpenOrder::kLotsSpin)->Step(-1);
    EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("49.99"));
}

TEST_F(OrderDialogTest, AnUntradableChartInstrumentSelectsNothing) {
    COpenOrder d(model, 20);
    EXPECT_EQ(Find<QComboBox>(d, COpenOrder::kInstrumentList)->currentIndex(), -1);
    d.Submit(direction::Buy);
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"请选择商品"});
}

TEST_F(OrderDialogTest, ChoosingAnotherInstrumentRedoesLotsRangeAndPrices) {
    COpenOrder d(model, 1);
    Type(d, COpenOrder::kStopLoss, QStringLiteral("1700.00"));
    Find<QComboBox>(d, COpenOrder::kInstrumentList)->setCurrentIndex(1);
    EXPECT_EQ(d.Instrument(), 3);
    EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("1.0"));
    EXPECT_EQ(Text(d, COpenOrder::kLotRange), QStringLiteral("(可填范围1-20)"));
    EXPECT_EQ(Text(d, COpenOrder::kAskPrice), QStringLiteral("80.270"));
    EXPECT_EQ(Text(d, COpenOrder::kDeviation), QStringLiteral("0.0200"));
    // One click of the lots spin is one lot step: 0.5 lots.
    auto* spin = Find<MySpinButtonCtrl>(d, COpenOrder::kLotsSpin);
    EXPECT_EQ(spin->StepFactor(), 5);
    spin->Step(1);
    EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("1.5"));
    // The stop-loss keeps its count in units of the new decimals: 170000 thousandths.
    EXPECT_EQ(Text(d, COpenOrder::kStopLoss), QStringLiteral("170.000"));
}

TEST_F(OrderDialogTest, QuoteTicksOfItsInstrumentRefreshThePrices) {
    COpenOrder d(model, 1);
    test::EditInstruments(model, [](auto& list) {
        list[0].ask = 1770.55f;
        list[0].bid = 1770.25f;
        list[2].ask = 99.0f;
    });
    test::Quote other(3, 99000, 3);
    d.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(other.data()));
    EXPECT_EQ(Text(d, COpenOrder::kAskPrice), QStringLiteral("1765.30"));
    d.HandleMessage(WM_QUOTE_TICK, 0, 0);  // no record: nothing
    EXPECT_EQ(Text(d, COpenOrder::kAskPrice), QStringLiteral("1765.30"));
    test::Quote mine(1, 177030);
    d.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(mine.data()));
    EXPECT_EQ(Text(d, COpenOrder::kAskPrice), QStringLiteral("1770.55"));
    EXPECT_EQ(Text(d, COpenOrder::kBidPrice), QStringLiteral("1770.25"));
}

TEST_F(OrderDialogTest, RefusedChecksShowTheirMessageAndSendNothing) {
    OrderServer server;
    COpenOrder d(model, 1);
    Type(d, COpenOrder::kLots, QStringLiteral("0.005"));
    d.Submit(direction::Buy);
    Type(d, COpenOrder::kLots, QStringLiteral("60"));
    d.Submit(direction::Buy);
    Type(d, COpenOrder::kLots, QStringLiteral("1.00"));
    Type(d, COpenOrder::kDeviation, QStringLiteral("-1"));
    d.Submit(direction::Buy);
    Find<QCheckBox>(d, COpenOrder::kDeviationOn)
        ->setChecked(false);  // an unchecked deviation is not examined
    Type(d, COpenOrder::kStopLoss, QStringLiteral("1764.00"));
    d.Submit(direction::Buy);
    Type(d, COpenOrder::kStopLoss, QStringLiteral("1764.00"));
    d.Submit(direction::Sell);  // a sell's stop-loss below the bid is on the wrong side too
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{
                                 "交易手数不合法，请修改后重试", "交易手数不合法，请修改后重试",
                                 "允许的交易点差不能小于零", "止损或盈利必须远离建仓价2元",
                                 "止损或盈利必须远离建仓价2元"}));
    EXPECT_EQ(server.server.Connections(), 0);
    EXPECT_EQ(d.result(), 0);

    // No quote yet: the display shows 0.
    test::EditInstruments(model, [](auto& list) { list[0].ask = 0; });
    test::Quote zero(1, 0);
    d.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(zero.data()));
    ui.Clear();
    Type(d, COpenOrder::kStopLoss, QString());
    d.Submit(direction::Buy);
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"无效价格"});
}

TEST_F(OrderDialogTest, MarketAnswersEveryCode) {
    OrderServer server;
    const struct {
        std::string answer;
        const char* text;  // null: the dialog closes with 11
    } cases[] = {
        {Int32(2), "价格已经变动，请重新下单"},
        {Int32(3), "保证金不足"},
        {Int32(4), "挂单价必须远离市价至少2元"},  // even for a market order
        {Int32(5), "止损或盈利必须远离建仓价2元"},
        {Int32(6), "闭市中，禁止交易"},
        {Int32(7), "无效价格"},
        {Int32(8), "未知错误"},
        {Int32(-1), "未知错误"},
        {std::string("\x02\x01", 2), "未知错误"},  // closed after two bytes: 0x0102
        {std::string(), "未知错误"},
        {Int32(1), nullptr},
    };
    COpenOrder d(model, 1);
    Type(d, COpenOrder::kLots, QStringLiteral("0.30"));
    Type(d, COpenOrder::kStopLoss, QStringLiteral("1700"));
    for (const auto& c : cases) {
        ui.Clear();
        server.Answer(c.answer);
        d.Submit(direction::Buy);
        if (c.text) {
            EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{c.text}) << c.text;
            EXPECT_EQ(d.result(), 0);
            // The input stays as it was.
            EXPECT_EQ(Text(d, COpenOrder::kLots), QStringLiteral("0.30"));
        } else {
            EXPECT_TRUE(ui.BoxTexts().empty());
            EXPECT_EQ(d.result(), kMarketOrderDone);
        }
    }
    const std::vector<OpenOrderRequest> sent = server.Requests();
    ASSERT_EQ(sent.size(), std::size(cases));
    const OpenOrderRequest& q = sent.back();
    EXPECT_EQ(q.instrument, 1);
    EXPECT_FLOAT_EQ(q.price, 1765.30f);
    EXPECT_FLOAT_EQ(q.stopLoss, 1700.0f);
    EXPECT_EQ(q.takeProfit, 0.0f);
    EXPECT_FLOAT_EQ(q.lots, 0.3f);
    EXPECT_EQ(q.orderKind, 1);
    EXPECT_EQ(q.direction, 1);
    EXPECT_EQ(q.validity, 0);
    EXPECT_FLOAT_EQ(q.deviation, 0.25f);
}

TEST_F(OrderDialogTest, ConnectionFailuresShowTheirMessages) {
    {
        OrderServer server;  // points the request port somewhere, then goes away
    }
    COpenOrder d(model, 1);
    d.Submit(direction::Sell);
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"无法连接服务器，操作已取消"});
    EXPECT_EQ(d.result(), 0);
}

TEST_F(OrderDialogTest, EnterSubmitsOnlyFromTheSubmitButtons) {
    OrderServer server;
    server.Answer(Int32(3));
    COpenOrder d(model, 1);
    d.show();
    Find<QCheckBox>(d, COpenOrder::kDeviationOn)->setChecked(false);
    auto* lots = Find<CFloatNumberEdit>(d, COpenOrder::kLots);
    lots->setFocus();
    PressReturn(lots);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(d.isVisible());
    auto* sell = Find<QPushButton>(d, COpenOrder::kSell);
    sell->setFocus();
    PressReturn(sell);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].direction, direction::Sell);
    EXPECT_FLOAT_EQ(server.Requests()[0].price, 1765.00f);
    EXPECT_EQ(server.Requests()[0].deviation, 0.0f);  // unchecked: 0 whatever the edit shows
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"保证金不足"});
}

TEST_F(OrderDialogTest, PendingDialogShowsItsBandsAndSubmitsWithValidity) {
    OrderServer server;
    test::EditInstruments(model, [](auto& list) { list[0].pendingDistance = 0.5f; });
    COpenOrderZj d(model, 1);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("指价建仓单"));
    EXPECT_EQ(Text(d, COpenOrderZj::kBuy), QStringLiteral("买/价格<1764.80 或者 > 1765.80"));
    EXPECT_EQ(Text(d, COpenOrderZj::kSell), QStringLiteral("卖/价格<1764.50 或者 > 1765.50"));
    EXPECT_EQ(Find<QComboBox>(d, COpenOrderZj::kValidity)->currentIndex(), 1);
    EXPECT_TRUE(Text(d, COpenOrderZj::kPrice).isEmpty());
    EXPECT_EQ(d.Control(COpenOrder::kAskPrice), nullptr);
    EXPECT_EQ(d.Control(COpenOrder::kBuy), nullptr);

    d.Submit(direction::Buy);  // empty price
    Type(d, COpenOrderZj::kPrice, QStringLiteral("1765.00"));
    d.Submit(direction::Buy);
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{"无效价格", "挂单价必须小于1764.8或者大于1765.8"}));
    EXPECT_EQ(server.server.Connections(), 0);

    // The edge is accepted; the answer closes the dialog with 12.
    ui.Clear();
    Type(d, COpenOrderZj::kPrice, QStringLiteral("1764.80"));
    Find<QPushButton>(d, COpenOrderZj::kBuy)->click();
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(d.result(), kPendingOrderDone);
    ASSERT_EQ(server.Requests().size(), 1u);
    const OpenOrderRequest q = server.Requests()[0];
    EXPECT_EQ(q.orderKind, 2);
    EXPECT_EQ(q.validity, 2);
    EXPECT_FLOAT_EQ(q.price, 1764.80f);
    EXPECT_EQ(q.deviation, 0.0f);

    // A tick moves the bands.
    test::EditInstruments(model, [](auto& list) { list[0].ask = 1766.30f; });
    test::Quote mine(1, 176605);
    d.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(mine.data()));
    EXPECT_EQ(Text(d, COpenOrderZj::kBuy), QStringLiteral("买/价格<1765.80 或者 > 1766.80"));
}

TEST_F(OrderDialogTest, PendingAnswersOtherThanOneKeepTheDialogOpen) {
    OrderServer server;
    COpenOrderZj d(model, 1);
    Find<QComboBox>(d, COpenOrderZj::kValidity)->setCurrentIndex(0);
    Type(d, COpenOrderZj::kPrice, QStringLiteral("1800.00"));
    for (std::int32_t code : {2, 3, 4, 5, 6, 7, 0}) {
        ui.Clear();
        server.Answer(Int32(code));
        Find<QPushButton>(d, COpenOrderZj::kSell)->click();
        ASSERT_EQ(ui.BoxTexts().size(), 1u);
        EXPECT_EQ(d.result(), 0);
        EXPECT_EQ(Text(d, COpenOrderZj::kPrice), QStringLiteral("1800.00"));
    }
    ASSERT_FALSE(server.Requests().empty());
    EXPECT_EQ(server.Requests().back().validity, 1);
    EXPECT_EQ(server.Requests().back().direction, direction::Sell);
}

}  // namespace
}  // namespace zq
