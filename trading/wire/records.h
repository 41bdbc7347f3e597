// The trading records, byte for byte as they travel on the request port and as the model keeps
// them: the instrument's trading rules, an open position (also a line of the position summary),
// a pending order and the account block; and the payloads of the two list queries that carry one.
//
// Fields marked "client" are written by this program; every other byte is kept as the server
// sent it, including the gaps that carry nothing the client reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/wire/framing.h"

namespace zq {

#pragma pack(push, 1)

// One instrument's trading rules and its current prices (`cmd::LoadInstruments`).
struct InstrumentRecord {
    std::int32_t id;  // 1..42; menu command id + 30000
    char reserved0[8];
    float last;             // client: market record close / 10^decimals
    float ask;              // client: last + buy spread, where the user buys
    float bid;              // client: last - sell spread, where the user sells
    std::int32_t decimals;  // price decimals
    float pointValue;       // money value of one price point (10^-decimals) for one lot
    char reserved1[8];
    char name[40];               // display name
    char code[40];               // "商品代码"
    std::int32_t lotSize;        // units per lot
    std::int32_t unitKind;       // 1 克, 2 盎司, 3 千克, 4 货币单位, 5 吨
    float minLots;               // "单笔最小量"
    std::int32_t maxLots;        // "单笔最大量"
    std::int32_t lotDecimals;    // quantities are handled in units of 10^-lotDecimals lots
    float lotStep;               // a quantity is a multiple of lotStep / 10^lotDecimals
    std::int32_t maxPosition;    // "最大持仓量"
    std::int32_t feeMethod;      // 1 proportional, otherwise per lot
    float feeValue;              // proportional: ratio x 10000; per lot: amount
    std::int32_t feeCollection;  // 1 one side (at opening), otherwise both sides
    std::int32_t marginMethod;   // 1 proportional, otherwise per lot
    float marginValue;           // proportional: percent; per lot: amount
    char reserved2[4];
    float deferralValue;    // proportional: ratio x 100000; per lot: amount
    float buySpread;        // ask = last + buy spread; default allowed deviation of a market order
    float sellSpread;       // bid = last - sell spread
    float pendingDistance;  // least distance of a pending order's price from the market ("元")
    float stopDistance;     // least distance of a stop-loss or take-profit from the order price
    std::int32_t tradable;  // 1: offered in the order dialogs
    char reserved3[92];
};

// One open position (`cmd::LoadPositions`), or one line of the position summary
// (`cmd::LoadSummary`), or the answer of a position change (`cmd::ModifyPosition`).
struct PositionRecord {
    char ticket[21];  // "持仓单号", the key of a position
    char reserved0[3];
    std::int32_t instrument;
    char instrumentName[44];
    std::int32_t direction;  // 1 buy, 2 sell
    char reserved1[4];
    double openedQuantity;  // "建仓量"
    double heldQuantity;    // "持仓量"
    double openPrice;       // in the summary: the average open price
    char reserved2[8];
    double stopLoss;    // 0 = none
    double takeProfit;  // 0 = none
    char reserved3[8];
    double occupiedMargin;  // filled in the summary
    char openTime[48];
    double deferralFee;
    char reserved4[8];
    double fee1;  // the fee shown is fee1 + fee2
    char reserved5[8];
    double fee2;
    std::int32_t programmatic;  // 1: opened by programmatic trading
    std::int32_t watched;       // 1: takes part in the stop-loss / take-profit check
    std::int32_t priceLineY;    // client: chart y of the open price
    std::int32_t stopLineY;     // client: chart y of the stop-loss, while there is one
    std::int32_t takeLineY;     // client: chart y of the take-profit, while there is one
    std::int32_t label[4];      // client: left, top, right, bottom of the chart label
    char reserved6[4];
};

// One pending order (`cmd::LoadPending`); also the request of `cmd::ModifyPending` and
// `cmd::ClosePosition`.
struct PendingOrderRecord {
    char orderNumber[21];  // "委托单号", the key of a pending order
    char reserved0[3];
    std::int32_t instrument;
    char instrumentName[44];
    std::int32_t direction;  // 1 buy, 2 sell
    char reserved1[4];
    double quantity;    // lots
    double price;       // "委托价"
    double stopLoss;    // 0 = none
    double takeProfit;  // 0 = none
    char reserved2[32];
    std::int32_t triggerKind;  // see OrderTrigger
    std::int32_t openClose;    // 1 opens a position ("建仓"), otherwise closes one ("平仓")
    char relatedPosition[24];  // ticket a closing order closes ("关联持仓号")
    std::int32_t validity;     // 1 "当日有效", 2 "当周有效", 3 "程序化"
    char orderTime[40];
    std::int32_t status;      // 1 "等待", 2 "已撤", 3 "已成交"
    std::int32_t priceLineY;  // client: chart y of the order price
    std::int32_t stopLineY;   // client
    std::int32_t takeLineY;   // client
    std::int32_t label[4];    // client: chart label rectangle
    char reserved3[4];
};

// The account figures (`cmd::LoadAccount`). Offsets 128..159 are the client's own, written by
// RecomputeAccount.
struct AccountBlock {
    char reserved0[21];
    char accountName[27];  // "账户名称"
    double base1;          // first part of the return base
    double netDeposits;    // "出入金总额", shown as "入金"; second part of the return base
    double freeFunds;      // available margin before floating profit/loss
    double todayClosedProfit;    // "当日平仓盈亏合计"
    double todayFees;            // "当日手续费合计"
    double occupiedMargin;       // "占用保证金"
    double frozenMargin;         // "冻结保证金"
    double frozenFees;           // "冻结手续费"
    double previousDeferralFee;  // "上日延期费"
    std::int32_t lastAward;  // 1 一等奖, 2 二等奖, 3 三等奖, 4 鼓励奖, otherwise 否
    char reserved1[4];
    double equity;            // client: "当前权益"
    double floatingProfit;    // client: "浮动盈亏"
    double availableMargin;   // client: "可用保证金"
    float riskRate;           // client: "风险率", percent
    float averageReturn;      // client: "平均收益率", percent
    float tradeCount;         // denominator of the success rate
    float winningTradeCount;  // numerator of the success rate
};

// Payload of `cmd::LoadPositions` (load positions): 44 zero bytes.
struct LoadPositionsRequest {
    char zero[44];
};

// Payload of `cmd::LoadPending` (load pending orders): the int32 1 at offset 8, zero elsewhere.
struct LoadOrdersRequest {
    std::int32_t word0;
    std::int32_t word1;
    std::int32_t selector;  // always 1
    char zero[44];
};

#pragma pack(pop)

namespace direction {
constexpr std::int32_t Buy = 1;
constexpr std::int32_t Sell = 2;
}  // namespace direction

// When a waiting order is due.
namespace trigger {
constexpr std::int32_t BuyAskFalls = 1;   // buy when the ask falls to the price
constexpr std::int32_t SellBidRises = 2;  // sell when the bid rises to the price
constexpr std::int32_t BuyAskRises = 3;   // buy when the ask rises to the price
constexpr std::int32_t SellBidFalls = 4;  // sell when the bid falls to the price
}  // namespace trigger

// How long a pending order waits.
namespace order_validity {
constexpr std::int32_t Today = 1;         // "当日有效"
constexpr std::int32_t ThisWeek = 2;      // "当周有效"
constexpr std::int32_t Programmatic = 3;  // "程序化": placed by the server's programmatic trading
}  // namespace order_validity

namespace order_status {
constexpr std::int32_t Waiting = 1;
constexpr std::int32_t Cancelled = 2;
constexpr std::int32_t Filled = 3;
}  // namespace order_status

static_assert(sizeof(InstrumentRecord) == 288);
static_assert(offsetof(InstrumentRecord, id) == 0);
static_assert(offsetof(InstrumentRecord, last) == 12);
static_assert(offsetof(InstrumentRecord, ask) == 16);
static_assert(offsetof(InstrumentRecord, bid) == 20);
static_assert(offsetof(InstrumentRecord, decimals) == 24);
static_assert(offsetof(InstrumentRecord, pointValue) == 28);
static_assert(offsetof(InstrumentRecord, name) == 40);
static_assert(offsetof(InstrumentRecord, code) == 80);
static_assert(offsetof(InstrumentRecord, lotSize) == 120);
static_assert(offsetof(InstrumentRecord, unitKind) == 124);
static_assert(offsetof(InstrumentRecord, minLots) == 128);
static_assert(offsetof(InstrumentRecord, maxLots) == 132);
static_assert(offsetof(InstrumentRecord, lotDecimals) == 136);
static_assert(offsetof(InstrumentRecord, lotStep) == 140);
static_assert(offsetof(InstrumentRecord, maxPosition) == 144);
static_assert(offsetof(InstrumentRecord, feeMethod) == 148);
static_assert(offsetof(InstrumentRecord, feeValue) == 152);
static_assert(offsetof(InstrumentRecord, feeCollection) == 156);
static_assert(offsetof(InstrumentRecord, marginMethod) == 160);
static_assert(offsetof(InstrumentRecord, marginValue) == 164);
static_assert(offsetof(InstrumentRecord, deferralValue) == 172);
static_assert(offsetof(InstrumentRecord, buySpread) == 176);
static_assert(offsetof(InstrumentRecord, sellSpread) == 180);
static_assert(offsetof(InstrumentRecord, pendingDistance) == 184);
static_assert(offsetof(InstrumentRecord, stopDistance) == 188);
static_assert(offsetof(InstrumentRecord, tradable) == 192);

static_assert(sizeof(PositionRecord) == 272);
static_assert(offsetof(PositionRecord, ticket) == 0);
static_assert(offsetof(PositionRecord, instrument) == 24);
static_assert(offsetof(PositionRecord, instrumentName) == 28);
static_assert(offsetof(PositionRecord, direction) == 72);
static_assert(offsetof(PositionRecord, openedQuantity) == 80);
static_assert(offsetof(PositionRecord, heldQuantity) == 88);
static_assert(offsetof(PositionRecord, openPrice) == 96);
static_assert(offsetof(PositionRecord, stopLoss) == 112);
static_assert(offsetof(PositionRecord, takeProfit) == 120);
static_assert(offsetof(PositionRecord, occupiedMargin) == 136);
static_assert(offsetof(PositionRecord, openTime) == 144);
static_assert(offsetof(PositionRecord, deferralFee) == 192);
static_assert(offsetof(PositionRecord, fee1) == 208);
static_assert(offsetof(PositionRecord, fee2) == 224);
static_assert(offsetof(PositionRecord, programmatic) == 232);
static_assert(offsetof(PositionRecord, watched) == 236);
static_assert(offsetof(PositionRecord, priceLineY) == 240);
static_assert(offsetof(PositionRecord, stopLineY) == 244);
static_assert(offsetof(PositionRecord, takeLineY) == 248);
static_assert(offsetof(PositionRecord, label) == 252);

static_assert(sizeof(PendingOrderRecord) == 256);
static_assert(offsetof(PendingOrderRecord, orderNumber) == 0);
static_assert(offsetof(PendingOrderRecord, instrument) == 24);
static_assert(offsetof(PendingOrderRecord, instrumentName) == 28);
static_assert(offsetof(PendingOrderRecord, direction) == 72);
static_assert(offsetof(PendingOrderRecord, quantity) == 80);
static_assert(offsetof(PendingOrderRecord, price) == 88);
static_assert(offsetof(PendingOrderRecord, stopLoss) == 96);
static_assert(offsetof(PendingOrderRecord, takeProfit) == 104);
static_assert(offsetof(PendingOrderRecord, triggerKind) == 144);
static_assert(offsetof(PendingOrderRecord, openClose) == 148);
static_assert(offsetof(PendingOrderRecord, relatedPosition) == 152);
static_assert(offsetof(PendingOrderRecord, validity) == 176);
static_assert(offsetof(PendingOrderRecord, orderTime) == 180);
static_assert(offsetof(PendingOrderRecord, status) == 220);
static_assert(offsetof(PendingOrderRecord, priceLineY) == 224);
static_assert(offsetof(PendingOrderRecord, stopLineY) == 228);
static_assert(offsetof(PendingOrderRecord, takeLineY) == 232);
static_assert(offsetof(PendingOrderRecord, label) == 236);

static_assert(sizeof(AccountBlock) == 168);
static_assert(offsetof(AccountBlock, accountName) == 21);
static_assert(offsetof(AccountBlock, base1) == 48);
static_assert(offsetof(AccountBlock, netDeposits) == 56);
static_assert(offsetof(AccountBlock, freeFunds) == 64);
static_assert(offsetof(AccountBlock, todayClosedProfit) == 72);
static_assert(offsetof(AccountBlock, todayFees) == 80);
static_assert(offsetof(AccountBlock, occupiedMargin) == 88);
static_assert(offsetof(AccountBlock, frozenMargin) == 96);
static_assert(offsetof(AccountBlock, frozenFees) == 104);
static_assert(offsetof(AccountBlock, previousDeferralFee) == 112);
static_assert(offsetof(AccountBlock, lastAward) == 120);
static_assert(offsetof(AccountBlock, equity) == 128);
static_assert(offsetof(AccountBlock, floatingProfit) == 136);
static_assert(offsetof(AccountBlock, availableMargin) == 144);
static_assert(offsetof(AccountBlock, riskRate) == 152);
static_assert(offsetof(AccountBlock, averageReturn) == 156);
static_assert(offsetof(AccountBlock, tradeCount) == 160);
static_assert(offsetof(AccountBlock, winningTradeCount) == 164);

static_assert(sizeof(LoadPositionsRequest) == 44);
static_assert(sizeof(LoadOrdersRequest) == 56);
static_assert(offsetof(LoadOrdersRequest, selector) == 8);

}  // namespace zq
