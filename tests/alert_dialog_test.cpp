// "价格预警设置" and "产品设置" against a scripted request port: what the dialogs show, the checks
// of a save in their order, the requests they send and what they do with the answers.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "app/ui/alert_setup.h"
#include "reports/alert_check.h"
#include "reports/ui/price_alert_dialog.h"
#include "tests/alert_fixtures.h"
#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AlertServer;
using test::Bytes;
using test::FakeUi;
using test::NamedInstrument;
using test::PriceAlert;

class PriceAlertDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_.SetInstruments({NamedInstrument(5, "上海金(T+0)", 2),
                               NamedInstrument(1, "伦敦金(T+0)", 2),
                               NamedInstrument(14, "欧元/美元", 4)});
        price_.Replace({PriceAlert(3, 1, 1, 1650.5), PriceAlert(8, 14, 2, 1.2)});
        server_.Answer(cmd::RemovePriceAlert, std::string(1, '\x01'));
        dialog_ = std::make_unique<CPriceAlter>(check_);
    }

    std::vector<QString> Rows() const {
        std::vector<QString> out;
        for (int r = 0; r < dialog_->List()->rowCount(); ++r)
            out.push_back(dialog_->List()->Cell(r, 0));
        return out;
    }
    void Choose(int productIndex, int conditionIndex, const QString& price) {
        dialog_->Products()->setCurrentIndex(productIndex);
        dialog_->Conditions()->setCurrentIndex(conditionIndex);
        dialog_->PriceEdit()->setText(price);
    }
    void SelectRow(int row) {
        dialog_->List()->clearSelection();
        dialog_->List()->selectRow(row);
    }

    FakeUi ui_;
    AlertServer server_;
    TradingModel model_;
    MessageStore messages_;
    AlertList<PriceAlertRecord> price_;
    AlertList<ProfitAlertRecord> profit_;
    AlertCheck check_{&model_, price_, profit_, messages_};
    std::unique_ptr<CPriceAlter> dialog_;
};

TEST_F(PriceAlertDialogTest, OpensRegisteredWithTheStoredAlertsAndNothingChosen) {
    EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("价格预警设置"));
    EXPECT_EQ(check_.PriceDialog(), dialog_->Handle());
    EXPECT_EQ(dialog_->List()->columnCount(), 1);
    EXPECT_EQ(dialog_->List()->horizontalHeaderItem(0)->text(), QStringLiteral("已有预警信息"));
    EXPECT_EQ(dialog_->List()->RowHeight(), 25);
    EXPECT_EQ(Rows(),
              (std::vector<QString>{QStringLiteral("产品【伦敦金(T+0)】价格>=1650.50时提醒"),
                                    QStringLiteral("产品【欧元/美元】价格<=1.2000时提醒")}));
    EXPECT_EQ(dialog_->List()->RowData(0), 3);
    EXPECT_EQ(dialog_->List()->RowData(1), 8);

    // The products in the instrument list's order, each with its id; the two conditions.
    QComboBox* products = dialog_->Products();
    ASSERT_EQ(products->count(), 3);
    EXPECT_EQ(products->itemText(0), QStringLiteral("上海金(T+0)"));
    EXPECT_EQ(products->itemData(1).toInt(), 1);
    EXPECT_EQ(products->itemData(2).toInt(), 14);
    ASSERT_EQ(dialog_->Conditions()->count(), 2);
    EXPECT_EQ(dialog_->Conditions()->itemText(0), QStringLiteral(">="));
    EXPECT_EQ(dialog_->Conditions()->itemData(1).toInt(), 2);
    EXPECT_EQ(products->currentIndex(), -1);
    EXPECT_EQ(dialog_->Conditions()->currentIndex(), -1);

    dialog_.reset();
    EXPECT_EQ(check_.PriceDialog(), nullptr);
}

