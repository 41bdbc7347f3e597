// The login dialog against scripted servers: the version offer, the verification image, the
// local checks and every way the exchange can fail.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/ui_bridge.h"
#include "net/ui/dlg_login.h"
#include "net/wire/ansi_text.h"
#include "net/wire/login_records.h"
#include "net/wire/session.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "widgets/ui/control_name.h"

namespace zq {
namespace {

using test::FakeUi;
using test::ScriptServer;

// Stand-in server whose answers the test scripts per command.
struct Script {
    std::int32_t version = ProgramVersion;
    // How much of the image and key to send before closing; changed by the test between
    // dialogs while the server's thread may still be reading them.
    std::atomic<int> imageBytes{kVerifyImageBytes};
    std::atomic<int> keyBytes{kVerifyKeyBytes};
    std::int32_t key[4] = {101, 202, 303, 404};
    std::int32_t loginResult = 1;
    int replyBytes = 32;
    std::mutex mutex;
    std::vector<std::int32_t> commands;
    std::vector<LoginRequest> logins;
    std::vector<RequestHeader> headers;
};

void Serve(Script& sc, Socket& peer) {
    RequestHeader h;
    while (ScriptServer::ReadHeader(peer, h)) {
        {
            std::lock_guard<std::mutex> lock(sc.mutex);
            sc.commands.push_back(h.command);
            sc.headers.push_back(h);
        }
        if (h.command == cmd::VersionCheck) {
            peer.Send(&sc.version, 4);
        } else if (h.command == cmd::VerificationImage) {
            std::vector<std::uint8_t> pixels(kVerifyImageBytes, 0x80);
            peer.Send(pixels.data(), sc.imageBytes);
            if (sc.imageBytes < kVerifyImageBytes) return;
            peer.Send(sc.key, sc.keyBytes);
            if (sc.keyBytes < kVerifyKeyBytes) return;
        } else if (h.command == cmd::Login) {
            LoginRequest r;
            if (ReceiveExact(peer, &r, sizeof r) != static_cast<int>(sizeof r)) return;
            {
                std::lock_guard<std::mutex> lock(sc.mutex);
                sc.logins.push_back(r);
            }
            LoginReply reply{};
            reply.result = sc.loginResult;
            reply.accountClass = 4;
            reply.programTrading = 1;
            peer.Send(&reply, sc.replyBytes);
            return;
        } else {
            return;
        }
    }
}

class LoginDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dataDir_ = std::string("/tmp/zq-login-test-") + std::to_string(::getpid());
        ::setenv("ZQ_DATA_DIR", dataDir_.c_str(), 1);
        ::setenv("ZQ_WEB_BASE", "http://web.test", 1);
        ResetSession();
        server_ = std::make_unique<ScriptServer>([this](Socket& p, int) { Serve(script_, p); });
        server_->UseAsRequestPort();
    }
    void TearDown() override {
        server_.reset();
        std::string cmd = "rm -rf " + dataDir_;
        (void)std::system(cmd.c_str());
        ::unsetenv("ZQ_DATA_DIR");
        ::unsetenv("ZQ_WEB_BASE");
        ReloadConfig();
        ResetSession();
    }
    std::vector<std::int32_t> Commands() {
        std::lock_guard<std::mutex> lock(script_.mutex);
        return script_.commands;
    }
    static QLineEdit* Edit(CDlgLogin& d, int id) { return FindControl<QLineEdit>(d, id); }
    static void Fill(CDlgLogin& d, const QString& name, const QString& password,
                     const QString& code) {
        Edit(d, dlg_login::kMemberName)->setText(name);
        Edit(d, dlg_login::kPassword)->setText(password);
        Edit(d, dlg_login::kCode)->setText(code);
    }

    std::string dataDir_;
    Script script_;
    FakeUi ui_;
    std::unique_ptr<ScriptServer> server_;
};

