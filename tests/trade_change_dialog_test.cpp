// The dialogs that change what is already traded, as windows against a scripted request port:
// what "修改订单", "市价平仓", "修改指价订单" and "程序化交易设置" show on opening and after a
// quote tick, their checks as message boxes with nothing sent, every answer of the server, the
// partial close, and the actions' refusal of programmatic positions and orders.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstring>
#include <functional>
#include <mutex>

#include "chart/ui/price_static.h"
#include "net/wire/ansi_text.h"
#include "net/wire/session.h"
#include "tests/support/dialog_controls.h"
#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "trading/trade_changes.h"
#include "trading/ui/modify_delegate.h"
#include "trading/ui/position_dialogs.h"
#include "trading/ui/program_setup.h"
#include "trading/ui/trade_actions.h"
#include "widgets/ui/control_name.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/spin_button.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AccountServer;
using test::FakeUi;
using test::Int32Bytes;

constexpr QRgb kRed = 0xFFD90A36;
constexpr QRgb kBlue = 0xFF4A3AAD;

InstrumentRecord Tradable(std::int32_t id, const char* name, std::int32_t decimals, float ask,
                          float bid) {
    InstrumentRecord r = test::TradableInstrument(id, name, decimals);
    r.ask = ask;
    r.bid = bid;
    r.last = bid;
    r.pendingDistance = 0.5f;
    r.stopDistance = 0.5f;
    return r;
}

PositionRecord Position(std::int32_t side, double held, const char* ticket = "1000000007") {
    PositionRecord p = test::MakePosition(1, side, 1700, held, 1650, 1800, 1, ticket);
    PutField(p.instrumentName, sizeof p.instrumentName, ToAnsi("伦敦金(T+0)"));
    p.openedQuantity = 1.0;
    return p;
}

PendingOrderRecord Order(std::int32_t side, double price) {
    PendingOrderRecord o = test::MakeOrder(
        1, side, side == direction::Buy ? trigger::BuyAskFalls : trigger::SellBidRises, price, 1,
        "1000000042");
    PutField(o.instrumentName, sizeof o.instrumentName, ToAnsi("伦敦金(T+0)"));
    o.quantity = 0.5;
    o.stopLoss = side == direction::Buy ? price - 10 : price + 10;
    o.takeProfit = side == direction::Buy ? price + 20 : price - 20;
    o.validity = order_validity::ThisWeek;
    return o;
}

using test::Find;
using test::Text;
using test::Type;

QRgb ColorOf(CTradeDialog& d, int id) {
    return Find<CPriceStatic>(d, id)->Color();
}

void ExpectReadOnly(CTradeDialog& d, int id, const QString& text) {
    auto* field = Find<QLineEdit>(d, id);
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(field->isReadOnly()) << id;
    EXPECT_EQ(field->text(), text) << id;
}

void Tick(CTradeDialog& d, std::int32_t instrument) {
    test::Quote q(instrument, 0);
    d.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(q.data()));
}

std::string Bytes(const void* p, std::size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

class TradeChangeDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InstrumentRecord steps = Tradable(3, "Index", 1, 80.3f, 80.2f);
        steps.minLots = 1;
        steps.maxLots = 20;
        steps.lotDecimals = 1;
        steps.lotStep = 5;
        model.SetInstruments({Tradable(1, "伦敦金(T+0)", 2, 1765.30f, 1765.00f), steps});
    }
    void TearDown() override {
        Session().programTrading = 0;
        Session().accountClass = 0;
    }
    void MoveMarket(float ask, float bid) {
        test::EditInstruments(model, [&](auto& list) {
            list[0].ask = ask;
            list[0].bid = bid;
        });
    }
    // The payload of the last request of `command`.
    template <typename Record>
    Record Sent(std::int32_t command) {
        Record r{};
        const std::string bytes = server.Payloads()[command];
        EXPECT_EQ(bytes.size(), sizeof r);
        std::memcpy(&r, bytes.data(), std::min(bytes.size(), sizeof r));
        return r;
    }

    // An answer of the server and the one message it must show.
    struct Refusal {
        std::string answer;
        const char* text;
    };
    // The answers other than 1 that a close and an order change share, with the text of 6 and
    // an `unknown` code of the command's own; 0 and a connection closed without an answer read
    // as unknown.
    static std::vector<Refusal> Refusals(const char* six, std::int32_t unknown) {
        return {{Int32Bytes(2), "价格已经变动，请重新下单"},
                {Int32Bytes(3), "保证金不足"},
                {Int32Bytes(4), "无效价格"},
                {Int32Bytes(5), "止损或盈利无效"},
                {Int32Bytes(6), six},
                {Int32Bytes(unknown), "未知错误"},
                {Int32Bytes(0), "未知错误"},
                {std::string(), "未知错误"}};
    }
    // Submits once for each answer: its message, the dialog still open and control `keptId`
    // still showing `kept`.
    void ExpectEachRefusal(CTradeDialog& d, std::int32_t command, int keptId, const QString& kept,
                           const std::vector<Refusal>& refusals,
                           const std::function<void()>& submit) {
        for (const Refusal& r : refusals) {
            ui.Clear();
            server.Set(command, r.answer, true);
            submit();
            EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{r.text}) << r.text;
            EXPECT_EQ(d.result(), 0);
            EXPECT_EQ(Text(d, keptId), kept);
        }
    }

    FakeUi ui;
    AccountServer server;
    TradingModel model;
};

