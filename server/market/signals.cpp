#include "server/market/signals.h"

#include <algorithm>
#include <cmath>

#include "server/market/catalogue.h"

namespace zq::server {
namespace {

// Mixed into --seed so that the book's draws differ from the market's.
constexpr std::uint64_t kSeedMix = 0x5349474e414c5331ULL;
// Finished 15-minute bars a level looks back over.
constexpr std::int64_t kMinWindow = 16, kMaxWindow = 48;
// Lots of an automatic signal, × 100.
constexpr std::array<std::int32_t, 5> kLotChoices = {50, 100, 200, 300, 500};
// A stop-loss beyond the price by this share of it, when none is given.
constexpr double kDefaultStopShare = 0.0025;

std::int32_t NowSeconds() {
    return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
}

}  // namespace

std::int32_t SignalAmount(const InstrumentRules& rules, std::int32_t price, std::int32_t lots100) {
    // Notional yuan = price × point value × lots; the field is that in 万元 × 100, i.e. / 100.
    const double yuan = static_cast<double>(price) * rules.pointValue * lots100 / 100.0;
    const double field = std::round(yuan / 100.0);
    return field > 2.0e9 ? 2000000000 : static_cast<std::int32_t>(field);
}

SignalRecord MakeSignal(const SignalRequest& request, std::uint8_t tag, std::uint8_t variant) {
    SignalRecord s{};
    s.price = request.price;
    s.stopLoss = request.stopLoss;
    s.amount = request.amount100;
    s.tag = tag;
    s.instrument = static_cast<std::int8_t>(request.instrument);
    s.action = 0;
    s.side = request.side;
    s.lots = request.lots100;
    s.published = NowSeconds();
    s.marker = kSignalMarker;
    s.variant = variant;
    return s;
}

SignalBook::SignalBook(const BarBook& bars, std::uint64_t seed, SignalPace pace)
    : bars_(bars), pace_(pace), random_(seed ^ kSeedMix) {}

SignalBook::~SignalBook() {
    Stop();
}

void SignalBook::Start(bool automatic) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ || !automatic) return;
    started_ = true;
    automatic_ = true;
    const Clock::time_point now = Clock::now();
    PublishLevelLocked(1, signal_side::Support, now);
    PublishLevelLocked(1, signal_side::Resistance, now);
    nextPublish_ = NextGapLocked(now);
    thread_ = std::thread([this] { Run(); });
}

void SignalBook::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SignalBook::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point due = nextPublish_;
        for (const Entry& e : active_)
            if (e.automatic) due = std::min(due, e.expires);
        wake_.wait_until(lock, due, [this] { return stopping_; });
        if (stopping_) break;
        lock.unlock();
        RunSchedule(Clock::now());
        lock.lock();
    }
}

void SignalBook::RunSchedule(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Due withdrawals and republications, oldest first.
    std::vector<std::uint8_t> gone;  // sides of instrument 1 that lost a signal
    for (std::size_t i = 0; i < active_.size();) {
        Entry& e = active_[i];
        if (!e.automatic || e.expires > now) {
            ++i;
            continue;
        }
        if (DrawLocked(0, 3) == 0) {
            e.record.published = NowSeconds();
            e.expires = LifeEndLocked(now);
            SendLocked(e.record);
            ++i;
            continue;
        }
        SignalRecord withdrawal = e.record;
        withdrawal.action = static_cast<std::uint8_t>(DrawLocked(4, 5));
        if (withdrawal.instrument == 1) gone.push_back(withdrawal.side);
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
        SendLocked(withdrawal);
    }
    // 伦敦金 keeps a support and a resistance.
    for (std::uint8_t side : gone)
        if (CountLocked(1, false, side) == 0) PublishLevelLocked(1, side, now);
    if (now >= nextPublish_) {
        PublishRandomLocked(now);
        nextPublish_ = NextGapLocked(now);
    }
}

bool SignalBook::PublishRandomLocked(Clock::time_point now) {
    if (CountLocked(0, true, std::nullopt) >= kMaxAutomatic) return false;
    const auto pick = static_cast<std::size_t>(
        DrawLocked(0, static_cast<std::int64_t>(kSignalInstruments.size()) - 1));
    const std::int32_t instrument = kSignalInstruments[pick];
    const std::uint8_t side =
        DrawLocked(0, 1) == 0 ? signal_side::Support : signal_side::Resistance;
    if (CountLocked(instrument, true, std::nullopt) >= kMaxAutomaticPerInstrument) return false;
    return PublishLevelLocked(instrument, side, now);
}