TEST_F(PriceAlertDialogTest, SaveChecksProductConditionAndPriceInThatOrder) {
    dialog_->PriceEdit()->setText(QStringLiteral("abc"));
    dialog_->Save();
    dialog_->Conditions()->setCurrentIndex(0);
    dialog_->Save();  // a condition but still no product
    dialog_->Conditions()->setCurrentIndex(-1);
    dialog_->Products()->setCurrentIndex(1);
    dialog_->Save();
    EXPECT_EQ(ui_.BoxTexts(), (std::vector<std::string>{"请选择产品", "请选择产品", "请选择条件"}));

    ui_.Clear();
    for (const char* text : {"", "abc", "0", "-5", "0.000", "nan", "inf", "1e999", "  "}) {
        Choose(1, 0, QString::fromUtf8(text));
        dialog_->Save();
    }
    EXPECT_EQ(ui_.BoxTexts(), std::vector<std::string>(9, "请输入合适的价格"));
    EXPECT_EQ(server_.Connections(), 0);
    EXPECT_EQ(price_.Copy().size(), 2u);
}

TEST_F(PriceAlertDialogTest, ASavedAlertIsAppendedAndListedAndTheDialogStaysOpen) {
    PriceAlertRecord answered = PriceAlert(12, 5, 2, 380.25);
    server_.Answer(cmd::SavePriceAlert, Bytes(answered));
    Choose(0, 1, QStringLiteral("380.25"));
    dialog_->Save();
    const auto requests = server_.RequestsOf(cmd::SavePriceAlert);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload, Bytes(NewPriceAlert(5, 2, 380.25)));
    ASSERT_EQ(price_.Copy().size(), 3u);
    EXPECT_EQ(Bytes(price_.Copy()[2]), Bytes(answered));
    ASSERT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Rows()[2], QStringLiteral("产品【上海金(T+0)】价格<=380.25时提醒"));
    EXPECT_EQ(dialog_->result(), 0);
    EXPECT_TRUE(ui_.Boxes().empty());

    // A price with trailing text counts by its leading number.
    server_.Answer(cmd::SavePriceAlert, Bytes(PriceAlert(13, 14, 1, 1.5)));
    Choose(2, 0, QStringLiteral("1.5元"));
    dialog_->Save();
    EXPECT_EQ(server_.RequestsOf(cmd::SavePriceAlert).back().payload.size(), 40u);
    PriceAlertRecord sent{};
    std::memcpy(&sent, server_.RequestsOf(cmd::SavePriceAlert).back().payload.data(), sizeof sent);
    EXPECT_DOUBLE_EQ(sent.target, 1.5);
    EXPECT_EQ(price_.Copy().size(), 4u);
}

TEST_F(PriceAlertDialogTest, ARefusedSaveShowsItsMessageAndChangesNothing) {
    server_.Answer(cmd::SavePriceAlert, Bytes(PriceAlert(0, 5, 2, 380.25)));
    Choose(0, 1, QStringLiteral("380.25"));
    dialog_->Save();
    EXPECT_EQ(ui_.BoxTexts(), std::vector<std::string>{"保存信息失败，请修改后重试"});
    EXPECT_EQ(price_.Copy().size(), 2u);
    EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(PriceAlertDialogTest, DeleteActsOnTheFirstSelectedRowOnlyWhenTheServerRemovedIt) {
    dialog_->DeleteSelected();  // nothing selected
    EXPECT_EQ(server_.Connections(), 0);

    // Sorting the list moves the ids with the rows.
    dialog_->List()->HeaderClicked(0);
    const qint64 firstId = dialog_->List()->RowData(0);
    dialog_->List()->setSelectionMode(QAbstractItemView::MultiSelection);
    dialog_->List()->selectRow(1);
    dialog_->List()->selectRow(0);
    server_.Answer(cmd::RemovePriceAlert, std::string(1, '\0'));
    dialog_->DeleteSelected();
    auto requests = server_.RequestsOf(cmd::RemovePriceAlert);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload, Bytes(UserDeletion(static_cast<std::int32_t>(firstId))));
    EXPECT_EQ(price_.Copy().size(), 2u);  // refused: silent, unchanged
    EXPECT_EQ(Rows().size(), 2u);

    server_.Answer(cmd::RemovePriceAlert, std::string(1, '\x01'));
    SelectRow(0);
    dialog_->DeleteSelected();
    ASSERT_EQ(price_.Copy().size(), 1u);
    EXPECT_NE(price_.Copy()[0].id, firstId);
    EXPECT_EQ(Rows().size(), 1u);
    EXPECT_TRUE(ui_.Boxes().empty());
}