TEST_F(TradeChangeDialogTest, ModifyShowsTheBuyPositionAndItsBounds) {
    COrderModify d(model, Position(direction::Buy, 0.5));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("修改订单"));
    ExpectReadOnly(d, COrderModify::kInstrumentName, QStringLiteral("伦敦金(T+0)"));
    ExpectReadOnly(d, COrderModify::kDirection, QStringLiteral("买"));
    ExpectReadOnly(d, COrderModify::kPositionQuantity,
                   QStringLiteral("1.00"));  // the opened quantity, not the held one
    ExpectReadOnly(d, COrderModify::kCurrentStopLoss, QStringLiteral("1650.00"));
    ExpectReadOnly(d, COrderModify::kCurrentTakeProfit, QStringLiteral("1800.00"));
    EXPECT_EQ(Text(d, COrderModify::kNewStopLoss), QStringLiteral("1650.00"));
    EXPECT_EQ(Text(d, COrderModify::kNewTakeProfit), QStringLiteral("1800.00"));
    EXPECT_EQ(Find<CFloatNumberEdit>(d, COrderModify::kNewStopLoss)->Decimals(), 2);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COrderModify::kNewStopLossSpin)->Lower(), 0);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COrderModify::kNewStopLossSpin)->Upper(), 1000000);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COrderModify::kNewTakeProfitSpin)->Upper(), 1000000);
    EXPECT_EQ(Text(d, COrderModify::kStopBoundLabel), QStringLiteral("止损价小于"));
    EXPECT_EQ(Text(d, COrderModify::kTakeBoundLabel), QStringLiteral("止盈价大于"));
    EXPECT_EQ(Text(d, COrderModify::kStopBound), QStringLiteral("1764.80"));
    EXPECT_EQ(Text(d, COrderModify::kTakeBound), QStringLiteral("1765.80"));
    EXPECT_EQ(ColorOf(d, COrderModify::kStopBound), kRed);
    EXPECT_EQ(ColorOf(d, COrderModify::kTakeBound), kRed);
    EXPECT_EQ(Text(d, COrderModify::kModify), QStringLiteral("修改订单"));
    EXPECT_EQ(model.TickListeners(), std::vector<WindowHandle>{d.Handle()});

    // A tick of another instrument changes nothing; one of its own recomputes from the ask.
    MoveMarket(1770.00f, 1769.70f);
    Tick(d, 3);
    EXPECT_EQ(Text(d, COrderModify::kStopBound), QStringLiteral("1764.80"));
    Tick(d, 1);
    EXPECT_EQ(Text(d, COrderModify::kStopBound), QStringLiteral("1769.50"));
    EXPECT_EQ(Text(d, COrderModify::kTakeBound), QStringLiteral("1770.50"));
    // The position's own fields stay as they were copied.
    EXPECT_EQ(Text(d, COrderModify::kCurrentStopLoss), QStringLiteral("1650.00"));
}

