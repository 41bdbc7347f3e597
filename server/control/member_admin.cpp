#include "server/control/member_admin.h"

#include <termios.h>
#include <unistd.h>

#include "net/wire/ansi_text.h"
#include "net/wire/login_records.h"

namespace zq::server {
namespace {

// What the login request carries of a name or password: 40 bytes of code page 936.
constexpr std::size_t kLoginTextBytes = sizeof(LoginRequest{}.memberName) - 1;

// Why the client could not send `text` as it stands; empty when it can.
std::string Unsendable(const std::string& text, const char* what) {
    if (text.empty()) return std::string(what) + " is empty";
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return std::string(what) + " has a control character";
    const std::string ansi = ToAnsi(text);
    if (FromAnsi(ansi) != text) return std::string(what) + " has characters outside code page 936";
    if (ansi.size() > kLoginTextBytes)
        return std::string(what) + " is longer than " + std::to_string(kLoginTextBytes) +
               " bytes of code page 936";
    return {};
}

}  // namespace

bool AddOperatorMember(Store& store, const std::string& name, const std::string& password,
                       std::string& message) {
    std::string why = Unsendable(name, "the name");
    if (why.empty()) why = Unsendable(password, "the password");
    if (why.empty() && password.size() < kMinMemberPassword)
        why = "the password is shorter than " + std::to_string(kMinMemberPassword) + " characters";
    if (why.empty() && store.FindMember(name)) why = "the member " + name + " exists already";
    if (!why.empty()) {
        message = why;
        return false;
    }
    Member m;
    m.name = name;
    if (!store.AddMember(m, password)) {
        message = "the store could not add the member " + name;
        return false;
    }
    message = "member " + name + " added";
    return true;
}

bool SetOperatorPassword(Store& store, const std::string& name, const std::string& password,
                         std::string& message) {
    std::string why = Unsendable(password, "the password");
    if (why.empty() && password.size() < kMinMemberPassword)
        why = "the password is shorter than " + std::to_string(kMinMemberPassword) + " characters";
    if (why.empty() && !store.FindMember(name)) why = "there is no member " + name;
    if (why.empty() && !store.SetPassword(name, password))
        why = "the store could not change the password of " + name;
    message = why.empty() ? "the password of " + name + " is changed" : why;
    return why.empty();
}

std::optional<std::string> ReadPasswordLine(std::FILE* in, const std::string& prompt) {
    const int fd = fileno(in);
    termios saved{};
    const bool terminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
    if (terminal) {
        std::fputs(prompt.c_str(), stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool any = false;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        any = true;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (terminal) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!any) return std::nullopt;
    return line;
}

}  // namespace zq::server
