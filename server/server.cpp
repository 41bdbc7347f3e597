#include "server/server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/atomic_file.h"
#include "server/links/data_link.h"
#include "server/links/fan_out.h"
#include "server/links/push_connection.h"
#include "server/links/request_link.h"
#include "server/market/market.h"
#include "server/store/log.h"
#include "server/store/random.h"

namespace zq::server {
namespace {

// How long a stopping server gives the push links to send their -1.
constexpr std::chrono::milliseconds kPushFarewellWait{2000};

}  // namespace

bool Server::Start(std::string* error) {
    if (started_) return true;
    RaiseDescriptorLimit();
    std::unique_ptr<Store> store = Store::Open(options_.dbPath, error, options_.demoMembers);
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
    state_->sessions.SetIdleLimit(options_.sessionIdle);
    state_->sessions.Load(LoadStoredSessions(*state_->store));
    commands_ = BuildRequestCommands();
    auto closePorts = [this] {
        request_.Stop();
        push_.Stop();
        data_.Stop();
        control_.reset();
        web_.Stop();
    };
    using Reach = Listener::Reach;
    if (!request_.Open(Reach::AllAddresses, options_.requestPort, error) ||
        !push_.Open(Reach::AllAddresses, options_.pushPort, error) ||
        !data_.Open(Reach::AllAddresses, options_.dataPort, error)) {
        closePorts();
        return false;
    }
    if (options_.controlPort) {
        const std::optional<std::string> secret =
            LoadControlSecret(ControlSecretPath(options_), error);
        if (!secret) {
            closePorts();
            return false;
        }
        control_ = std::make_unique<ControlPort>(*state_, *secret);
        if (!control_->Open(*options_.controlPort, error)) {
            closePorts();
            return false;
        }
    }
    if (options_.webPort != 0 && !web_.Start(*state_, options_.webPort, error)) {
        closePorts();
        return false;
    }
    // The engine hears every price before the bars pass it to the push links; it queues the
    // prices of the market's clock and executes them on its own thread, so a tick never waits on
    // orders. Closed markets stand still; settlements of accounts on access tell the engine.
    ServerState* st = state_.get();
    st->market.SetMoving(
        [st](std::int32_t id) { return st->hours.IsOpen(id, st->accounts.Now()); });
    // Prices go out on the push links without waiting for the store: the engine keeps each
    // price it executes in the same commit as the trades it sets off, so a crash resumes from an
    // executed price and never fills a stop at a price that was not kept.
    st->engine.SetPriceKeeping(true);
    st->accounts.SetSettledListener([st](std::int64_t member) { st->engine.Reload(member); });
    st->engine.Start();
    // Bars are built from the market's ticks and go out on the push links; a newer login of a
    // member logs the older session's push links out.
    PushFeed& feed = state_->push;
    state_->bars.SetSink([&feed](const BarUpdate& u) { feed.OnBars(u); });
    // A step's live records go to each link together, at the step's end.
    state_->market.SetStepHooks([&feed] { feed.BeginStep(); }, [&feed] { feed.EndStep(); });
    state_->sessions.AddReplacedListener(
        [&feed](const SessionInfo& s) { feed.ForceOffline(s.key); });
    if (!state_->bars.Start(seed_, error)) {
        state_->engine.Stop();
        closePorts();
        return false;
    }
    // Programmatic orders are placed before a signal reaches the links: a client whose flag is
    // on reloads its orders when it sees the signal.
    state_->signals.SetSink([st, &feed](const SignalRecord& s) {
        st->engine.FollowSignal(s);
        feed.SendSignal(s);
    });
    state_->signals.Start(options_.autoSignals);
    started_ = true;
    connections_.Open();
    loop_.Start();
    // The market's thread hands each step out to its share of the push links, with the fan-out's.
    state_->market.Start(options_.marketStep, [] {
        const std::string realTime =
            "real-time priority " + std::to_string(kMarketThreadRealTime) + " (LimitRTPRIO)";
        const std::string nice = "nice " + std::to_string(kMarketThreadNice) + " (LimitNICE)";
        switch (BecomeMarketThread("zq-market")) {
            case MarketPriority::RealTime:
                break;
            case MarketPriority::Nice:
                LogLine("the market's threads run at " + nice + ": " + realTime +
                        " is not allowed");
                break;
            case MarketPriority::Default:
                LogLine("the market's threads run at the default priority: neither " + realTime +
                        " nor " + nice + " is allowed");
                break;
        }
    });
    request_.Start(loop_, connections_, [this](Accepted link) {
        return ServeRequestConnection(std::move(link), *state_, commands_, loop_);
    });
    push_.Start(loop_, connections_, [this](Accepted link) {
        return ServePushConnection(std::move(link), *state_, loop_);
    });
    data_.Start(loop_, connections_, [this](Accepted link) {
        return ServeDataConnection(std::move(link), *state_, loop_);
    });
    if (control_) control_->Start(loop_);
    sweepStop_ = false;
    sweeper_ = std::thread([this] { SweepSessions(); });
    // A store that had the demo members before (or was started with them once) keeps them:
    // without --demo-members their well-known passwords are worth a warning at every start.
    if (!options_.demoMembers)
        for (const std::string& name : state_->store->MembersWithDemoPasswords())
            LogLine("warning: member \"" + name +
                    "\" still has its demo password: change it with \"zq-server --db " +
                    options_.dbPath + " --set-password " + name + "\" or remove the member");
    if (state_->store->Members().empty())
        LogLine("the store has no members: add one with \"zq-server --db " + options_.dbPath +
                " --add-member NAME\" (the password is read from standard input)");
    LogLine("listening: request " + std::to_string(RequestPort()) + ", push " +
            std::to_string(PushPort()) + ", data " + std::to_string(DataPort()) +
            (control_ ? ", control " + std::to_string(ControlPortNumber()) + " (secret in " +
                            ControlSecretPath(options_) + ")"
                      : std::string()) +
            (WebPort() ? ", web " + std::to_string(WebPort()) : std::string()) + "; store " +
            options_.dbPath + "; version " + std::to_string(options_.versionNumber) + "; seed " +
            std::to_string(seed_) + "; " + std::to_string(state_->sessions.Size()) +
            " sessions open; market step " + std::to_string(options_.marketStep.count()) + " ms" +
            (options_.autoSignals ? "" : "; no automatic signals") + "; trading hours " +
            HoursModeName(options_.tradingHours) +
            (options_.fixedCode.empty() ? "" : "; fixed code"));
    return true;
}

void Server::Stop() {
    if (!started_) return;
    request_.Stop();
    push_.Stop();
    data_.Stop();
    if (control_) control_->Stop();
    web_.Stop();
    // Every push link hears -1 before the connections are shut down.
    state_->push.CloseAll(kPushFarewellWait);
    connections_.CloseAll();
    loop_.Stop();
    state_->signals.Stop();
    state_->bars.Stop();
    state_->market.Stop();
    state_->engine.Stop();
    {
        std::lock_guard<std::mutex> lock(sweepMutex_);
        sweepStop_ = true;
    }
    sweepWake_.notify_all();
    if (sweeper_.joinable()) sweeper_.join();
    if (!SaveMarketPrices(*state_->store, state_->market)) LogLine("cannot save the market prices");
    started_ = false;
    LogLine("stopped");
}

void Server::SweepSessions() {
    // Often enough that a session ends within a quarter of its idle time after it.
    const auto interval = std::clamp<std::chrono::milliseconds>(
        options_.sessionIdle / 4, std::chrono::milliseconds(25), std::chrono::seconds(30));
    std::unique_lock<std::mutex> lock(sweepMutex_);
    while (!sweepWake_.wait_for(lock, interval, [this] { return sweepStop_; })) {
        lock.unlock();
        for (const SessionInfo& s :
             state_->sessions.Sweep(std::chrono::system_clock::now(), state_->push.LinkKeys()))
            LogLine("session of \"" + Printable(s.memberName) +
                    "\" expired: no request and no push "
                    "link for " +
                    std::to_string(options_.sessionIdle.count()) + " ms");
        lock.lock();
    }
}

bool Server::WritePortsFile(const std::string& path, std::string* error) const {
    std::string line = std::to_string(RequestPort()) + " " + std::to_string(PushPort()) + " " +
                       std::to_string(DataPort());
    if (control_ || WebPort()) line += " " + std::to_string(ControlPortNumber());
    if (WebPort()) line += " " + std::to_string(WebPort());
    line += "\n";
    if (WriteFileAtomically(path, line)) return true;
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
}

}  // namespace zq::server