TEST_F(TradeChangeDialogTest, ModifyOfASellPositionMirrorsLabelsColoursAndBounds) {
    PositionRecord p = Position(direction::Sell, 1.0);
    p.stopLoss = 0;
    p.takeProfit = 0;
    COrderModify d(model, p);
    ExpectReadOnly(d, COrderModify::kDirection, QStringLiteral("卖"));
    ExpectReadOnly(d, COrderModify::kCurrentStopLoss, QStringLiteral("0.00"));
    EXPECT_EQ(Text(d, COrderModify::kStopBoundLabel), QStringLiteral("止损价大于"));
    EXPECT_EQ(Text(d, COrderModify::kTakeBoundLabel), QStringLiteral("止盈价小于"));
    EXPECT_EQ(Text(d, COrderModify::kStopBound), QStringLiteral("1765.50"));  // bid + D
    EXPECT_EQ(Text(d, COrderModify::kTakeBound), QStringLiteral("1764.50"));  // bid − D
    EXPECT_EQ(ColorOf(d, COrderModify::kStopBound), kBlue);
    EXPECT_EQ(ColorOf(d, COrderModify::kTakeBound), kBlue);

    Type(d, COrderModify::kNewStopLoss, QStringLiteral("1765.49"));
    Type(d, COrderModify::kNewTakeProfit, QString());
    d.Submit();
    Type(d, COrderModify::kNewStopLoss, QString());
    Type(d, COrderModify::kNewTakeProfit, QStringLiteral("1764.51"));
    d.Submit();
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{"止损或盈利无效", "止损或盈利无效"}));
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(TradeChangeDialogTest, ModifyRefusesBeyondTheBoundAndSendsTheEdge) {
    const PositionRecord p = Position(direction::Buy, 1.0);
    model.SetPositions({p});
    COrderModify d(model, p);
    Type(d, COrderModify::kNewStopLoss, QStringLiteral("1765.00"));
    d.Submit();
    Type(d, COrderModify::kNewStopLoss, QStringLiteral("1764.81"));
    d.Submit();
    Type(d, COrderModify::kNewStopLoss, QStringLiteral("1764.80"));
    Type(d, COrderModify::kNewTakeProfit, QStringLiteral("1765.79"));
    d.Submit();
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{"止损或盈利无效", "止损或盈利无效", "止损或盈利无效"}));
    EXPECT_TRUE(server.Connections().empty());
    EXPECT_EQ(d.result(), 0);

    // The edges go to the server; its empty ticket is a refusal too.
    ui.Clear();
    Type(d, COrderModify::kNewTakeProfit, QStringLiteral("1765.80"));
    server.Set(cmd::ModifyPosition, std::string(272, '\0'), true);
    d.Submit();
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"止损或盈利无效"});
    EXPECT_EQ(d.result(), 0);
    ModifyStopsRequest q = Sent<ModifyStopsRequest>(cmd::ModifyPosition);
    EXPECT_STREQ(q.ticket, "1000000007");
    EXPECT_FLOAT_EQ(q.stopLoss, 1764.80f);
    EXPECT_FLOAT_EQ(q.takeProfit, 1765.80f);

    // The answer carrying the ticket closes the dialog with 1 and replaces the position.
    ui.Clear();
    PositionRecord changed = p;
    changed.stopLoss = 1764.80;
    changed.takeProfit = 1765.80;
    server.Set(cmd::ModifyPosition, Bytes(&changed, sizeof changed), true);
    d.Submit();
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(d.result(), 1);
    EXPECT_DOUBLE_EQ(model.Positions()[0].stopLoss, 1764.80);
    ASSERT_EQ(ui.Sounds().size(), 1u);
    EXPECT_EQ(ui.Sounds()[0].id, sound::Trade);
}

TEST_F(TradeChangeDialogTest, ClearingBothStopsSendsZerosWithoutARefusal) {
    const PositionRecord p = Position(direction::Buy, 1.0);
    COrderModify d(model, p);
    Type(d, COrderModify::kNewStopLoss, QString());
    Type(d, COrderModify::kNewTakeProfit, QString());
    server.Set(cmd::ModifyPosition, Bytes(&p, sizeof p), true);
    d.Submit();
    EXPECT_TRUE(ui.BoxTexts().empty());
    const ModifyStopsRequest q = Sent<ModifyStopsRequest>(cmd::ModifyPosition);
    EXPECT_EQ(q.stopLoss, 0.0f);
    EXPECT_EQ(q.takeProfit, 0.0f);
    EXPECT_EQ(d.result(), 1);
}

