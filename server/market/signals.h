// The trading signals of the simulated market: support (side 11) and resistance (side 21)
// levels with suggested lots, the amount they represent and a stop-loss.
//
// The book keeps the active signals of every instrument in memory, tells its sink of every
// publication, republication and withdrawal (the push feed sends each as a type 1 item to every
// link), and gives the active signals of an instrument to its history transfers.
//
// Identity: a signal's tag is unique among the active signals of its instrument; the variant
// tells where it came from (kAutomaticVariant: the market; kControlVariant: the control port).
// A republication sends the same identity with a new publication time, so a client replaces
// its copy; a withdrawal sends the same identity with action 4 or 5.
//
// With automatic signals on, the market publishes by itself: at start a support and a
// resistance on 伦敦金 (instrument 1), then one new level every 20 to 60 seconds on one of a
// few instruments, each standing 2 to 5 minutes and then withdrawn (or, one time in four,
// republished for another 2 to 5 minutes). 伦敦金 always keeps at least one support and one
// resistance: when its last one of a side goes, a fresh one of that side follows. Levels are
// the lowest low (support) or highest high (resistance) of the last 16 to 48 finished
// 15-minute bars. Every choice comes from the book's own generator, seeded from --seed, so a
// run with the same seed makes the same choices whatever the market draws.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "market/wire/signal_record.h"
#include "server/market/bars.h"

namespace zq::server {

constexpr std::uint8_t kAutomaticVariant = 1;
constexpr std::uint8_t kControlVariant = 2;
// The instruments the market publishes levels for.
constexpr std::array<std::int32_t, 8> kSignalInstruments = {1, 2, 5, 13, 14, 15, 17, 29};
// Active automatic signals at most, per instrument and in all.
constexpr std::size_t kMaxAutomaticPerInstrument = 3;
constexpr std::size_t kMaxAutomatic = 12;

// The pace of the automatic signals.
struct SignalPace {
    std::chrono::seconds minGap{20}, maxGap{60};      // between two new signals
    std::chrono::seconds minLife{120}, maxLife{300};  // until withdrawal or republication
};

// A signal as the control port asks for it; `lots100`, `amount100` and `stopLoss` 0 are
// filled in (1 lot, its notional value, a stop-loss a quarter of a percent beyond the price).
struct SignalRequest {
    std::int32_t instrument = 0;
    std::uint8_t side = signal_side::Support;
    std::int32_t price = 0;  // scaled by 10^decimals
    std::int32_t lots100 = 0;
    std::int32_t amount100 = 0;
    std::int32_t stopLoss = 0;
};

class SignalBook {
  public:
    using Sink = std::function<void(const SignalRecord&)>;
    using Clock = std::chrono::steady_clock;

    SignalBook(const BarBook& bars, std::uint64_t seed, SignalPace pace = {});
    ~SignalBook();
    SignalBook(const SignalBook&) = delete;
    SignalBook& operator=(const SignalBook&) = delete;

    // Hears every record that goes out, in order, with the book's lock held: it must not call
    // back into the book (the server's sink has the engine follow the signal, a few store
    // transactions, before the push feed queues it). Set before Start().
    void SetSink(Sink sink) { sink_ = std::move(sink); }

    // With `automatic`, publishes the start levels on 伦敦金 and runs the schedule on the
    // book's own thread until Stop(). Idempotent.
    void Start(bool automatic);
    void Stop();

    // Publishes a signal now; nothing when the instrument is unknown, the side is neither 11
    // nor 21, a figure is out of range or the instrument has no free tag.
    std::optional<SignalRecord> Publish(const SignalRequest& request);
    // Withdraws the instrument's active signal with this tag (action 4); the withdrawal record,
    // or nothing when there is no such signal.
    std::optional<SignalRecord> Withdraw(std::int32_t instrument, std::uint8_t tag);

    // The active signals of one instrument (0: of all), oldest first.
    std::vector<SignalRecord> Active(std::int32_t instrument = 0) const;

    // One turn of the schedule at `now`: due withdrawals and republications, then a new
    // signal when one is due. The thread calls it; tests may call it without Start().
    void RunSchedule(Clock::time_point now);

  private:
    struct Entry {
        SignalRecord record{};
        bool automatic = false;
        Clock::time_point expires{};
    };

    void Run();
    // A new automatic level (the lock held); false when none could be made.
    bool PublishLevelLocked(std::int32_t instrument, std::uint8_t side, Clock::time_point now);
    bool PublishRandomLocked(Clock::time_point now);
    std::optional<std::uint8_t> FreeTagLocked(std::int32_t instrument) const;
    void SendLocked(const SignalRecord& record);
    std::int64_t DrawLocked(std::int64_t lo, std::int64_t hi);
    Clock::time_point LifeEndLocked(Clock::time_point now);
    Clock::time_point NextGapLocked(Clock::time_point now);
    std::size_t CountLocked(std::int32_t instrument, bool automaticOnly,
                            std::optional<std::uint8_t> side) const;

    const BarBook& bars_;
    const SignalPace pace_;
    Sink sink_;

    mutable std::mutex mutex_;
    std::mt19937_64 random_;
    std::vector<Entry> active_;
    bool automatic_ = false;
    Clock::time_point nextPublish_{};

    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
    std::thread thread_;
};

// The record of a signal (action 0, marker 255) published now.
SignalRecord MakeSignal(const SignalRequest& request, std::uint8_t tag, std::uint8_t variant);
// The amount field (× 100 in 万元) of `lots100` lots at a scaled price: its notional value.
std::int32_t SignalAmount(const InstrumentRules& rules, std::int32_t price, std::int32_t lots100);

}  // namespace zq::server
