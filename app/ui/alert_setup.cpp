#include "app/ui/alert_setup.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "market/instruments.h"
#include "widgets/ui/busy_operation.h"

namespace zq {
namespace {

// The boxes with their texts, by instrument id; the catalogue's menu puts each into its group.
struct SetupBox {
    int instrument;
    const char* text;
};
constexpr SetupBox kBoxes[] = {
    {1, "伦敦金"},     {2, "伦敦银"},     {4, "天通银"},     {5, "上海金"},     {6, "上海银"},
    {7, "欧元/日元"},  {8, "英镑/瑞郎"},  {9, "欧元/英镑"},  {10, "澳元/瑞郎"}, {11, "加元/日元"},
    {12, "澳元/加元"}, {14, "欧元/美元"}, {15, "美元/日元"}, {16, "美元/瑞郎"}, {17, "英镑/美元"},
    {18, "美元/加元"}, {19, "澳元/美元"}, {29, "沪金"},      {30, "沪银"},      {31, "股指"},
    {32, "螺纹"},      {33, "PTA"},       {34, "塑料"},      {35, "豆粕"},      {36, "白糖"},
    {37, "棕榈"},      {38, "玉米"},      {40, "沪铜"},      {41, "橡胶"}};

constexpr int kBoxesPerRow = 4;

}  // namespace

AlertSetup::AlertSetup(SignalFeed& feed, QWidget* parent) : QDialog(parent), feed_(feed) {
    setWindowTitle(QStringLiteral("产品设置"));
    setFont(QFont(QStringLiteral("宋体"), 10));
    auto* layout = new QVBoxLayout(this);
    auto* futures = new QGroupBox(QStringLiteral("期货产品设置"), this);
    auto* forex = new QGroupBox(QStringLiteral("外汇产品设置"), this);
    auto* futuresGrid = new QGridLayout(futures);
    auto* forexGrid = new QGridLayout(forex);
    int futuresCount = 0;
    int forexCount = 0;
    const SignalFlags flags = feed_.Flags();
    for (const SetupBox& b : kBoxes) {
        const InstrumentInfo* info = FindInstrumentInfo(b.instrument);
        const bool isForex = info && info->menu == InstrumentMenu::Forex;
        QGroupBox* group = isForex ? forex : futures;
        int& count = isForex ? forexCount : futuresCount;
        auto* box = new QCheckBox(QString::fromUtf8(b.text), group);
        box->setChecked(SignalAnnounced(flags, b.instrument));
        (isForex ? forexGrid : futuresGrid)
            ->addWidget(box, count / kBoxesPerRow, count % kBoxesPerRow);
        ++count;
        boxes_.insert(b.instrument, box);
    }
    layout->addWidget(futures);
    layout->addWidget(forex);

    auto* buttons = new QHBoxLayout;
    save_ = new QPushButton(QStringLiteral("保存设置"), this);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    buttons->addStretch(1);
    buttons->addWidget(save_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(save_, &QPushButton::clicked, this, [this] { Save(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

SignalFlags AlertSetup::CheckedFlags() const {
    SignalFlags flags{};
    for (auto it = boxes_.begin(); it != boxes_.end(); ++it)
        flags[static_cast<std::size_t>(it.key() - 1)] = it.value()->isChecked() ? 1 : 0;
    return flags;
}

void AlertSetup::Save() {
    // On success the feed's flags take the saved bytes.
    const WindowHandle owner = Handle();
    const SignalFlags flags = CheckedFlags();
    bool saved = false;
    if (!RunBusy(this, [&, owner] { saved = feed_.SaveFlags(owner, flags); })) return;
    if (saved) accept();
}

}  // namespace zq