TEST_F(TradeChangeDialogTest, CloseShowsTheHeldQuantityAndTheClosingPrice) {
    COrderSJClose d(model, Position(direction::Buy, 0.5));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("市价平仓"));
    ExpectReadOnly(d, COrderSJClose::kInstrumentName, QStringLiteral("伦敦金(T+0)"));
    ExpectReadOnly(d, COrderSJClose::kDirection, QStringLiteral("买"));
    ExpectReadOnly(d, COrderSJClose::kPositionQuantity,
                   QStringLiteral("0.50"));  // held, not opened
    ExpectReadOnly(d, COrderSJClose::kCurrentStopLoss, QStringLiteral("1650.00"));
    ExpectReadOnly(d, COrderSJClose::kCurrentTakeProfit, QStringLiteral("1800.00"));
    EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("0.50"));
    auto* spin = Find<MySpinButtonCtrl>(d, COrderSJClose::kCloseQuantitySpin);
    EXPECT_EQ(spin->Lower(), 1);
    EXPECT_EQ(spin->Upper(), 50);  // the lots held
    auto* box = Find<QCheckBox>(d, COrderSJClose::kDeviationOn);
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(box->text(), QStringLiteral("允许成交价和报价的最大点差"));
    EXPECT_EQ(Text(d, COrderSJClose::kDeviation), QStringLiteral("0.2500"));
    EXPECT_EQ(Find<CFloatNumberEdit>(d, COrderSJClose::kDeviation)->Decimals(), 4);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, COrderSJClose::kDeviationSpin)->Upper(), 1000);
    // A buy closes at the bid, in the sell colour.
    EXPECT_EQ(Text(d, COrderSJClose::kClosingPrice), QStringLiteral("1765.00"));
    EXPECT_EQ(ColorOf(d, COrderSJClose::kClosingPrice), kBlue);
    EXPECT_EQ(Text(d, COrderSJClose::kClose), QStringLiteral("平仓"));
    EXPECT_EQ(d.Control(COrderSJClose::kStopBound), nullptr);

    MoveMarket(1766.30f, 1766.00f);
    Tick(d, 1);
    EXPECT_EQ(Text(d, COrderSJClose::kClosingPrice), QStringLiteral("1766.00"));

    // A sell closes at the ask, in the buy colour.
    COrderSJClose s(model, Position(direction::Sell, 2.0));
    EXPECT_EQ(Text(s, COrderSJClose::kClosingPrice), QStringLiteral("1766.30"));
    EXPECT_EQ(ColorOf(s, COrderSJClose::kClosingPrice), kRed);
    EXPECT_EQ(Find<MySpinButtonCtrl>(s, COrderSJClose::kCloseQuantitySpin)->Upper(), 200);
}

TEST_F(TradeChangeDialogTest, TheCloseSpinCountsAnAwkwardHeldQuantityWhole) {
    // 0.29 × 100 is 28.999… in binary: the spin must still reach 0.29, and stop there.
    COrderSJClose d(model, Position(direction::Buy, 0.29));
    EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("0.29"));
    auto* spin = Find<MySpinButtonCtrl>(d, COrderSJClose::kCloseQuantitySpin);
    EXPECT_EQ(spin->Upper(), 29);
    spin->Step(1);
    EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("0.29"));
    spin->Step(-1);
    EXPECT_EQ(Text(d, COrderSJClose::kCloseQuantity), QStringLiteral("0.28"));
}

TEST_F(TradeChangeDialogTest, APartialCloseSendsWhatWasTypedAndTheServerDecides) {
    const PositionRecord p = Position(direction::Buy, 1.0);
    model.SetPositions({p});
    COrderSJClose d(model, p);
    // Half, the deviation as shown; then more than held and a negative deviation, unchecked.
    Type(d, COrderSJClose::kCloseQuantity, QStringLiteral("0.50"));
    server.Set(cmd::ClosePosition, Int32Bytes(4), true);
    d.Submit();
    PendingOrderRecord q = Sent<PendingOrderRecord>(cmd::ClosePosition);
    EXPECT_EQ(q.instrument, 1);
    EXPECT_EQ(q.direction, direction::Sell);
    EXPECT_DOUBLE_EQ(q.quantity, 0.5);
    EXPECT_DOUBLE_EQ(q.price, 1765.00);
    EXPECT_DOUBLE_EQ(q.stopLoss, 0.25);
    EXPECT_STREQ(q.relatedPosition, "1000000007");
    EXPECT_EQ(q.validity, 0);
    EXPECT_EQ(q.orderNumber[0], '\0');

    Type(d, COrderSJClose::kCloseQuantity, QStringLiteral("1.01"));
    Type(d, COrderSJClose::kDeviation, QStringLiteral("-1.5"));
    d.Submit();
    q = Sent<PendingOrderRecord>(cmd::ClosePosition);
    EXPECT_DOUBLE_EQ(q.quantity, 1.01);
    EXPECT_DOUBLE_EQ(q.stopLoss, -1.5);  // as typed
    Find<QCheckBox>(d, COrderSJClose::kDeviationOn)->setChecked(false);
    d.Submit();
    EXPECT_DOUBLE_EQ(Sent<PendingOrderRecord>(cmd::ClosePosition).stopLoss, 0.0);
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{"无效价格", "无效价格", "无效价格"}));
    EXPECT_EQ(d.result(), 0);
    EXPECT_EQ(server.Connections().size(), 3u);
}

