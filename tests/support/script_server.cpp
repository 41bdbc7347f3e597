#include "tests/support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/config.h"
#include "net/wire/session.h"

namespace zq::test {

namespace {

// A socket listening on a free loopback port with a queue of `backlog`; `address` is its
// address.
int ListenOnLoopback(int backlog, sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, backlog);
    socklen_t len = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    return fd;
}

}  // namespace

ScriptServer::ScriptServer(Handler handler) : handler_(std::move(handler)) {
    sockaddr_in sa{};
    listenFd_ = ListenOnLoopback(16, sa);
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

void ScriptServer::UseAsDataPort() const {
    ::setenv("ZQ_DATA_PORT", std::to_string(port_).c_str(), 1);
    ReloadConfig();
}

void ScriptServer::UseAsWebBase() const {
    ::setenv("ZQ_WEB_BASE", ("http://127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    ReloadConfig();
}

bool ScriptServer::ReadHeader(Socket& peer, RequestHeader& header) {
    return ReceiveExact(peer, &header, sizeof header) == static_cast<int>(sizeof header);
}

void ScriptServer::Pipe(Socket& client, Socket& server, const std::function<bool()>& hold) {
    std::thread ask([&] {
        char b[4096];
        for (int n; (n = client.Recv(b, sizeof b)) > 0;)
            if (server.Send(b, static_cast<std::size_t>(n)) != n) break;
        server.Shutdown();
    });
    char b[4096];
    for (int n; (n = server.Recv(b, sizeof b)) > 0;)
        if ((hold && !hold()) || client.Send(b, static_cast<std::size_t>(n)) != n) break;
    client.Shutdown();
    ask.join();
}

// --- RequestRelay ---

Socket& RequestRelay::Exchange::Server() {
    if (!server_.Valid()) {
        server_ = Socket::Connect(htonl(INADDR_LOOPBACK), port_, 0);
        if (server_.Valid()) server_.SetReadTimeout(5000);
    }
    return server_;
}

bool RequestRelay::Exchange::SendOn() {
    Socket& s = Server();
    if (!s.Valid() || s.Send(&header, sizeof header) != static_cast<int>(sizeof header))
        return false;
    return payload.empty() ||
           s.Send(payload.data(), payload.size()) == static_cast<int>(payload.size());
}

std::optional<std::string> RequestRelay::Exchange::Ask(std::size_t bytes) {
    if (!SendOn()) return std::nullopt;
    std::string answer(bytes, '\0');
    if (bytes != 0 &&
        ReceiveExact(server_, answer.data(), static_cast<int>(bytes)) != static_cast<int>(bytes))
        return std::nullopt;
    return answer;
}

std::optional<std::string> RequestRelay::Exchange::AskList(std::size_t recordSize) {
    std::optional<std::string> list = Ask(4);
    if (!list) return std::nullopt;
    std::int32_t count = 0;
    std::memcpy(&count, list->data(), 4);
    if (count <= 0) return list;
    const std::size_t bytes = static_cast<std::size_t>(count) * recordSize;
    list->resize(4 + bytes);
    if (ReceiveExact(server_, list->data() + 4, static_cast<int>(bytes)) != static_cast<int>(bytes))
        return std::nullopt;
    return list;
}

RequestRelay::RequestRelay(std::uint16_t serverPort, std::map<std::int32_t, Command> commands)
    : serverPort_(serverPort),
      commands_(std::move(commands)),
      script_([this](Socket& client, int) { Serve(client); }) {}

int RequestRelay::Answered(std::int32_t command) const {
    std::lock_guard lock(mutex_);
    const auto it = answered_.find(command);
    return it == answered_.end() ? 0 : it->second;
}

RequestRelay::Command RequestRelay::PassList(std::size_t payloadBytes, std::size_t recordSize) {
    return {payloadBytes, [recordSize](Exchange& e) { return e.AskList(recordSize); }};
}

void RequestRelay::Serve(Socket& client) {
    Exchange e;
    e.port_ = serverPort_;
    while (ScriptServer::ReadHeader(client, e.header)) {
        const auto rule = commands_.find(e.header.command);
        if (rule == commands_.end()) {
            // From here on the connection passes through both ways.
            if (!e.SendOn()) return;
            ScriptServer::Pipe(client, e.server_);
            return;
        }
        e.payload.assign(rule->second.payloadBytes, '\0');
        if (!e.payload.empty() &&
            ReceiveExact(client, e.payload.data(), static_cast<int>(e.payload.size())) !=
                static_cast<int>(e.payload.size()))
            return;
        const std::optional<std::string> answer = rule->second.answer(e);
        {
            std::lock_guard lock(mutex_);
            ++answered_[e.header.command];
        }
        if (!answer ||
            client.Send(answer->data(), answer->size()) != static_cast<int>(answer->size()))
            return;
    }
}

// --- FullQueuePort ---

FullQueuePort::FullQueuePort() {
    sockaddr_in sa{};
    listenFd_ = ListenOnLoopback(0, sa);
    port_ = ntohs(sa.sin_port);
    // A queue of length 0 holds one connection; the rest of these wait as a client's would.
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        sockaddr_in local{};
        socklen_t localLen = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen);
        own_.push_back(fd);
        ownPorts_.push_back(ntohs(local.sin_port));
    }
}

FullQueuePort::~FullQueuePort() {
    for (int fd : own_) ::close(fd);
    ::close(listenFd_);
}

Socket FullQueuePort::TakeQueued(int waitMs) {
    for (;;) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return Socket();
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        Socket s(::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
        if (!s.Valid()) return Socket();
        if (std::find(ownPorts_.begin(), ownPorts_.end(), ntohs(peer.sin_port)) == ownPorts_.end())
            return s;
    }
}

void FullQueuePort::Admit() {
    for (int fd : own_) ::close(fd);
    own_.clear();
    for (Socket s = TakeQueued(0); s.Valid(); s = TakeQueued(0)) admitted_.push_back(std::move(s));
}

Socket FullQueuePort::Accept(int ms) {
    if (!admitted_.empty()) {
        Socket s = std::move(admitted_.front());
        admitted_.erase(admitted_.begin());
        return s;
    }
    return TakeQueued(ms);
}

}  // namespace zq::test
