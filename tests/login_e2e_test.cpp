// The real login dialog and start-up against the real stand-in server: every login result,
// the focus after each failure, the session values and the remembered member name.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <cstdlib>
#include <filesystem>

#include "app/client_core.h"
#include "app/settings_block.h"
#include "app/ui/app.h"
#include "app/ui/main_frame.h"
#include "base/config.h"
#include "net/ui/dlg_login.h"
#include "net/wire/ansi_text.h"
#include "net/wire/session.h"
#include "tests/support/app_driver.h"
#include "tests/support/fake_ui.h"
#include "tests/support/server_process.h"
#include "trading/model.h"
#include "widgets/ui/control_name.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ServerProcess;

constexpr const char* kCode = "AB12";

class LoginEndToEnd : public ::testing::Test {
  protected:
    void Use(ServerProcess& server) { env_ = std::make_unique<test::ClientEnvironment>(server); }
    void SetUp() override { ResetSession(); }
    void TearDown() override { env_.reset(); }
    static QLineEdit* Edit(QWidget& d, int id) { return FindControl<QLineEdit>(d, id); }
    static void Fill(QWidget& d, const QString& name, const QString& password,
                     const QString& code) {
        Edit(d, dlg_login::kMemberName)->setText(name);
        Edit(d, dlg_login::kPassword)->setText(password);
        Edit(d, dlg_login::kCode)->setText(code);
    }
    FakeUi ui_;
    std::unique_ptr<test::ClientEnvironment> env_;
};

TEST_F(LoginEndToEnd, EveryResultOfTheServerThroughTheDialog) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Running()) << server.Error();
    Use(server);

    struct Case {
        const char* name;
        const char* password;
        const char* code;
        const char* message;  // null for a successful login
        int focus;
    } cases[] = {
        {"demo", "wrong", kCode, "用户名或密码错误，请重新登录", dlg_login::kMemberName},
        {"nobody", "demo", kCode, "用户名或密码错误，请重新登录", dlg_login::kMemberName},
        {"frozen", "frozen", kCode, "用户状态异常，请联系客服", dlg_login::kMemberName},
        {"suspended", "suspended", kCode, "用户状态异常，请联系客服", dlg_login::kMemberName},
        {"closed", "closed", kCode, "用户状态异常，请联系客服", dlg_login::kMemberName},
        {"demo", "demo", "ZZ99", "验证码错误，请重新登录", dlg_login::kCode},
    };
    CDlgLogin d;
    d.show();
    d.OnFirstTick();
    ASSERT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();
    for (const Case& c : cases) {
        ui_.Clear();
        std::int32_t keyBefore = d.Image().key[0];
        Fill(d, QString::fromUtf8(c.name), QString::fromUtf8(c.password),
             QString::fromUtf8(c.code));
        Edit(d, dlg_login::kPassword)->setFocus();
        d.OnLogin();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u) << c.name;
        EXPECT_EQ(ui_.BoxTexts()[0], c.message) << c.name;
        EXPECT_EQ(d.focusWidget(), Edit(d, c.focus)) << c.name;
        EXPECT_NE(d.Image().key[0], keyBefore) << "each failure costs a new image";
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(Session().sessionKey[0], 0);
    }

    // Result 4 logs in like 1: the key of the image becomes the session key.
    ui_.Clear();
    Fill(d, "trader", "trader", QString::fromLatin1(kCode).toLower());
    std::int32_t key[4];
    std::memcpy(key, d.Image().key, sizeof key);
    d.OnLogin();
    EXPECT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(std::memcmp(Session().sessionKey, key, sizeof key), 0);
    EXPECT_EQ(Session().accountClass, 2);
    EXPECT_EQ(Session().programTrading.load(), 1);
    EXPECT_EQ(Session().memberName, "trader");
    EXPECT_EQ(StoredMemberName(ReadSettings()), "trader");
}