TEST_F(TradeChangeDialogTest, CloseAnswersEveryCode) {
    const PositionRecord p = Position(direction::Buy, 1.0);
    model.SetPositions({p});
    COrderSJClose d(model, p);
    ExpectEachRefusal(d, cmd::ClosePosition, COrderSJClose::kCloseQuantity, QStringLiteral("1.00"),
                      Refusals("闭市中，禁止交易", 7), [&] { d.Submit(); });
    EXPECT_EQ(model.Positions().size(), 1u);

    // 1: the positions and account again on the same connection, and the dialog ends with 1.
    ui.Clear();
    server.ClearLog();
    server.Set(cmd::ClosePosition, Int32Bytes(1));
    d.Submit();
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(d.result(), 1);
    EXPECT_EQ(server.Connections(),
              (std::vector<std::vector<std::int32_t>>{
                  {cmd::ClosePosition, cmd::LoadSummary, cmd::LoadPositions, cmd::LoadAccount}}));
    EXPECT_TRUE(model.Positions().empty());
}

TEST_F(TradeChangeDialogTest, OrderDialogShowsTheOrderTheBandAndTheStopBounds) {
    CModifyDelegate d(model, Order(direction::Buy, 1760.00));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("修改指价订单"));
    ExpectReadOnly(d, CModifyDelegate::kInstrumentName, QStringLiteral("伦敦金(T+0)"));
    ExpectReadOnly(d, CModifyDelegate::kDirection, QStringLiteral("买"));
    EXPECT_EQ(Text(d, CModifyDelegate::kLots), QStringLiteral("0.50"));
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, CModifyDelegate::kLotsSpin)->Lower(), 1);
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, CModifyDelegate::kLotsSpin)->Upper(), 5000);
    EXPECT_EQ(Text(d, CModifyDelegate::kMaxLots), QStringLiteral("最大"));
    EXPECT_EQ(Text(d, CModifyDelegate::kLotRange), QStringLiteral("(可填范围0.01-50)"));
    EXPECT_EQ(Text(d, CModifyDelegate::kPrice), QStringLiteral("1760.00"));
    EXPECT_EQ(Find<MySpinButtonCtrl>(d, CModifyDelegate::kPriceSpin)->Upper(), 1000000);
    EXPECT_EQ(Text(d, CModifyDelegate::kBelowLabel), QStringLiteral("小于"));
    EXPECT_EQ(Text(d, CModifyDelegate::kAboveLabel), QStringLiteral("或大于"));
    EXPECT_EQ(Text(d, CModifyDelegate::kLowerEdge), QStringLiteral("1764.80"));
    EXPECT_EQ(Text(d, CModifyDelegate::kUpperEdge), QStringLiteral("1765.80"));
    EXPECT_EQ(Text(d, CModifyDelegate::kStopLoss), QStringLiteral("1750.00"));
    EXPECT_EQ(Text(d, CModifyDelegate::kTakeProfit), QStringLiteral("1780.00"));
    EXPECT_EQ(Text(d, CModifyDelegate::kStopBoundLabel), QStringLiteral("止损价小于"));
    EXPECT_EQ(Text(d, CModifyDelegate::kTakeBoundLabel), QStringLiteral("止盈价大于"));
    EXPECT_EQ(Text(d, CModifyDelegate::kStopBound), QStringLiteral("1759.50"));
    EXPECT_EQ(Text(d, CModifyDelegate::kTakeBound), QStringLiteral("1760.50"));
    for (int id :
         std::initializer_list<int>{CModifyDelegate::kLowerEdge, CModifyDelegate::kUpperEdge,
                                    CModifyDelegate::kStopBound, CModifyDelegate::kTakeBound})
        EXPECT_EQ(ColorOf(d, id), kRed) << id;
    auto* validity = Find<QComboBox>(d, CModifyDelegate::kValidity);
    ASSERT_EQ(validity->count(), 2);
    EXPECT_EQ(validity->itemText(0), QStringLiteral("当日有效"));
    EXPECT_EQ(validity->itemText(1), QStringLiteral("当周有效"));
    EXPECT_EQ(validity->currentIndex(), 1);
    EXPECT_EQ(Text(d, CModifyDelegate::kModify), QStringLiteral("修改"));
    EXPECT_EQ(model.TickListeners(), std::vector<WindowHandle>{d.Handle()});

    // "最大" and the spin.
    Find<QPushButton>(d, CModifyDelegate::kMaxLots)->click();
    EXPECT_EQ(Text(d, CModifyDelegate::kLots), QStringLiteral("50.00"));

    // Leaving the price edit moves the stop bounds; a tick moves only the band.
    Type(d, CModifyDelegate::kPrice, QStringLiteral("1700.00"));
    EXPECT_EQ(Text(d, CModifyDelegate::kStopBound), QStringLiteral("1759.50"));
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(d.Control(CModifyDelegate::kPrice), &out);
    EXPECT_EQ(Text(d, CModifyDelegate::kStopBound), QStringLiteral("1699.50"));
    EXPECT_EQ(Text(d, CModifyDelegate::kTakeBound), QStringLiteral("1700.50"));
    MoveMarket(1770.30f, 1770.00f);
    Tick(d, 1);
    EXPECT_EQ(Text(d, CModifyDelegate::kLowerEdge), QStringLiteral("1769.80"));
    EXPECT_EQ(Text(d, CModifyDelegate::kUpperEdge), QStringLiteral("1770.80"));
    EXPECT_EQ(Text(d, CModifyDelegate::kStopBound), QStringLiteral("1699.50"));

    // A sell order of validity "当日有效": the bid, the other labels and colour, index 0.
    PendingOrderRecord sell = Order(direction::Sell, 1780.00);
    sell.validity = order_validity::Today;
    CModifyDelegate s(model, sell);
    ExpectReadOnly(s, CModifyDelegate::kDirection, QStringLiteral("卖"));
    EXPECT_EQ(Text(s, CModifyDelegate::kLowerEdge), QStringLiteral("1769.50"));
    EXPECT_EQ(Text(s, CModifyDelegate::kUpperEdge), QStringLiteral("1770.50"));
    EXPECT_EQ(Text(s, CModifyDelegate::kStopBoundLabel), QStringLiteral("止损价大于"));
    EXPECT_EQ(Text(s, CModifyDelegate::kTakeBoundLabel), QStringLiteral("止盈价小于"));
    EXPECT_EQ(Text(s, CModifyDelegate::kStopBound), QStringLiteral("1780.50"));
    EXPECT_EQ(Text(s, CModifyDelegate::kTakeBound), QStringLiteral("1779.50"));
    for (int id :
         std::initializer_list<int>{CModifyDelegate::kLowerEdge, CModifyDelegate::kUpperEdge,
                                    CModifyDelegate::kStopBound, CModifyDelegate::kTakeBound})
        EXPECT_EQ(ColorOf(s, id), kBlue) << id;
    EXPECT_EQ(Find<QComboBox>(s, CModifyDelegate::kValidity)->currentIndex(), 0);
}

