#include "net/signal_feed.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/text_format.h"
#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "trading/model.h"
#include "trading/wire/profit.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The first pass builds the format of the numbers from the instrument's decimals; the second
// prints them. The separators are ideographic spaces (U+3000).
constexpr const char* kAnnouncementFormat =
    "接收到[%s]新操盘信号，{%s%%.%df\u3000%%.2f手/%%.2f万元\u3000%%.%df止损}";

// The name goes into the format of the second pass: a '%' in it must come out as itself.
std::string EscapePercent(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

}  // namespace

bool SignalAnnounced(const SignalFlags& flags, int instrument) {
    return instrument >= 1 && instrument <= static_cast<int>(kSignalFlagCount) &&
           flags[static_cast<std::size_t>(instrument - 1)] == 1;
}

SignalFlags LoadSignalFlags(Socket& s) {
    SignalFlags flags{};
    if (!SendRequest(s, MakeHeader(cmd::LoadSignalFlags))) return flags;
    // Byte by byte; an answer that ends early announces every instrument.
    for (std::uint8_t& flag : flags) {
        if (ReceiveExact(s, &flag, 1) != 1) {
            flags.fill(1);
            break;
        }
    }
    return flags;
}

SignalFlags LoadSignalFlags() {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return SignalFlags{};
    SignalFlags flags = LoadSignalFlags(s);
    s.ShutdownClose();
    return flags;
}

bool SaveSignalFlags(WindowHandle owner, const SignalFlags& flags) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return false;
    bool ok = false;
    if (SendRequest(s, MakeHeader(cmd::SaveSignalFlags), flags.data(), flags.size()))
        ok = ByteAnswerPositive(ReadByteAnswer(s));
    s.ShutdownClose();
    return ok;
}

const char* SignalSideText(std::uint8_t side) {
    return side == signal_side::Support ? "支撑位" : "阻力位";
}

std::string SignalAnnouncement(const SignalRecord& signal, const InstrumentRecord& instrument) {
    const std::string name = FieldToUtf8(instrument.name, sizeof instrument.name);
    if (name.empty()) return {};
    const int digits = FormatDecimals(instrument.decimals);
    const std::string numbers = FormatText(kAnnouncementFormat, EscapePercent(name).c_str(),
                                           SignalSideText(signal.side), digits, digits);
    // 10^digits in single precision, as the prices of the trading model are scaled.
    const double power = PowerOfTen(digits);
    return FormatText(numbers.c_str(), signal.price / power, signal.lots / 100.0,
                      signal.amount / 100.0, signal.stopLoss / power);
}

std::size_t CountSignals(KLineData& chart, int instrument) {
    return chart.WithSignals(
        [instrument](const SignalList& signals) { return signals.Count(instrument); });
}

SignalFeed::SignalFeed(std::shared_ptr<KLineData> chart) : chart_(std::move(chart)) {}

void SignalFeed::SetTradingModel(TradingModel* model) {
    std::lock_guard lock(mutex_);
    wiring_.model = model;
}

void SignalFeed::SetAnnounce(Announce announce) {
    std::lock_guard lock(mutex_);
    wiring_.announce = std::move(announce);
}

void SignalFeed::SetMarkWindow(WindowHandle window) {
    std::lock_guard lock(mutex_);
    wiring_.markWindow = window;
}

SignalFeed::Wiring SignalFeed::CopyWiring() const {
    std::lock_guard lock(mutex_);
    return wiring_;
}

SignalFlags SignalFeed::Flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

void SignalFeed::SetFlags(const SignalFlags& flags) {
    std::lock_guard lock(mutex_);
    flags_ = flags;
}

bool SignalFeed::Announced(int instrument) const {
    return SignalAnnounced(Flags(), instrument);
}

void SignalFeed::LoadFlags() {
    SetFlags(SignalFlags{});
    SetFlags(LoadSignalFlags());
}

bool SignalFeed::SaveFlags(WindowHandle owner, const SignalFlags& flags) {
    if (!SaveSignalFlags(owner, flags)) return false;
    SetFlags(flags);
    return true;
}

std::size_t SignalFeed::Publish(const BarRecord& record) {
    return chart_->WithSignals([&](SignalList& signals) { return signals.Publish(record); });
}

void SignalFeed::PostMark(const Wiring& w, int instrument, std::intptr_t kind) const {
    if (w.markWindow) Ui().Post(w.markWindow, WM_SIGNAL_MARK, instrument, kind);
}

void SignalFeed::InvalidateIfShown(int instrument) const {
    if (instrument == chart_->Instrument() && chart_->hooks.invalidateAll)
        chart_->hooks.invalidateAll();
}

SignalFeed::Outcome SignalFeed::LiveIntake(const BarRecord& record) {
    const Wiring w = CopyWiring();
    const SignalRecord signal = AsSignal(record);
    const int instrument = signal.instrument;
    Outcome out;

    // 1. Programmatic trading follows every signal: pending orders, positions and account
    //    again, then the tick listeners (the model shows the connect message itself).
    if (Session().programTrading.load() == 1 && w.model) w.model->ReloadAfterSignal();

    // 2. A withdrawal takes every copy of the signal out of the list.
    if (IsWithdrawal(signal)) {
        out.withdrawn = true;
        out.removed =
            chart_->WithSignals([&](SignalList& signals) { return signals.Withdraw(signal); });
        InvalidateIfShown(instrument);
        PostMark(w, instrument, kSignalRecount);
        return out;
    }

    // 3. A publication replaces the signal it repeats and goes to the end of the list.
    out.removed = Publish(record);
    out.duplicate = out.removed > 0;
    chart_->Layout();
    InvalidateIfShown(instrument);
    PostMark(w, instrument, kSignalMark);

    // 4. A new signal of an announced instrument goes to the message list; an instrument the
    //    list lacks gives an empty text, posted all the same.
    if (!out.duplicate && Announced(instrument)) {
        InstrumentRecord product{};
        if (w.model) product = w.model->FindInstrument(instrument);
        if (w.announce) w.announce(SignalAnnouncement(signal, product), signal.published);
        out.announced = true;
    }
    return out;
}

SignalFeed::Outcome SignalFeed::HistoryIntake(const BarRecord& record) {
    Outcome out;
    out.removed = Publish(record);
    out.duplicate = out.removed > 0;
    PostMark(CopyWiring(), AsSignal(record).instrument, kSignalMark);
    return out;
}

}  // namespace zq
