#include "reports/report_grids.h"

#include "base/text_format.h"
#include "net/wire/ansi_text.h"
#include "reports/trade_report.h"

namespace zq {
namespace {

GridTexts EmptyGrid(int rows) {
    return GridTexts(static_cast<std::size_t>(rows),
                     std::vector<std::string>(static_cast<std::size_t>(kGridColumns)));
}

std::string Percent(double value) {
    return FormatText("%.2f%%", value);
}

// "按比例" for the proportional method (1), "按手数" for any other.
std::string MethodText(std::int32_t method) {
    return method == 1 ? "按比例" : "按手数";
}

std::string UnitText(std::int32_t kind, std::int32_t lotSize) {
    switch (kind) {
        case 1:
            return FormatText("%d克/手", lotSize);
        case 2:
            return FormatText("%d盎司/手", lotSize);
        case 3:
            return FormatText("%d千克/手", lotSize);
        case 4:
            return FormatText("%d货币单位/手", lotSize);
        case 5:
            return FormatText("%d吨/手", lotSize);
        default:
            return {};
    }
}

}  // namespace

std::string AwardText(std::int32_t award) {
    switch (award) {
        case 1:
            return "一等奖";
        case 2:
            return "二等奖";
        case 3:
            return "三等奖";
        case 4:
            return "鼓励奖";
        default:
            return "否";
    }
}

GridTexts AccountGridTexts(const AccountBlock& a) {
    GridTexts g = EmptyGrid(kAccountGridRows);
    g[0] = {"账户名称", FieldToUtf8(a.accountName, sizeof a.accountName), "", ""};
    g[1] = {"当前权益", MoneyText(a.equity), "", ""};
    g[2] = {"出入金总额", MoneyText(a.netDeposits), "浮动盈亏", MoneyText(a.floatingProfit)};
    g[3] = {"当日平仓盈亏合计", MoneyText(a.todayClosedProfit), "可用保证金",
            MoneyText(a.availableMargin)};
    g[4] = {"当日手续费合计", MoneyText(a.todayFees), "占用保证金", MoneyText(a.occupiedMargin)};
    g[5] = {"上日延期费", MoneyText(a.previousDeferralFee), "冻结保证金",
            MoneyText(a.frozenMargin)};
    g[6] = {"风险率", a.riskRate > 0 ? Percent(a.riskRate) : "--", "冻结手续费",
            MoneyText(a.frozenFees)};
    g[7] = {"平均收益率", a.averageReturn != 0 ? Percent(a.averageReturn) : "--", "上期获奖",
            AwardText(a.lastAward)};
    return g;
}

std::vector<GridCell> AccountQuoteCells(const AccountBlock& a) {
    return {{1, 1, MoneyText(a.equity)},
            {2, 3, MoneyText(a.floatingProfit)},
            {3, 3, MoneyText(a.availableMargin)},
            {6, 1, Percent(a.riskRate)},
            {7, 1, Percent(a.averageReturn)}};
}

GridTexts InstrumentGridTexts(const InstrumentRecord& r) {
    GridTexts g = EmptyGrid(kInstrumentGridRows);
    const bool proportionalFee = r.feeMethod == 1;
    const bool proportionalMargin = r.marginMethod == 1;
    g[0] = {"商品名称", FieldToUtf8(r.name, sizeof r.name), "商品代码",
            FieldToUtf8(r.code, sizeof r.code)};
    g[1] = {"商品状态", "交易", "交易单位", UnitText(r.unitKind, r.lotSize)};
    g[2] = {"单笔最小量", FormatText("%g手", static_cast<double>(r.minLots)), "单笔最大量",
            FormatText("%d手", r.maxLots)};
    g[3] = {"最大持仓量", FormatText("%d手", r.maxPosition), "", ""};
    // A proportional fee travels as the ratio × 10000.
    const double fee =
        proportionalFee ? static_cast<double>(r.feeValue) / 10000 : static_cast<double>(r.feeValue);
    g[4] = {"手续费算法", MethodText(r.feeMethod), proportionalFee ? "手续费系数" : "每手手续费",
            FormatText("%g", fee)};
    g[5] = {"手续费收取方式", r.feeCollection == 1 ? "单边（建仓时）" : "双边征收", "", ""};
    g[6] = {"保证金算法", MethodText(r.marginMethod),
            proportionalMargin ? "保证金比例" : "每手保证金",
            FormatText(proportionalMargin ? "%g%%" : "%g", static_cast<double>(r.marginValue))};
    // The deferral row follows the margin method; a proportional rate travels as × 100000.
    const double deferral = proportionalMargin ? static_cast<double>(r.deferralValue) / 100000
                                               : static_cast<double>(r.deferralValue);
    g[7] = {"延期费算法", MethodText(r.marginMethod),
            proportionalMargin ? "延期费率" : "每手延期费", FormatText("%g", deferral)};
    return g;
}

std::vector<ChoiceEntry> TradableEntries(const std::vector<InstrumentRecord>& instruments) {
    std::vector<ChoiceEntry> entries;
    for (const InstrumentRecord& r : instruments)
        if (r.tradable == 1) entries.push_back({FieldToUtf8(r.name, sizeof r.name), r.id});
    return entries;
}

}  // namespace zq
