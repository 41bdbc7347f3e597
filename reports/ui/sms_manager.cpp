#include "reports/ui/sms_manager.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "reports/message_store.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/ui/sort_list.h"

namespace zq {

CSmsManager::CSmsManager(const MessageStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
    setWindowTitle(QStringLiteral("消息管理器"));

    list_ = new CSortListCtrl(this);
    list_->SetColumns({QStringLiteral("时间"), QStringLiteral("消息内容")});
    list_->setColumnWidth(0, kTimeColumnWidth);
    list_->setColumnWidth(1, kTextColumnWidth);
    // The rows stay newest first: the headers do not sort here.
    list_->horizontalHeader()->setSectionsClickable(false);
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(kTimeColumnWidth + kTextColumnWidth + 24, 260);
    connect(list_, &QTableWidget::itemSelectionChanged, this, &CSmsManager::ShowSelectedText);

    // Plain text only: a message is shown as the server sent it, never as markup.
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setFixedHeight(110);

    close_ = new QPushButton(QStringLiteral("关闭"), this);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addWidget(text_);
    layout->addLayout(buttons);

    Fill();
    refillTimer_ = new QTimer(this);
    connect(refillTimer_, &QTimer::timeout, this, &CSmsManager::Fill);
    refillTimer_->start(kRefillMs);
}

void CSmsManager::Fill() {
    // Deleting the rows drops the selection; that must not empty the text field.
    filling_ = true;
    list_->clearSelection();
    list_->DeleteAllRows();
    rows_ = store_.CopyHeads(kCellTextBytes, firstSerial_);
    std::reverse(rows_.begin(), rows_.end());
    list_->FillInBatches(static_cast<int>(rows_.size()),
                         [this](int row) {
                             const MessageRecord& m = rows_[static_cast<std::size_t>(row)];
                             list_->SetCell(row, 0, Q(m.time));
                             list_->SetCell(row, 1, Q(m.content).left(kCellTextChars));
                         },
                         {kFirstFillRows, kFillBatchRows, false});
    list_->setCurrentItem(nullptr);
    filling_ = false;
}

int CSmsManager::FilledRows() const {
    return list_->FilledRows();
}

void CSmsManager::ShowSelectedText() {
    if (filling_) return;
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    const auto row = static_cast<std::size_t>(rows.front().row());
    if (row >= rows_.size()) return;
    // The whole text from the store; the head when the store has dropped the message since.
    const std::optional<std::string> whole = store_.Content(firstSerial_ + rows_.size() - 1 - row);
    text_->setPlainText(Q(whole ? *whole : rows_[row].content));
}

}  // namespace zq
