// The trading-signal feed: the signals the server publishes and withdraws live on the push link,
// the signals that come mixed into a history transfer, the 50 announcement flags
// (`cmd::LoadSignalFlags` and 41), and the announcement of a new live signal in the frame's message
// list.
//
// Where a signal goes:
//   - into the chart's signal list (KLineData::WithSignals, under the signal lock, a SignalList
//     of at most kMaxSignalsPerSeries), replacing the earlier record with the same identity
//     (SameSignal), at the end of the list;
//   - to the instrument toolbar's blink list, by a WM_SIGNAL_MARK posted to the frame (wparam
//     the instrument, lparam kSignalMark or kSignalRecount): the frame counts the instrument's
//     signals itself when it recounts, on its own thread;
//   - for a live signal that is new and whose instrument's flag is 1, to the message list as
//     "接收到[name]新操盘信号，{...}" with the publication time.
// While programmatic trading is on, every live signal (published or withdrawn) first reloads
// the pending orders, positions and account and tells the tick listeners.
//
// Threads. Live intake runs on the push reader, history intake on the history transfer, both
// inside the links' gate. The wiring (trading model, message list, mark window) is set on the
// user-interface thread before the links start; the flags may change at any time (the product
// settings dialog) and are guarded by a lock of their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/ui_bridge.h"
#include "market/bar_series.h"
#include "market/wire/bar_record.h"
#include "market/wire/signal_record.h"
#include "net/wire/socket.h"
#include "trading/wire/records.h"

namespace zq {

class TradingModel;

// One byte per instrument: byte n - 1 belongs to instrument n; 1 announces its new signals.
inline constexpr std::size_t kSignalFlagCount = 50;
using SignalFlags = std::array<std::uint8_t, kSignalFlagCount>;

// Whether the flag of `instrument` is 1 (false for numbers outside 1..50).
bool SignalAnnounced(const SignalFlags& flags, int instrument);

// lparam of WM_SIGNAL_MARK.
inline constexpr std::intptr_t kSignalMark = 0;     // a signal was published: mark the button
inline constexpr std::intptr_t kSignalRecount = 1;  // a signal was withdrawn: count again

// `cmd::LoadSignalFlags` on an open request connection: the flags start cleared; a failed header
// send leaves them so; an answer shorter than 50 bytes sets all of them to 1.
SignalFlags LoadSignalFlags(Socket& s);
// The same on a connection of its own, opened without a word to the user: all 0 when it cannot
// be opened.
SignalFlags LoadSignalFlags();

// `cmd::SaveSignalFlags`: the header and the 50 bytes on a connection of its own (the connect
// message, owned by `owner`, when it cannot be opened). True when the one-byte answer is above 0 as
// a signed byte.
bool SaveSignalFlags(WindowHandle owner, const SignalFlags& flags);

// The announcement of a new signal, UTF-8, built from the instrument's record (its name and
// decimals): "接收到[%s]新操盘信号，{%s%.Nf　%.2f手/%.2f万元　%.Nf止损}" with the side text,
// price, lots, amount in 万元 and stop-loss. Empty when the record has no name.
std::string SignalAnnouncement(const SignalRecord& signal, const InstrumentRecord& instrument);

// "支撑位" for side 11, "阻力位" for any other value.
const char* SignalSideText(std::uint8_t side);

// The signals of one instrument in the chart's list (takes the signal lock).
std::size_t CountSignals(KLineData& chart, int instrument);

class SignalFeed {
  public:
    // Text and time (seconds since 1970, 0 or less for now) for the message list.
    using Announce = std::function<void(const std::string& text, std::int64_t time)>;

    explicit SignalFeed(std::shared_ptr<KLineData> chart);
    SignalFeed(const SignalFeed&) = delete;
    SignalFeed& operator=(const SignalFeed&) = delete;

    // --- Wiring, before the links start. ---
    // The instrument records of announcements and the reload under programmatic trading.
    void SetTradingModel(TradingModel* model);
    void SetAnnounce(Announce announce);
    // The window that keeps the blink list (the main frame); null posts nothing.
    void SetMarkWindow(WindowHandle window);

    // --- The announcement flags. ---
    SignalFlags Flags() const;
    void SetFlags(const SignalFlags& flags);
    bool Announced(int instrument) const;
    // `cmd::LoadSignalFlags` into the flags (silent; see LoadSignalFlags).
    void LoadFlags();
    // `cmd::SaveSignalFlags`; on success the flags take the saved bytes.
    bool SaveFlags(WindowHandle owner, const SignalFlags& flags);

    // --- Intake. ---
    // What one record did (for the callers' tests and diagnostics).
    struct Outcome {
        bool withdrawn = false;   // a withdrawal
        std::size_t removed = 0;  // records of the same identity taken out of the list
        bool duplicate = false;   // a publication that replaced an identical signal
        bool announced = false;   // handed to the message list
    };
    // A signal record of the push link (reader thread).
    Outcome LiveIntake(const BarRecord& record);
    // A signal record of a history transfer: into the list and marked; no layout, no
    // announcement, no reload.
    Outcome HistoryIntake(const BarRecord& record);

  private:
    struct Wiring {
        TradingModel* model = nullptr;
        Announce announce;
        WindowHandle markWindow = nullptr;
    };
    Wiring CopyWiring() const;
    // Replaces the signal of the record's identity with the record at the end of the list;
    // returns how many records were removed.
    std::size_t Publish(const BarRecord& record);
    void PostMark(const Wiring& w, int instrument, std::intptr_t kind) const;
    void InvalidateIfShown(int instrument) const;

    const std::shared_ptr<KLineData> chart_;
    mutable std::mutex mutex_;  // the wiring and the flags
    Wiring wiring_;
    SignalFlags flags_{};
};

}  // namespace zq