TEST_F(TradeChangeDialogTest, OrderChecksRunInTheirOrderAndSendNothing) {
    CModifyDelegate d(model, Order(direction::Buy, 1760.00));
    Type(d, CModifyDelegate::kPrice,
         QStringLiteral("1765.00"));  // inside the band, examined after the lots
    Type(d, CModifyDelegate::kLots, QStringLiteral("60"));
    d.Submit();
    Type(d, CModifyDelegate::kLots, QStringLiteral("0.005"));
    d.Submit();
    Type(d, CModifyDelegate::kLots, QStringLiteral("0.50"));
    d.Submit();
    Type(d, CModifyDelegate::kPrice, QString());
    d.Submit();
    Type(d, CModifyDelegate::kPrice, QStringLiteral("1764.81"));
    d.Submit();
    Type(d, CModifyDelegate::kPrice, QStringLiteral("1764.80"));
    Type(d, CModifyDelegate::kStopLoss,
         QStringLiteral("1759.51"));  // beyond the bound shown for 1760.00
    d.Submit();
    Type(d, CModifyDelegate::kStopLoss, QStringLiteral("1759.50"));
    Type(d, CModifyDelegate::kTakeProfit, QStringLiteral("1760.49"));
    d.Submit();
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{"交易手数不合法，请修改后重试",
                                        "交易手数不合法，请修改后重试", "价格错误", "价格错误",
                                        "价格错误", "止损或盈利无效", "止损或盈利无效"}));
    EXPECT_TRUE(server.Connections().empty());
    EXPECT_EQ(d.result(), 0);

    // Lots off the step of an instrument counted in half lots.
    ui.Clear();
    PendingOrderRecord index = Order(direction::Buy, 70.0);
    index.instrument = 3;
    index.quantity = 1;
    index.stopLoss = 0;
    index.takeProfit = 0;
    CModifyDelegate i(model, index);
    Type(i, CModifyDelegate::kLots, QStringLiteral("1.2"));
    i.Submit();
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"交易手数必须是0.5的倍数"});

    // No quote yet: the band reads 0 and every price is an error.
    ui.Clear();
    MoveMarket(0, 0);
    CModifyDelegate z(model, Order(direction::Buy, 1760.00));
    MoveMarket(0.5f, 0.5f);
    Tick(z, 1);
    EXPECT_EQ(Text(z, CModifyDelegate::kLowerEdge), QStringLiteral("0.00"));
    z.Submit();
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{"价格错误"});
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(TradeChangeDialogTest, OrderEdgesAreAcceptedAndEveryAnswerHasItsMessage) {
    const PendingOrderRecord order = Order(direction::Buy, 1760.00);
    model.SetOrders({order});
    CModifyDelegate d(model, order);
    Type(d, CModifyDelegate::kPrice, QStringLiteral("1765.80"));
    Type(d, CModifyDelegate::kStopLoss, QString());
    Type(d, CModifyDelegate::kTakeProfit, QString());
    ExpectEachRefusal(d, cmd::ModifyPending, CModifyDelegate::kPrice, QStringLiteral("1765.80"),
                      Refusals("无效价格", 8), [&] { d.Submit(); });
    const PendingOrderRecord q = Sent<PendingOrderRecord>(cmd::ModifyPending);
    EXPECT_DOUBLE_EQ(q.price, 1765.80);
    EXPECT_DOUBLE_EQ(q.stopLoss, 0.0);
    EXPECT_DOUBLE_EQ(q.takeProfit, 0.0);

    // 1: the orders and the account on the same connection; the dialog ends with 1.
    ui.Clear();
    server.ClearLog();
    Type(d, CModifyDelegate::kPrice, QStringLiteral("1764.80"));
    server.Set(cmd::ModifyPending, Int32Bytes(1));
    d.Submit();
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(d.result(), 1);
    EXPECT_EQ(server.Connections(), (std::vector<std::vector<std::int32_t>>{
                                        {cmd::ModifyPending, cmd::LoadPending, cmd::LoadAccount}}));
    EXPECT_DOUBLE_EQ(Sent<PendingOrderRecord>(cmd::ModifyPending).price, 1764.80);
}

