#include "trading/ui/program_setup.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "net/wire/session.h"
#include "trading/model.h"
#include "trading/trade_changes.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/control_name.h"

namespace zq {

CPeaSetup1::CPeaSetup1(TradingModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    setWindowTitle(QStringLiteral("程序化交易设置"));
    setFont(QFont(QStringLiteral("宋体"), 10));
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("启用/停用"), this);
    auto* inside = new QVBoxLayout(group);
    enabled_ = new QCheckBox(QStringLiteral("启用程序化交易"), group);
    enabled_->setObjectName(ControlName(kSwitch));
    enabled_->setChecked(Session().programTrading.load() == 1);
    inside->addWidget(enabled_);
    layout->addWidget(group);
    auto* hint =
        new QLabel(QStringLiteral("系统提示：启用程序化交易化后，银卡会员最大风险30%，金卡会员最大"
                                  "风险30%，钻卡会员最大风险为两者之和。"),
                   this);
    hint->setWordWrap(true);
    hint->setMaximumWidth(360);
    layout->addWidget(hint);
    auto* buttons = new QHBoxLayout;
    auto* save = new QPushButton(QStringLiteral("保存设置"), this);
    save->setObjectName(ControlName(kSave));
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(ControlName(kCancel));
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(save, &QPushButton::clicked, this, [this] { Save(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CPeaSetup1::Save() {
    const double available = model_.Account().availableMargin;
    if (auto refusal = ProgramTradingMarginRefusal(Session().accountClass, available)) {
        ShowMessage(Handle(), *refusal);
        return;
    }
    const WindowHandle owner = Handle();
    const bool enabled = enabled_->isChecked();
    bool saved = false;
    if (!RunBusy(this, [&, owner] { saved = SaveProgramTrading(owner, enabled); })) return;
    if (saved) accept();
}

}  // namespace zq