TEST_F(LoginDialogTest, StartChecksVersionThenFetchesImage) {
    CDlgLogin d;
    EXPECT_EQ(d.windowTitle(), QStringLiteral("登录到ZelvanQuorvex"));
    d.OnFirstTick();
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{7, 5}));
    EXPECT_TRUE(ui_.BoxTexts().empty());
    EXPECT_EQ(d.Image().key[0], 101);
    EXPECT_EQ(d.Image().key[3], 404);
    // The version check goes out with the pre-session header: 24 at offset 10.
    std::uint16_t word10;
    std::memcpy(&word10, reinterpret_cast<const char*>(&script_.headers[0]) + 10, 2);
    EXPECT_EQ(word10, 24);
}

TEST_F(LoginDialogTest, AnyOtherServerVersionOffersTheUpdate) {
    for (std::int32_t version : {ProgramVersion + 1, ProgramVersion - 1}) {
        script_.version = version;
        ui_.Clear();
        ui_.SetBoxAnswer(IdNo);
        CDlgLogin d;
        d.OnFirstTick();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u) << version;
        EXPECT_EQ(ui_.BoxTexts()[0], "检测到软件更新，是否现在下载？");
        EXPECT_EQ(ui_.Boxes().back().buttons, MsgButtons::YesNo);
        EXPECT_TRUE(ui_.Urls().empty());
        EXPECT_EQ(Commands().back(), cmd::VerificationImage);  // No goes on to the image
    }
    // Yes opens the installer page and closes the dialog with Cancel, without an image.
    ui_.SetBoxAnswer(IdYes);
    std::size_t before = Commands().size();
    CDlgLogin d;
    d.show();
    d.OnFirstTick();
    ASSERT_EQ(ui_.Urls().size(), 1u);
    EXPECT_EQ(ui_.Urls()[0], std::string("http://web.test") + kInstallerPagePath);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Commands().size(), before + 1);
}

TEST_F(LoginDialogTest, ImageFailuresShowTheirMessagesAndKeepTheDialog) {
    struct Case {
        int imageBytes, keyBytes;
        const char* message;
    } cases[] = {{100, 16, "内容传输失败，操作已取消"},
                 {kVerifyImageBytes, 7, "内容传输失败，操作已取消"},
                 {0, 0, "内容传输失败，操作已取消"}};
    for (const Case& c : cases) {
        script_.imageBytes = c.imageBytes;
        script_.keyBytes = c.keyBytes;
        ui_.Clear();
        CDlgLogin d;
        d.show();
        d.FetchImage();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u);
        EXPECT_EQ(ui_.BoxTexts()[0], c.message);
        EXPECT_EQ(ui_.Boxes()[0].caption, "ZelvanQuorvex");
        EXPECT_TRUE(d.isVisible());
    }
    // No server at all: the connect message; the version check stays silent.
    server_.reset();
    ui_.Clear();
    CDlgLogin d;
    d.OnFirstTick();
    ASSERT_EQ(ui_.BoxTexts().size(), 1u);
    EXPECT_EQ(ui_.BoxTexts()[0], "无法连接服务器，操作已取消");
}

TEST_F(LoginDialogTest, EmptyFieldsAreRefusedLocally) {
    CDlgLogin d;
    d.OnFirstTick();
    Fill(d, "", "pw", "AB12");
    d.OnLogin();
    EXPECT_EQ(ui_.BoxTexts().back(), "请填写会员名");
    EXPECT_EQ(ui_.Boxes().back().icon, MsgIcon::Information);
    EXPECT_EQ(d.focusWidget(), Edit(d, dlg_login::kMemberName));
    Fill(d, "demo", "", "AB12");
    d.OnLogin();
    EXPECT_EQ(ui_.BoxTexts().back(), "请填写密码");
    EXPECT_EQ(d.focusWidget(), Edit(d, dlg_login::kPassword));
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{7, 5}));
}