TEST_F(TradeChangeDialogTest, AValidityOnlyChangeSendsTheOrderUnchangedOtherwise) {
    const PendingOrderRecord order = Order(direction::Buy, 1760.00);
    CModifyDelegate d(model, order);
    Find<QComboBox>(d, CModifyDelegate::kValidity)->setCurrentIndex(0);
    server.Set(cmd::ModifyPending, Int32Bytes(3), true);
    d.Submit();
    PendingOrderRecord expected = order;
    expected.validity = order_validity::Today;
    const PendingOrderRecord q = Sent<PendingOrderRecord>(cmd::ModifyPending);
    EXPECT_EQ(Bytes(&q, sizeof q), Bytes(&expected, sizeof expected));
}

// Rejects any modal dialog that shows, so that a refusal that wrongly opened one ends the test
// instead of hanging it; counts what it closed.
struct ModalGuard {
    int closed = 0;
    QTimer timer;
    ModalGuard() {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* w = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ++closed;
                w->reject();
            }
        });
        timer.start();
    }
};

TEST_F(TradeChangeDialogTest, ProgrammaticPositionsAndOrdersCannotBeChanged) {
    ModalGuard guard;
    PositionRecord p = Position(direction::Buy, 1.0);
    p.programmatic = 1;
    PendingOrderRecord o = Order(direction::Buy, 1760.00);
    o.validity = order_validity::Programmatic;
    EXPECT_FALSE(RunModifyPosition(nullptr, model, p));
    EXPECT_FALSE(RunClosePosition(nullptr, model, p));
    EXPECT_FALSE(RunModifyOrder(nullptr, model, o));
    EXPECT_FALSE(RunDeleteOrder(nullptr, model, o));
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>(4, "无法修改程序化交易订单"));
    EXPECT_EQ(guard.closed, 0);
    EXPECT_TRUE(server.Connections().empty());

    // While the switch is on, a position or order of the member's own still opens its dialog.
    Session().programTrading = 1;
    ui.Clear();
    p.programmatic = 0;
    o.validity = order_validity::Today;
    EXPECT_FALSE(RunModifyPosition(nullptr, model, p));
    EXPECT_FALSE(RunClosePosition(nullptr, model, p));
    EXPECT_FALSE(RunModifyOrder(nullptr, model, o));
    EXPECT_EQ(guard.closed, 3);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(TradeChangeDialogTest, SetupShowsTheSwitchAsTheFlagStands) {
    Session().programTrading = 1;
    CPeaSetup1 on(model);
    EXPECT_EQ(on.windowTitle(), QStringLiteral("程序化交易设置"));
    auto* box = FindControl<QCheckBox>(on, CPeaSetup1::kSwitch);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(box->text(), QStringLiteral("启用程序化交易"));
    auto* save = FindControl<QPushButton>(on, CPeaSetup1::kSave);
    auto* cancel = FindControl<QPushButton>(on, CPeaSetup1::kCancel);
    ASSERT_NE(save, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(save->text(), QStringLiteral("保存设置"));
    EXPECT_EQ(cancel->text(), QStringLiteral("取消"));
    bool hint = false;
    for (QLabel* l : on.findChildren<QLabel*>())
        hint = hint || l->text() == QStringLiteral(
                                        "系统提示：启用程序化交易化后，"
                                        "银卡会员最大风险30%，金卡会员最大风险30%，"
                                        "钻卡会员最大风险为两者之和。");
    EXPECT_TRUE(hint);
    // "取消" sends nothing.
    cancel->click();
    EXPECT_EQ(on.result(), QDialog::Rejected);
    EXPECT_TRUE(server.Connections().empty());

    // Only 1 is on.
    Session().programTrading = 2;
    CPeaSetup1 other(model);
    EXPECT_FALSE(other.Switch()->isChecked());
}

TEST_F(TradeChangeDialogTest, SetupChecksTheMarginOfTheClassBeforeSaving) {
    Session().accountClass = 8;
    test::EditAccount(model, [](AccountBlock& a) { a.availableMargin = 299999.99; });
    CPeaSetup1 d(model);
    d.Switch()->setChecked(true);
    d.Save();
    d.Switch()->setChecked(false);  // switching off is checked too
    d.Save();
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{"钻卡会员要求可用保证金不低于30万",
                                                       "钻卡会员要求可用保证金不低于30万"}));
    EXPECT_TRUE(server.Connections().empty());
    EXPECT_EQ(d.result(), 0);

    // Enough margin, but the server does not store: open, no message, flag unchanged.
    ui.Clear();
    test::EditAccount(model, [](AccountBlock& a) { a.availableMargin = 300000; });
    d.Switch()->setChecked(true);
    server.Set(cmd::SaveProgramTrading, std::string(1, '\0'), true);
    d.Save();
    EXPECT_TRUE(ui.BoxTexts().empty());
    EXPECT_EQ(d.result(), 0);
    EXPECT_EQ(Session().programTrading.load(), 0);
    std::string expected(50, '\0');
    expected += Int32Bytes(30) + Int32Bytes(30) + Int32Bytes(1);
    EXPECT_EQ(server.Payloads()[cmd::SaveProgramTrading], expected);

    // Stored: the flag follows the box and the dialog closes.
    server.Set(cmd::SaveProgramTrading, "\x01", true);
    d.Save();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(Session().programTrading.load(), 1);

    // "普通会员" saves without a margin at all.
    Session().accountClass = 1;
    test::EditAccount(model, [](AccountBlock& a) { a.availableMargin = -10; });
    CPeaSetup1 plain(model);
    EXPECT_TRUE(plain.Switch()->isChecked());
    plain.Switch()->setChecked(false);
    plain.Save();
    EXPECT_EQ(plain.result(), QDialog::Accepted);
    EXPECT_EQ(Session().programTrading.load(), 0);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(TradeChangeDialogTest, SetupRunsModallyAndAnswersWhetherItSaved) {
    Session().accountClass = 1;
    server.Set(cmd::SaveProgramTrading, "\x01", true);
    QTimer::singleShot(50, [] {
        auto* d = qobject_cast<CPeaSetup1*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        d->Switch()->setChecked(true);
        FindControl<QPushButton>(*d, CPeaSetup1::kSave)->click();
    });
    EXPECT_TRUE(RunProgramTradingSetup(nullptr, model));
    EXPECT_EQ(Session().programTrading.load(), 1);

    ModalGuard guard;  // cancelled: nothing saved
    EXPECT_FALSE(RunProgramTradingSetup(nullptr, model));
    EXPECT_EQ(guard.closed, 1);
    EXPECT_EQ(Session().programTrading.load(), 1);
}

}  // namespace
}  // namespace zq
