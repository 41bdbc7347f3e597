#include "tests/support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/config.h"
#include "net/wire/session.h"

namespace zq::test {

ScriptServer::ScriptServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listenFd_, 16);
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptServer::~ScriptServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
}

void ScriptServer::Run() {
    int index = 0;
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Socket peer(fd);
        peer.SetReadTimeout(5000);
        connections_++;
        handler_(peer, index++);
        peer.ShutdownClose();
    }
}

void ScriptServer::UseAsRequestPort() const {
    ::setenv("ZQ_REQUEST_PORT", std::to_string(port_).c_str(), 1);
    ReloadConfig();
    Session().serverAddress = htonl(INADDR_LOOPBACK);
}

void ScriptServer::UseAsPushPort() const {
    ::setenv("ZQ_PUSH_PORT", std::to_string(port_).c_str(), 1);
    ReloadConfig();
}

bool ScriptServer::ReadHeader(Socket& peer, RequestHeader& header) {
    return ReceiveExact(peer, &header, sizeof header) == static_cast<int>(sizeof header);
}

}  // namespace zq::test