TEST_F(LoginDialogTest, CodeMustBeFourBytesInTheCodePage) {
    CDlgLogin d;
    d.OnFirstTick();
    for (const char* bad : {"", "abc", "中文字", "a中"}) {
        ui_.Clear();
        std::size_t before = Commands().size();
        Fill(d, "demo", "demo", QString::fromUtf8(bad));
        d.OnLogin();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u) << bad;
        EXPECT_EQ(ui_.BoxTexts()[0], "请填写正确的验证码");
        EXPECT_EQ(ui_.Boxes().back().icon, MsgIcon::Information);
        // A new image, and no login request.
        EXPECT_EQ(Commands().size(), before + 1);
        EXPECT_EQ(Commands().back(), cmd::VerificationImage);
        EXPECT_EQ(d.focusWidget(), Edit(d, dlg_login::kCode));
        // Selected: the next code typed replaces it.
        EXPECT_EQ(Edit(d, dlg_login::kCode)->selectedText(), QString::fromUtf8(bad));
    }
    EXPECT_TRUE(script_.logins.empty());

    // Two Chinese characters are four bytes and go out; refused by the server, they stay
    // selected in the focused field.
    script_.loginResult = -2;
    Fill(d, "demo", "demo", QStringLiteral("中文"));
    Edit(d, dlg_login::kPassword)->setFocus();
    d.OnLogin();
    ASSERT_EQ(script_.logins.size(), 1u);
    EXPECT_EQ(std::memcmp(script_.logins[0].verifyCode, "\xd6\xd0\xce\xc4\0", 5), 0);
    EXPECT_EQ(ui_.BoxTexts().back(), "验证码错误，请重新登录");
    EXPECT_EQ(d.focusWidget(), Edit(d, dlg_login::kCode));
    EXPECT_EQ(Edit(d, dlg_login::kCode)->selectedText(), QStringLiteral("中文"));
}

TEST_F(LoginDialogTest, RequestCarriesTheImageKeyAndConstants) {
    script_.loginResult = 0;
    CDlgLogin d;
    d.OnFirstTick();
    Fill(d, QStringLiteral("张三"), "pw", "Ab12");
    d.OnLogin();
    ASSERT_EQ(script_.logins.size(), 1u);
    const LoginRequest& r = script_.logins[0];
    EXPECT_EQ(std::string(r.memberName), ToAnsi("张三"));
    EXPECT_STREQ(r.password, "pw");
    EXPECT_EQ(r.one, 1);
    EXPECT_EQ(r.zero, 0);
    EXPECT_EQ(r.key[0], 101);
    EXPECT_EQ(r.key[3], 404);
    // The login header is zero but for the command in a fresh process.
    const RequestHeader& h = script_.headers[2];
    EXPECT_EQ(h.command, 6);
    EXPECT_EQ(h.key[0] | h.key[1] | h.key[2] | h.key[3] | h.accountClass, 0);
}

TEST_F(LoginDialogTest, ShortReplyIsALoginFailure) {
    script_.replyBytes = 20;
    CDlgLogin d;
    d.show();
    d.OnFirstTick();
    Fill(d, "demo", "demo", "AB12");
    d.OnLogin();
    EXPECT_EQ(ui_.BoxTexts().back(), "登录请求失败，操作已取消");
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(Session().sessionKey[0], 0);
}

TEST_F(LoginDialogTest, UnknownResultsKeepFocusAndFetchANewImage) {
    CDlgLogin d;
    d.OnFirstTick();
    for (std::int32_t code : {5, 6, 7, 8, -1}) {
        script_.loginResult = code;
        ui_.Clear();
        Fill(d, "demo", "demo", "AB12");
        Edit(d, dlg_login::kPassword)->setFocus();
        std::size_t before = Commands().size();
        d.OnLogin();
        ASSERT_EQ(ui_.BoxTexts().size(), 1u);
        EXPECT_EQ(ui_.BoxTexts()[0], "未知错误，请重新登录");
        EXPECT_EQ(d.focusWidget(), Edit(d, dlg_login::kPassword)) << code;
        EXPECT_EQ(Commands().size(), before + 2);  // the login, then a new image
        EXPECT_EQ(Commands().back(), cmd::VerificationImage);
    }
}

}  // namespace
}  // namespace zq