bool SignalBook::PublishLevelLocked(std::int32_t instrument, std::uint8_t side,
                                    Clock::time_point now) {
    const InstrumentRules* rules = FindRules(instrument);
    if (!rules) return false;
    // Draw everything first, so that the sequence of draws does not hang on the bars.
    const std::int64_t window = DrawLocked(kMinWindow, kMaxWindow);
    const auto lotPick = static_cast<std::size_t>(DrawLocked(
        rules->lotDecimals == 0 ? 1 : 0, static_cast<std::int64_t>(kLotChoices.size()) - 1));
    const Clock::time_point expires = LifeEndLocked(now);

    const std::optional<HistoryAnswer> history = bars_.History(instrument, kCellMinutes, "0", "0");
    if (!history || history->bars.size() < 2) return false;
    std::int32_t low = 0, high = 0;
    const std::size_t last = std::min(history->bars.size() - 1, static_cast<std::size_t>(window));
    for (std::size_t i = 1; i <= last; ++i) {
        const BarRecord& b = history->bars[i];
        low = low == 0 ? b.low : std::min(low, b.low);
        high = std::max(high, b.high);
    }
    if (low <= 0 || high <= 0) return false;
    const std::int32_t margin = std::max<std::int32_t>(1, (high - low) / 4);

    SignalRequest request;
    request.instrument = instrument;
    request.side = side;
    request.price = side == signal_side::Support ? low : high;
    request.stopLoss = side == signal_side::Support ? std::max(1, low - margin) : high + margin;
    request.lots100 = std::min(kLotChoices[lotPick], rules->maxLots * 100);
    request.amount100 = SignalAmount(*rules, request.price, request.lots100);
    // The same level of the same side stands already: nothing new to say.
    for (const Entry& e : active_)
        if (e.record.instrument == instrument && e.record.side == side &&
            e.record.price == request.price)
            return false;
    const std::optional<std::uint8_t> tag = FreeTagLocked(instrument);
    if (!tag) return false;
    Entry entry;
    entry.record = MakeSignal(request, *tag, kAutomaticVariant);
    entry.automatic = true;
    entry.expires = expires;
    active_.push_back(entry);
    SendLocked(entry.record);
    return true;
}

std::optional<SignalRecord> SignalBook::Publish(const SignalRequest& request) {
    const InstrumentRules* rules = FindRules(request.instrument);
    if (!rules || request.price <= 0 || request.lots100 < 0 || request.amount100 < 0 ||
        request.stopLoss < 0)
        return std::nullopt;
    if (request.side != signal_side::Support && request.side != signal_side::Resistance)
        return std::nullopt;
    SignalRequest r = request;
    if (r.lots100 == 0) r.lots100 = 100;
    if (r.amount100 == 0) r.amount100 = SignalAmount(*rules, r.price, r.lots100);
    if (r.stopLoss == 0) {
        const auto offset = std::max<std::int32_t>(
            1, static_cast<std::int32_t>(std::lround(r.price * kDefaultStopShare)));
        r.stopLoss =
            r.side == signal_side::Support ? std::max(1, r.price - offset) : r.price + offset;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<std::uint8_t> tag = FreeTagLocked(r.instrument);
    if (!tag) return std::nullopt;
    Entry entry;
    entry.record = MakeSignal(r, *tag, kControlVariant);
    active_.push_back(entry);
    SendLocked(entry.record);
    return entry.record;
}

std::optional<SignalRecord> SignalBook::Withdraw(std::int32_t instrument, std::uint8_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(active_.begin(), active_.end(), [&](const Entry& e) {
        return e.record.instrument == instrument && e.record.tag == tag;
    });
    if (it == active_.end()) return std::nullopt;
    SignalRecord withdrawal = it->record;
    withdrawal.action = 4;
    active_.erase(it);
    SendLocked(withdrawal);
    // A withdrawal by hand leaves 伦敦金 with its automatic levels, if any: it is a test's or a
    // demo's choice to empty it.
    return withdrawal;
}

std::vector<SignalRecord> SignalBook::Active(std::int32_t instrument) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SignalRecord> out;
    for (const Entry& e : active_)
        if (instrument == 0 || e.record.instrument == instrument) out.push_back(e.record);
    return out;
}

std::optional<std::uint8_t> SignalBook::FreeTagLocked(std::int32_t instrument) const {
    std::array<bool, 256> used{};
    for (const Entry& e : active_)
        if (e.record.instrument == instrument) used[e.record.tag] = true;
    for (int t = 1; t < 256; ++t)
        if (!used[static_cast<std::size_t>(t)]) return static_cast<std::uint8_t>(t);
    return std::nullopt;
}

std::size_t SignalBook::CountLocked(std::int32_t instrument, bool automaticOnly,
                                    std::optional<std::uint8_t> side) const {
    return static_cast<std::size_t>(
        std::count_if(active_.begin(), active_.end(), [&](const Entry& e) {
            return (instrument == 0 || e.record.instrument == instrument) &&
                   (!automaticOnly || e.automatic) && (!side || e.record.side == *side);
        }));
}

void SignalBook::SendLocked(const SignalRecord& record) {
    if (sink_) sink_(record);
}

std::int64_t SignalBook::DrawLocked(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(random_);
}

SignalBook::Clock::time_point SignalBook::LifeEndLocked(Clock::time_point now) {
    return now + std::chrono::seconds(DrawLocked(pace_.minLife.count(), pace_.maxLife.count()));
}

SignalBook::Clock::time_point SignalBook::NextGapLocked(Clock::time_point now) {
    return now + std::chrono::seconds(DrawLocked(pace_.minGap.count(), pace_.maxGap.count()));
}

}  // namespace zq::server
