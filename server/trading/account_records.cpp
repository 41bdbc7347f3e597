#include "server/trading/account_records.h"

#include <cmath>
#include <cstring>
#include <map>

#include "net/wire/ansi_text.h"
#include "server/market/catalogue.h"
#include "trading/wire/decimal.h"
#include "trading/wire/profit.h"

namespace zq::server {
namespace {

double RoundLots(double lots, std::int32_t lotDecimals) {
    const double scale = std::pow(10.0, lotDecimals);
    return std::round(lots * scale) / scale;
}

void PutDouble(void* record, std::size_t offset, double value) {
    std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

double GetDouble(const void* record, std::size_t offset) {
    double value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

std::int32_t GetInt(const void* record, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

std::string GetText(const void* record, std::size_t offset, std::size_t width) {
    return std::string(FieldText(static_cast<const char*>(record) + offset, width));
}

// A filter's instrument and direction; 0 matches any.
bool TermsMatch(std::int32_t instrument, std::int32_t direction, const TradeTerms& row) {
    return (instrument == 0 || row.instrument == instrument) &&
           (direction == 0 || row.direction == direction);
}

// A zeroed position or order record with its number and the row's trade terms: the instrument
// with its name, the direction, and the stop-loss and take-profit prices.
template <typename Record, std::size_t N>
Record RecordWithTerms(char (Record::*numberField)[N], const std::string& number,
                       const TradeTerms& row) {
    Record r;
    std::memset(&r, 0, sizeof r);
    PutField(r.*numberField, N, number);
    const InstrumentRules* rules = FindRules(row.instrument);
    r.instrument = row.instrument;
    PutField(r.instrumentName, sizeof r.instrumentName,
             rules ? ToAnsi(rules->name) : std::string());
    r.direction = row.direction;
    r.stopLoss = row.stopLoss;
    r.takeProfit = row.takeProfit;
    return r;
}

}  // namespace

// ---- Filters ----

PositionFilter PositionFilter::From(const LoadPositionsRequest& request) {
    PositionFilter f;
    f.instrument = GetInt(&request, 0);
    f.direction = GetInt(&request, 4);
    f.ticket = GetText(&request, 8, 24);
    f.origin = GetInt(&request, 32);
    return f;
}

bool PositionFilter::Matches(const PositionRow& row) const {
    if (!TermsMatch(instrument, direction, row)) return false;
    if (!ticket.empty() && row.ticket != ticket) return false;
    if (origin == 1 && row.programmatic == 1) return false;
    if (origin == 2 && row.programmatic != 1) return false;
    return true;
}

OrderFilter OrderFilter::From(const LoadOrdersRequest& request) {
    OrderFilter f;
    f.instrument = request.word0;
    f.direction = request.word1;
    f.status = request.selector;
    f.orderNumber = GetText(&request, 12, 24);
    return f;
}

bool OrderFilter::Matches(const OrderRow& row) const {
    if (!TermsMatch(instrument, direction, row)) return false;
    if (status != 0 && row.status != status) return false;
    if (!orderNumber.empty() && row.orderNumber != orderNumber) return false;
    return true;
}

// ---- Records ----

double PositionCurrentPrice(const PositionRecord& record) {
    return GetDouble(&record, kPositionPriceOffset);
}

double PositionFloatingProfit(const PositionRecord& record) {
    return GetDouble(&record, kPositionProfitOffset);
}

PositionRecord MakePositionRecord(const PositionRow& row, const InstrumentRecord& quoted) {
    static_assert(offsetof(PositionRecord, reserved2) == kPositionPriceOffset);
    static_assert(offsetof(PositionRecord, reserved3) == kPositionProfitOffset);
    PositionRecord r = RecordWithTerms(&PositionRecord::ticket, row.ticket, row);
    r.openedQuantity = row.openedQuantity;
    r.heldQuantity = row.heldQuantity;
    r.openPrice = row.openPrice;
    r.occupiedMargin = row.margin;
    PutField(r.openTime, sizeof r.openTime, BeijingTimeText(row.openTime));
    r.deferralFee = row.deferralFee;
    r.fee1 = row.fee1;
    r.fee2 = row.fee2;
    r.programmatic = row.programmatic;
    r.watched = row.stopLoss > 0 || row.takeProfit > 0 ? 1 : 0;
    if (quoted.decimals != 0 || quoted.last != 0) {
        PutDouble(&r, kPositionPriceOffset,
                  row.direction == direction::Buy ? quoted.bid : quoted.ask);
        const Decimal profit = PositionProfit(r, quoted);
        PutDouble(&r, kPositionProfitOffset, profit.Valid() ? profit.ToDouble() : 0.0);
    }
    return r;
}

PendingOrderRecord MakeOrderRecord(const OrderRow& row) {
    PendingOrderRecord r = RecordWithTerms(&PendingOrderRecord::orderNumber, row.orderNumber, row);
    r.quantity = row.quantity;
    r.price = row.price;
    r.triggerKind = row.triggerKind;
    r.openClose = row.openClose;
    PutField(r.relatedPosition, sizeof r.relatedPosition, row.relatedPosition);
    r.validity = row.validity;
    PutField(r.orderTime, sizeof r.orderTime, BeijingTimeText(row.orderTime));
    r.status = row.status;
    return r;
}

std::vector<PositionRecord> Summarize(const std::vector<PositionRecord>& positions) {
    struct Line {
        PositionRecord record;
        double weightedPrice = 0;
    };
    std::map<std::pair<std::int32_t, std::int32_t>, Line> lines;
    for (const PositionRecord& p : positions) {
        auto [it, fresh] = lines.try_emplace({p.instrument, p.direction});
        Line& line = it->second;
        PositionRecord& s = line.record;
        if (fresh) {
            std::memset(&s, 0, sizeof s);
            s.instrument = p.instrument;
            std::memcpy(s.instrumentName, p.instrumentName, sizeof s.instrumentName);
            s.direction = p.direction;
            PutDouble(&s, kPositionPriceOffset, PositionCurrentPrice(p));
        }
        s.openedQuantity += p.openedQuantity;
        s.heldQuantity += p.heldQuantity;
        line.weightedPrice += p.openPrice * p.heldQuantity;
        s.occupiedMargin += p.occupiedMargin;
        s.deferralFee += p.deferralFee;
        s.fee1 += p.fee1;
        s.fee2 += p.fee2;
        PutDouble(&s, kPositionProfitOffset, PositionFloatingProfit(s) + PositionFloatingProfit(p));
    }
    std::vector<PositionRecord> out;
    for (auto& [key, line] : lines) {
        PositionRecord& s = line.record;
        const InstrumentRules* rules = FindRules(s.instrument);
        const std::int32_t lotDecimals = rules ? rules->lotDecimals : 2;
        s.openedQuantity = RoundLots(s.openedQuantity, lotDecimals);
        s.heldQuantity = RoundLots(s.heldQuantity, lotDecimals);
        s.openPrice = s.heldQuantity > 0 ? line.weightedPrice / s.heldQuantity : 0;
        s.occupiedMargin = RoundMoney(s.occupiedMargin);
        s.deferralFee = RoundMoney(s.deferralFee);
        s.fee1 = RoundMoney(s.fee1);
        s.fee2 = RoundMoney(s.fee2);
        out.push_back(s);
    }
    return out;
}

}  // namespace zq::server