TEST_F(LoginEndToEnd, ReusedKeyReadsAsAWrongCodeAndChineseNamesLogIn) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Running()) << server.Error();
    Use(server);
    CDlgLogin d;
    d.OnFirstTick();
    std::int32_t used[4];
    std::memcpy(used, d.Image().key, sizeof used);
    Fill(d, "demo", "wrong", kCode);
    d.OnLogin();  // spends the key, then fetches a new image
    // Put the spent key back: the server refuses it although name, password and code are right.
    std::memcpy(d.PendingKeyForTest(), used, sizeof used);
    ui_.Clear();
    Fill(d, "demo", "demo", kCode);
    d.OnLogin();
    ASSERT_EQ(ui_.BoxTexts().size(), 1u);
    EXPECT_EQ(ui_.BoxTexts()[0], "验证码错误，请重新登录");
    EXPECT_EQ(Session().sessionKey[0], 0);

    ui_.Clear();
    Fill(d, QStringLiteral("张三"), "zhangsan", kCode);
    d.OnLogin();
    EXPECT_TRUE(ui_.BoxTexts().empty()) << ui_.BoxTexts().front();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(Session().memberName, "张三");
    EXPECT_EQ(StoredMemberName(ReadSettings()), "张三");
}

TEST_F(LoginEndToEnd, OlderServerVersionOffersTheUpdate) {
    ServerProcess server({"--fixed-code", kCode, "--version-number", "12123110"});
    ASSERT_TRUE(server.Running()) << server.Error();
    Use(server);
    ui_.SetBoxAnswer(IdYes);
    CDlgLogin d;
    d.show();
    d.OnFirstTick();
    ASSERT_EQ(ui_.BoxTexts().size(), 1u);
    EXPECT_EQ(ui_.BoxTexts()[0], "检测到软件更新，是否现在下载？");
    ASSERT_EQ(ui_.Urls().size(), 1u);
    EXPECT_EQ(ui_.Urls()[0].rfind("http://web.test/", 0), 0u);
    EXPECT_FALSE(d.isVisible());
}

void LogInWhenTheDialogShows(const char* name, const char* password) {
    test::LogInWhenTheDialogShows(name, password, kCode);
}

TEST_F(LoginEndToEnd, DemoLoginOpensTheMainFrame) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Running()) << server.Error();
    Use(server);
    LogInWhenTheDialogShows("demo", "demo");
    CTQDiraveApp app(QStringLiteral("zq-e2e-%1").arg(::getpid()));
    ASSERT_TRUE(app.InitInstance());
    ASSERT_NE(app.MainFrame(), nullptr);
    EXPECT_EQ(app.MainFrame()->windowTitle(),
              QStringLiteral("ZelvanQuorvex——提高操盘成功率 让投资更有道理"));
    EXPECT_TRUE(app.MainFrame()->isVisible());
    EXPECT_EQ(Session().memberName, "demo");
    EXPECT_EQ(Session().accountClass, 1);
    EXPECT_NE(Session().sessionKey[0] | Session().sessionKey[1], 0);

    // The start-up load filled the trading model from the demo member's account.
    TradingModel& model = *app.Model();
    std::vector<InstrumentRecord> instruments = model.Instruments();
    EXPECT_EQ(instruments.size(), 42u);
    EXPECT_EQ(FieldToUtf8(model.FindInstrument(1).name, sizeof instruments[0].name), "伦敦金(T+0)");
    EXPECT_FALSE(model.Positions().empty());
    EXPECT_FALSE(model.Summary().empty());
    EXPECT_FALSE(model.Orders().empty());
    AccountBlock account = model.Account();
    EXPECT_GT(account.equity, 0);
    EXPECT_NEAR(account.availableMargin, account.freeFunds + account.floatingProfit, 0.01);
    // Every instrument is listed, so every button and both instrument menus stay.
    int buttons = 0;
    for (QAction* a : app.MainFrame()->InstrumentBar()->actions()) buttons += !a->isSeparator();
    EXPECT_EQ(buttons, 33);
    EXPECT_FALSE(app.MainFrame()->Core().Messages().Copy().empty());
}

TEST_F(LoginEndToEnd, CancelEndsTheStartUp) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Running()) << server.Error();
    Use(server);
    QTimer::singleShot(200, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            FindControl<QPushButton>(*w, dlg_login::kCancel)->click();
    });
    CTQDiraveApp app(QStringLiteral("zq-e2e-cancel-%1").arg(::getpid()));
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.MainFrame(), nullptr);
}

}  // namespace
}  // namespace zq
