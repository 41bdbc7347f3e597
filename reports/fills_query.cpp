#include "reports/fills_query.h"

#include <cstring>

#include "base/text_format.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "widgets/sort_rules.h"

namespace zq {
namespace {

void PutDate(char (&field)[20], const std::optional<CalendarDate>& date) {
    std::memset(field, 0, sizeof field);
    if (!date) return;
    const std::string text = FormatText("%04d-%02d-%02d", date->year, date->month, date->day);
    PutField(field, sizeof field, text);
}

template <std::size_t N>
std::string Text(const char (&field)[N]) {
    return FieldToUtf8(field, N);
}

}  // namespace

FillQuery MakeFillQuery(const std::optional<CalendarDate>& start,
                        const std::optional<CalendarDate>& end, std::int32_t filter) {
    FillQuery q{};
    q.instrument = filter;
    PutDate(q.startDate, start);
    PutDate(q.endDate, end);
    return q;
}

std::vector<ChoiceEntry> FillFilterEntries(const std::vector<InstrumentRecord>& instruments) {
    std::vector<ChoiceEntry> entries = {{"所有产品", fill_filter::All},
                                        {"银卡会员产品", fill_filter::SilverInstruments},
                                        {"金卡会员产品", fill_filter::GoldInstruments}};
    for (ChoiceEntry& e : TradableEntries(instruments)) entries.push_back(std::move(e));
    return entries;
}

std::optional<FillsAnswer> QueryFills(WindowHandle owner, const FillQuery& query) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return std::nullopt;
    const auto fail = [&]() -> std::optional<FillsAnswer> {
        s.ShutdownClose();
        ShowMessage(owner, kFillsFailedText);
        return std::nullopt;
    };
    if (!SendRequest(s, MakeHeader(cmd::LoadFills), &query, sizeof query)) return fail();
    std::int32_t count = 0;
    if (ReceiveExact(s, &count, sizeof count) != static_cast<int>(sizeof count)) return fail();
    // A count no server list reaches is a broken answer, not a reason to read without end.
    if (count > kMaxListCount) return fail();

    FillsAnswer answer;
    bool open = true;
    for (std::int32_t i = 0; i < count && open; ++i) {
        FillRecord r{};
        if (ReceiveExact(s, &r, sizeof r) == static_cast<int>(sizeof r))
            answer.records.push_back(r);
        else
            open = false;  // this record is left out; nothing more arrives on the connection
    }
    if (open) {
        // Bytes of the summary that did arrive count; the rest stays 0.
        ReceiveExact(s, &answer.summary, sizeof answer.summary);
    }
    s.ShutdownClose();
    return answer;
}

const std::vector<ReportColumn>& FillsColumns() {
    static const std::vector<ReportColumn> columns = {
        {"成交单号", kSortAsText},   {"商品名称", kSortAsText}, {"买/卖", kSortAsText},
        {"数量", kSortAsNumber},     {"成交价", kSortAsNumber}, {"建仓/平仓", kSortAsText},
        {"平仓盈亏", kSortAsNumber}, {"委托单号", kSortAsText}, {"持仓单号", kSortAsText},
        {"成交类型", kSortAsText},   {"操作类型", kSortAsText}, {"成交时间", kSortAsText},
    };
    return columns;
}

std::vector<std::string> FillCells(const FillRecord& f) {
    const bool closing = f.openClose == 2;
    std::string kind = f.kind == fill_kind::AtMarket  ? "市价成交"
                       : f.kind == fill_kind::AtLimit ? "指价成交"
                                                      : "";
    std::string originator = f.originator == fill_originator::User           ? "用户"
                             : f.originator == fill_originator::System       ? "系统"
                             : f.originator == fill_originator::Programmatic ? "程序化"
                                                                             : "";
    return {Text(f.fillNumber),
            Text(f.instrumentName),
            f.direction == 1 ? "买" : "卖",
            ShortPrice(f.quantity),
            ShortPrice(f.price),
            f.openClose == 1 ? "建仓" : "平仓",
            closing ? MoneyText(f.closeProfit) : "",
            Text(f.orderNumber),
            Text(f.ticket),
            std::move(kind),
            std::move(originator),
            Text(f.time)};
}

FillFigures FillFigureTexts(const FillSummary& s) {
    return {FormatText("%.2f%%", static_cast<double>(s.successRate)),
            MoneyText(static_cast<double>(s.profit)),
            FormatText("%.2f%%", static_cast<double>(s.returnRate))};
}

}  // namespace zq
