// Price alerts with the whole program against the stand-in server: an alert set in "到价提醒"
// fires when the server's market reaches it, with its message and the alert sound, leaves the
// server and the open dialog's list; an alert deleted from the dialog's list leaves both too.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <functional>

#include "app/client_core.h"
#include "app/ui/app.h"
#include "app/ui/child_view.h"
#include "app/ui/main_frame.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "reports/alert_check.h"
#include "reports/ui/price_alert_dialog.h"
#include "tests/support/client_e2e.h"
#include "trading/model.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::ServerProcess;
using test::ServeUntil;
using test::WhenDialogShows;

std::vector<QString> Rows(CPriceAlter& d) {
    std::vector<QString> out;
    for (int r = 0; r < d.List()->rowCount(); ++r) out.push_back(d.List()->Cell(r, 0));
    return out;
}

bool Listed(const std::vector<PriceAlertRecord>& alerts, std::int32_t id) {
    return std::any_of(alerts.begin(), alerts.end(),
                       [id](const PriceAlertRecord& a) { return a.id == id; });
}

class AlertEndToEnd : public test::ClientEndToEnd {
  protected:
    // The price alerts the server holds for the member now (command 8 on a connection of the
    // test's own, with the client's session).
    std::vector<PriceAlertRecord> ServerAlerts() {
        Socket s = ConnectRequestPort();
        AlertList<PriceAlertRecord> list;
        EXPECT_TRUE(LoadPriceAlerts(s, list));
        s.ShutdownClose();
        return list.Copy();
    }
    std::string GoldName() {
        const InstrumentRecord gold = model_->FindInstrument(1);
        return FieldToUtf8(gold.name, sizeof gold.name);
    }
    bool MessagePosted(const std::string& text) {
        for (const MessageRecord& m : frame_->Core().Messages().Copy())
            if (m.content == text) return true;
        return false;
    }
};

TEST_F(AlertEndToEnd, AnAlertSetInTheDialogFiresWhenTheMarketReachesIt) {
    const double last = model_->FindInstrument(1).last;
    char target[32], below[32];
    std::snprintf(target, sizeof target, "%.2f", std::floor(last) - 5);
    std::snprintf(below, sizeof below, "%.2f", std::floor(last) - 6);
    const std::string message = "产品" + GoldName() + "价格预警：<=" + target + "已到达";
    const QString row =
        QStringLiteral("产品【%1】价格<=%2时提醒").arg(Q(GoldName()), QString::fromLatin1(target));

    bool seen = false;
    std::int32_t id = 0;
    WhenDialogShows<CPriceAlter>(
        [&](CPriceAlter& d) {
            EXPECT_EQ(frame_->Core().Alerts().PriceDialog(), d.Handle());
            d.Products()->setCurrentIndex(d.Products()->findData(1));
            d.Conditions()->setCurrentIndex(d.Conditions()->findData(2));
            d.PriceEdit()->setText(QString::fromLatin1(target));
            d.SaveButton()->click();
            ASSERT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();
            const std::vector<QString> rows = Rows(d);
            ASSERT_NE(std::find(rows.begin(), rows.end(), row), rows.end());
            id = frame_->Core().PriceAlerts().Copy().back().id;
            EXPECT_GT(id, 0);
            EXPECT_TRUE(Listed(ServerAlerts(), id));
            EXPECT_FALSE(MessagePosted(message));  // the market is above it

            ASSERT_EQ(Control(std::string("price 1 ") + below).rfind("ok", 0), 0u);
            // The worker's notice refills the open dialog.
            EXPECT_TRUE(ServeUntil([&] {
                const std::vector<QString> now = Rows(d);
                return MessagePosted(message) &&
                       std::find(now.begin(), now.end(), row) == now.end();
            }));
        },
        &seen);
    frame_->OnCommand(cmdid::PriceAlerts);
    ASSERT_TRUE(seen);
    EXPECT_EQ(frame_->Core().Alerts().PriceDialog(), nullptr);  // closed, unregistered

    EXPECT_TRUE(ServeUntil([&] {
        const std::vector<int> sounds = ui_.Sounds();
        return std::find(sounds.begin(), sounds.end(), sound::Alert) != sounds.end();
    }));
    EXPECT_FALSE(Listed(frame_->Core().PriceAlerts().Copy(), id));
    EXPECT_FALSE(Listed(ServerAlerts(), id));
    // Fired once: the next quotes below the target find nothing left to fire.
    std::size_t fired = 0;
    for (const MessageRecord& m : frame_->Core().Messages().Copy()) fired += m.content == message;
    EXPECT_EQ(fired, 1u);
}

TEST_F(AlertEndToEnd, AnAlertDeletedFromTheListLeavesTheServer) {
    const std::vector<PriceAlertRecord> before = frame_->Core().PriceAlerts().Copy();
    ASSERT_FALSE(before.empty());  // the demo member's alerts
    const PriceAlertRecord gone = before.front();
    bool seen = false;
    WhenDialogShows<CPriceAlter>(
        [&](CPriceAlter& d) {
            ASSERT_EQ(d.List()->rowCount(), static_cast<int>(before.size()));
            int row = -1;
            for (int r = 0; r < d.List()->rowCount(); ++r)
                if (d.List()->RowData(r) == gone.id) row = r;
            ASSERT_GE(row, 0);
            d.List()->selectRow(row);
            d.DeleteSelected();
            EXPECT_EQ(d.List()->rowCount(), static_cast<int>(before.size()) - 1);
            for (int r = 0; r < d.List()->rowCount(); ++r) EXPECT_NE(d.List()->RowData(r), gone.id);
        },
        &seen);
    frame_->OnCommand(cmdid::PriceAlerts);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(ui_.BoxTexts().empty());
    EXPECT_FALSE(Listed(frame_->Core().PriceAlerts().Copy(), gone.id));
    const std::vector<PriceAlertRecord> left = ServerAlerts();
    EXPECT_FALSE(Listed(left, gone.id));
    EXPECT_EQ(left.size(), before.size() - 1);
}

}  // namespace
}  // namespace zq
