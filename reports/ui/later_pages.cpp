#include "reports/ui/later_pages.h"

namespace zq {

CSPage4::CSPage4(TradingModel& model, QWidget* parent)
    : CPlaceholderTab(QStringLiteral("成交查询：将在此按日期列出成交记录"), parent),
      model_(model) {}

CSPage7::CSPage7(TradingModel& model, QWidget* parent)
    : CPlaceholderTab(QStringLiteral("资金曲线：将在此显示账户的资金曲线"), parent),
      model_(model) {}

CSpage5::CSpage5(TradingModel& model, QWidget* parent)
    : CPlaceholderTab(QStringLiteral("账户信息：将在此列出账户的各项资金"), parent),
      model_(model) {}

CSPage6::CSPage6(TradingModel& model, QWidget* parent)
    : CPlaceholderTab(QStringLiteral("商品信息：将在此列出各商品的交易规则"), parent),
      model_(model) {}

}  // namespace zq
