#include "server/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "server/data_link.h"
#include "server/log.h"
#include "server/market.h"
#include "server/push_link.h"
#include "server/random.h"
#include "server/request_link.h"

namespace zq::server {
namespace {

// How long a stopping server gives the push links to send their -1.
constexpr std::chrono::milliseconds kPushFarewellWait{2000};

}  // namespace

bool Server::Start(std::string* error) {
    if (started_) return true;
    std::unique_ptr<Store> store = Store::Open(options_.dbPath, error);
    if (!store) {
        if (error) *error = options_.dbPath + ": " + *error;
        return false;
    }
    if (options_.seed) {
        seed_ = *options_.seed;
    } else {
        SystemRandomBytes(&seed_, sizeof seed_);
    }
    state_ = std::make_unique<ServerState>(options_, std::move(store), seed_);
    // The market goes on from the prices of the last run.
    state_->market.Restore(LoadMarketPrices(*state_->store));
    // The sessions of the last run are open again, so that its clients go on with their keys.
    state_->sessions.Load(LoadStoredSessions(*state_->store));
    commands_ = BuildRequestCommands();
    auto closePorts = [this] {
        request_.Stop();
        push_.Stop();
        data_.Stop();
        control_.reset();
    };
    if (!request_.Open(options_.requestPort, error) || !push_.Open(options_.pushPort, error) ||
        !data_.Open(options_.dataPort, error)) {
        closePorts();
        return false;
    }
    if (options_.controlPort) {
        control_ = std::make_unique<ControlPort>(*state_);
        if (!control_->Open(*options_.controlPort, error)) {
            closePorts();
            return false;
        }
    }
    // Bars are built from the market's ticks and go out on the push links; a newer login of a
    // member logs the older session's push links out.
    PushHub& hub = state_->push;
    state_->bars.SetSink([&hub](const BarUpdate& u) { hub.OnBars(u); });
    state_->sessions.AddReplacedListener([&hub](const SessionInfo& s) { hub.ForceOffline(s.key); });
    if (!state_->bars.Start(seed_, error)) {
        closePorts();
        return false;
    }
    started_ = true;
    stopping_ = false;
    state_->market.Start(options_.marketStep);
    request_.Start([this](Socket s, std::string peer) {
        Launch(Link::Request, std::move(s), std::move(peer));
    });
    push_.Start(
        [this](Socket s, std::string peer) { Launch(Link::Push, std::move(s), std::move(peer)); });
    data_.Start(
        [this](Socket s, std::string peer) { Launch(Link::Data, std::move(s), std::move(peer)); });
    if (control_) control_->Start();
    LogLine("listening: request " + std::to_string(RequestPort()) + ", push " +
            std::to_string(PushPort()) + ", data " + std::to_string(DataPort()) +
            (control_ ? ", control " + std::to_string(ControlPortNumber()) : std::string()) +
            "; store " + options_.dbPath + "; version " + std::to_string(options_.versionNumber) +
            "; seed " + std::to_string(seed_) + "; " + std::to_string(state_->sessions.Size()) +
            " sessions open; market step " + std::to_string(options_.marketStep.count()) + " ms" +
            (options_.fixedCode.empty() ? "" : "; fixed code"));
    return true;
}

void Server::Launch(Link link, Socket socket, std::string peer) {
    // The tracked descriptor stays open until the thread is done with its own copy, so Stop()
    // never shuts down a descriptor number that was already reused.
    int tracked = ::dup(socket.Fd());
    if (tracked < 0) {
        LogLine("connection " + peer + ": " + std::strerror(errno) + ", closed");
        return;
    }
    std::uint64_t id;
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        if (stopping_ || connections_.size() >= static_cast<std::size_t>(kMaxConnections)) {
            ::close(tracked);
            LogLine("connection " + peer + ": too many connections, closed");
            return;
        }
        id = nextConnection_++;
        connections_.emplace(id, tracked);
    }
    auto finish = [this, id, tracked] {
        std::lock_guard<std::mutex> lock(connMutex_);
        connections_.erase(id);
        ::close(tracked);
        connDone_.notify_all();
    };
    try {
        std::thread([this, link, s = std::move(socket), p = std::move(peer), finish]() mutable {
            switch (link) {
                case Link::Request:
                    ServeRequestConnection(std::move(s), p, *state_, commands_);
                    break;
                case Link::Push:
                    ServePushConnection(std::move(s), p, *state_);
                    break;
                case Link::Data:
                    ServeDataConnection(std::move(s), p, *state_);
                    break;
            }
            finish();
        }).detach();
    } catch (...) {
        // No thread: the socket was not moved into one and closes here.
        LogLine("connection: cannot start a thread, closed");
        finish();
    }
}

void Server::Stop() {
    if (!started_) return;
    request_.Stop();
    push_.Stop();
    data_.Stop();
    if (control_) control_->Stop();
    // Every push link hears -1 before the connections are shut down.
    state_->push.CloseAll(kPushFarewellWait);
    std::unique_lock<std::mutex> lock(connMutex_);
    stopping_ = true;
    for (const auto& [id, fd] : connections_) ::shutdown(fd, SHUT_RDWR);
    connDone_.wait(lock, [this] { return connections_.empty(); });
    lock.unlock();
    state_->bars.Stop();
    state_->market.Stop();
    if (!SaveMarketPrices(*state_->store, state_->market)) LogLine("cannot save the market prices");
    started_ = false;
    LogLine("stopped");
}

bool Server::WritePortsFile(const std::string& path, std::string* error) const {
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) {
        if (error) *error = temp + ": " + std::strerror(errno);
        return false;
    }
    if (control_)
        std::fprintf(f, "%u %u %u %u\n", RequestPort(), PushPort(), DataPort(),
                     ControlPortNumber());
    else
        std::fprintf(f, "%u %u %u\n", RequestPort(), PushPort(), DataPort());
    bool ok = std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace zq::server
