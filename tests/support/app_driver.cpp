#include "tests/support/app_driver.h"

#include <arpa/inet.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "base/config.h"
#include "net/ui/dlg_login.h"
#include "net/wire/session.h"
#include "widgets/ui/control_name.h"

namespace zq::test {

namespace {
constexpr const char* kVariables[] = {"ZQ_REQUEST_PORT", "ZQ_PUSH_PORT", "ZQ_DATA_PORT",
                                      "ZQ_SERVER_HOST",  "ZQ_DATA_DIR",  "ZQ_WEB_BASE"};
}

ClientEnvironment::ClientEnvironment(const ServerProcess& server)
    : dataDir_(server.directory() + "/client") {
    ResetSession();
    Repoint(server);
}

void ClientEnvironment::Repoint(const ServerProcess& server) {
    ::setenv("ZQ_REQUEST_PORT", std::to_string(server.requestPort()).c_str(), 1);
    ::setenv("ZQ_PUSH_PORT", std::to_string(server.pushPort()).c_str(), 1);
    ::setenv("ZQ_DATA_PORT", std::to_string(server.dataPort()).c_str(), 1);
    ::setenv("ZQ_SERVER_HOST", "127.0.0.1", 1);
    ::setenv("ZQ_DATA_DIR", dataDir_.c_str(), 1);
    ::setenv("ZQ_WEB_BASE", "http://web.test", 1);
    ReloadConfig();
    Session().serverAddress = htonl(INADDR_LOOPBACK);
}

ClientEnvironment::~ClientEnvironment() {
    for (const char* v : kVariables) ::unsetenv(v);
    ReloadConfig();
    ResetSession();
}

DeliveringUi::DeliveringUi() {
    SetUi(this);
}

DeliveringUi::~DeliveringUi() {
    SetUi(nullptr);
}

std::vector<std::string> DeliveringUi::BoxTexts() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

int DeliveringUi::MessageBox(WindowHandle, const std::string& text, const std::string&,
                             MsgButtons buttons, MsgIcon) {
    std::lock_guard lock(mutex_);
    boxes_.push_back(text);
    return buttons == MsgButtons::YesNo ? IdYes : IdOk;
}

std::intptr_t DeliveringUi::Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                                 std::intptr_t lparam) {
    return windows_.Send(target, msg, wparam, lparam);
}

void DeliveringUi::Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
                        std::intptr_t lparam) {
    windows_.Post(target, msg, wparam, lparam);
}

bool DeliveringUi::IsWindow(WindowHandle target) {
    return windows_.IsWindow(target);
}

std::vector<int> DeliveringUi::Sounds() const {
    std::lock_guard lock(mutex_);
    return sounds_;
}

void DeliveringUi::PlaySound(int soundId, bool) {
    std::lock_guard lock(mutex_);
    sounds_.push_back(soundId);
}

std::vector<std::string> DeliveringUi::OpenedUrls() const {
    std::lock_guard lock(mutex_);
    return urls_;
}

bool DeliveringUi::OpenUrl(const std::string& url) {
    std::lock_guard lock(mutex_);
    urls_.push_back(url);
    return true;
}

void LogInWhenTheDialogShows(const std::string& name, const std::string& password,
                             const std::string& code) {
    QTimer::singleShot(100, [=] {
        auto* dialog = qobject_cast<CDlgLogin*>(QApplication::activeModalWidget());
        auto edit = [&](int id) { return FindControl<QLineEdit>(*dialog, id); };
        // Not yet: no dialog, or its image not there, or it still waits busy for an exchange
        // (looked at again later rather than waited for here, which would hold the dialog's
        // own wait below this one).
        if (!dialog || dialog->Image().key[0] == 0 || !edit(dlg_login::kMemberName)->isEnabled()) {
            LogInWhenTheDialogShows(name, password, code);
            return;
        }
        edit(dlg_login::kMemberName)->setText(QString::fromStdString(name));
        edit(dlg_login::kPassword)->setText(QString::fromStdString(password));
        edit(dlg_login::kCode)->setText(QString::fromStdString(code));
        dialog->findChild<QPushButton*>(QStringLiteral("ctl%1").arg(dlg_login::kLogin))->click();
    });
}

std::vector<std::vector<int>> RequestLines(const std::string& log) {
    std::vector<std::vector<int>> lines;
    std::istringstream in(log);
    std::string line;
    const std::regex code(R"((?:: |; )(\d+) )");
    while (std::getline(in, line)) {
        if (line.find(" request ") == std::string::npos) continue;
        std::vector<int> codes;
        for (std::sregex_iterator it(line.begin(), line.end(), code), end; it != end; ++it)
            codes.push_back(std::stoi((*it)[1]));
        lines.push_back(codes);
    }
    return lines;
}

}  // namespace zq::test