TEST_F(PriceAlertDialogTest, AFiredAlertNoticeRefillsTheList) {
    RemoveAlertById(price_, 3);
    EXPECT_EQ(Rows().size(), 2u);
    dialog_->HandleMessage(WM_PRICE_ALERTS_CHANGED, 0, 0);
    EXPECT_EQ(Rows(), std::vector<QString>{QStringLiteral("产品【欧元/美元】价格<=1.2000时提醒")});
}

class AlertSetupTest : public ::testing::Test {
  protected:
    FakeUi ui_;
    std::shared_ptr<KLineData> chart_ = std::make_shared<KLineData>();
    SignalFeed feed_{chart_};
};

TEST_F(AlertSetupTest, BoxesShowTheFlagsInTheirGroups) {
    SignalFlags flags{};
    flags[0] = 1;   // 伦敦金
    flags[13] = 1;  // 欧元/美元
    flags[40] = 1;  // 橡胶
    flags[1] = 2;   // 伦敦银: only 1 announces
    flags[2] = 1;   // 美元指数 has no box
    feed_.SetFlags(flags);
    AlertSetup dialog(feed_);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("产品设置"));
    int boxes = 0;
    for (int id = 1; id <= 50; ++id) {
        QCheckBox* box = dialog.Box(id);
        if (!box) continue;
        ++boxes;
        EXPECT_EQ(box->isChecked(), id == 1 || id == 14 || id == 41) << id;
    }
    EXPECT_EQ(boxes, 29);
    for (int id : {3, 13, 20, 28, 39, 42}) EXPECT_EQ(dialog.Box(id), nullptr) << id;
    EXPECT_EQ(dialog.Box(1)->text(), QStringLiteral("伦敦金"));
    EXPECT_EQ(dialog.Box(19)->text(), QStringLiteral("澳元/美元"));
    EXPECT_EQ(dialog.Box(33)->text(), QStringLiteral("PTA"));
    auto group = [](QCheckBox* b) { return qobject_cast<QGroupBox*>(b->parentWidget())->title(); };
    EXPECT_EQ(group(dialog.Box(1)), QStringLiteral("期货产品设置"));
    EXPECT_EQ(group(dialog.Box(41)), QStringLiteral("期货产品设置"));
    EXPECT_EQ(group(dialog.Box(7)), QStringLiteral("外汇产品设置"));
}

TEST_F(AlertSetupTest, SavingSendsTheBoxesAndClosesOnlyOnSuccess) {
    SignalFlags flags{};
    flags.fill(1);
    feed_.SetFlags(flags);
    AlertServer server;
    {
        server.Answer(cmd::SaveSignalFlags, std::string(1, '\0'));
        AlertSetup dialog(feed_);
        dialog.Box(2)->setChecked(false);
        dialog.SaveButton()->click();
        EXPECT_EQ(dialog.result(), 0);  // refused: open, silent, flags unchanged
        EXPECT_EQ(feed_.Flags(), flags);
        EXPECT_TRUE(ui_.Boxes().empty());
        // Every instrument without a box, and bytes 42 to 49, go as 0.
        SignalFlags wanted{};
        for (int id = 1; id <= 42; ++id)
            if (dialog.Box(id) && id != 2) wanted[static_cast<std::size_t>(id - 1)] = 1;
        ASSERT_EQ(server.RequestsOf(cmd::SaveSignalFlags).size(), 1u);
        EXPECT_EQ(server.RequestsOf(cmd::SaveSignalFlags)[0].payload,
                  std::string(wanted.begin(), wanted.end()));
    }
    server.Answer(cmd::SaveSignalFlags, std::string(1, '\x01'));
    AlertSetup dialog(feed_);
    for (int id = 1; id <= 50; ++id)
        if (QCheckBox* box = dialog.Box(id)) box->setChecked(false);
    dialog.SaveButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(server.RequestsOf(cmd::SaveSignalFlags).back().payload, std::string(50, '\0'));
    EXPECT_EQ(feed_.Flags(), SignalFlags{});
}

}  // namespace
}  // namespace zq
