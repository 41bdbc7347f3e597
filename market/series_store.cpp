#include "market/series_store.h"

#include <algorithm>

namespace zq {

void SeriesStore::Locked::Reset(int instrument, int period) {
    SeriesStore& s = *store_;
    s.instrument_ = instrument;
    s.period_ = period;
    ++s.generation_;
    s.raw_.clear();
    s.heikinAshi_.Clear();
    s.history_.clear();
    s.held_.clear();
    s.merged_ = false;
}

void SeriesStore::TrimLocked() {
    if (raw_.size() <= kMaxBarsPerSeries) return;
    while (raw_.size() > kMaxBarsPerSeries) raw_.pop_back();
    heikinAshi_.Invalidate();
}

std::size_t SeriesStore::AppendHistoryBars(const BarRecord* records, std::size_t count,
                                           std::uint64_t generation,
                                           const std::function<void(const BarRecord&)>& signal) {
    std::size_t added = 0;
    std::vector<const BarRecord*> signals;
    {
        std::lock_guard lock(barLock_);
        if (!GenerationMatches(generation)) return 0;
        const int instrument = instrument_.load();
        // Bars of the series' instrument go behind the oldest bar held, up to the series bound,
        // each only if it is older still: a bar the series holds already (a page that answers
        // with bars of earlier pages) or one out of order is dropped, so no bar is held twice. A
        // signal goes to the signal intake, a bar of another instrument is dropped.
        const auto ours = [&](const BarRecord& r) {
            return !IsSignal(r) && r.instrument == instrument;
        };
        std::size_t i = 0;
        while (i < count) {
            const BarRecord& r = records[i];
            if (IsSignal(r)) signals.push_back(&r);
            if (!ours(r) || raw_.size() >= kMaxBarsPerSeries ||
                (!raw_.empty() && !IsLiveBar(raw_.back()) && !OlderBar(r, raw_.back()))) {
                ++i;
                continue;
            }
            // A run of bars, each older than the one before it, goes in as one block.
            const std::size_t room = kMaxBarsPerSeries - raw_.size();
            std::size_t j = i + 1;
            while (j < count && j - i < room && ours(records[j]) &&
                   OlderBar(records[j], records[j - 1]))
                ++j;
            raw_.insert(raw_.end(), records + i, records + j);
            added += j - i;
            i = j;
        }
        if (added != 0) heikinAshi_.Invalidate();
    }
    // The signal intake takes the signal lock; it runs after the bar lock is released.
    if (signal) {
        for (const BarRecord* s : signals) signal(*s);
    }
    return added;
}

void SeriesStore::AddFinishedBar(const BarRecord& r) {
    std::lock_guard lock(barLock_);
    AddFinishedLocked(r);
}

void SeriesStore::AddFinishedLocked(const BarRecord& r) {
    if (!raw_.empty() && IsLiveBar(raw_.front())) {
        raw_.pop_front();
        heikinAshi_.FrontRemoved();
    }
    raw_.push_front(r);
    heikinAshi_.FrontAdded(raw_);
    TrimLocked();
}

void SeriesStore::HoldFinishedBar(const BarRecord& r) {
    std::lock_guard lock(barLock_);
    if (merged_) return AddFinishedLocked(r);
    // Bars closing during one transfer: a handful. The bound only guards a transfer that never
    // ends; its successor's reset empties the list.
    if (held_.size() < kMaxHeldBars) held_.push_back(r);
}

void SeriesStore::ApplyHeldLocked() {
    for (const BarRecord& r : held_) {
        // The newest finished bar is the front one or the one behind the live bar.
        const BarRecord* newest = nullptr;
        for (std::size_t i = 0; i < raw_.size() && i < 2; ++i) {
            if (!IsLiveBar(raw_[i])) {
                newest = &raw_[i];
                break;
            }
        }
        if (newest && !OlderBar(*newest, r)) continue;
        AddFinishedLocked(r);
    }
    held_.clear();
}

SeriesStore::LivePut SeriesStore::PutLive(const BarRecord& r) {
    std::lock_guard lock(barLock_);
    if (raw_.empty()) return LivePut::NoBars;
    if (IsLiveBar(raw_.front())) {
        raw_.front() = r;
        heikinAshi_.FrontReplaced(raw_);
        return LivePut::Replaced;
    }
    raw_.push_front(r);
    heikinAshi_.FrontAdded(raw_);
    TrimLocked();
    return LivePut::NewBar;
}

bool SeriesStore::CurrentLiveBar(BarRecord& bar) const {
    std::lock_guard lock(barLock_);
    if (!raw_.empty() && IsLiveBar(raw_.front())) {
        bar = raw_.front();
        return true;
    }
    bar.close = 0;
    return false;
}

BarKey SeriesStore::OldestBarKey() const {
    std::lock_guard lock(barLock_);
    if (raw_.empty() || IsLiveBar(raw_.back())) return NoBarKey();
    return MakeBarKey(raw_.back());
}

std::size_t SeriesStore::BarCount() const {
    std::lock_guard lock(barLock_);
    return raw_.size();
}

std::vector<BarRecord> SeriesStore::RawBars() const {
    std::lock_guard lock(barLock_);
    return {raw_.begin(), raw_.end()};
}

std::vector<BarRecord> SeriesStore::DisplayList(bool heikinAshi) const {
    std::lock_guard lock(barLock_);
    const std::size_t from = !raw_.empty() && IsLiveBar(raw_.front()) ? 1 : 0;
    if (!heikinAshi) return {raw_.begin() + static_cast<long>(from), raw_.end()};
    std::deque<BarRecord> ha;
    if (heikinAshi_.Valid(raw_)) {
        for (std::size_t i = 0; i < raw_.size(); ++i) ha.push_back(heikinAshi_.At(raw_, i));
    } else {
        BuildHeikinAshi(raw_, ha);
    }
    return {ha.begin() + static_cast<long>(from), ha.end()};
}

SeriesStore::FinishedSeries SeriesStore::FinishedBars(std::uint64_t generation) const {
    FinishedSeries s;
    std::lock_guard lock(barLock_);
    if (!GenerationMatches(generation)) return s;
    s.valid = true;
    s.instrument = instrument_.load();
    s.period = period_.load();
    s.bars.reserve(raw_.size());
    for (const BarRecord& r : raw_) {
        if (!IsLiveBar(r)) s.bars.push_back(r);
    }
    return s;
}

// --- History list ---

bool SeriesStore::SetHistory(std::deque<BarRecord> cached, std::uint64_t generation) {
    std::lock_guard lock(barLock_);
    if (!GenerationMatches(generation)) return false;
    history_ = std::move(cached);
    return true;
}

BarKey SeriesStore::NewestHistoryKey() const {
    std::lock_guard lock(barLock_);
    return history_.empty() ? NoBarKey() : MakeBarKey(history_.front());
}

std::size_t SeriesStore::HistorySize() const {
    std::lock_guard lock(barLock_);
    return history_.size();
}

bool SeriesStore::MergeHistory(std::uint64_t generation) {
    std::lock_guard lock(barLock_);
    if (!GenerationMatches(generation)) return false;
    bool write = true;
    if (!history_.empty()) {
        if (raw_.empty() || !SameBar(raw_.back(), history_.front())) {
            write = false;
        } else {
            raw_.pop_back();
            const std::size_t room = kMaxBarsPerSeries - std::min(raw_.size(), kMaxBarsPerSeries);
            const std::size_t take = std::min(room, history_.size());
            raw_.insert(raw_.end(), history_.begin(), history_.begin() + static_cast<long>(take));
            history_.clear();
            heikinAshi_.Invalidate();
        }
    }
    // Bars that closed while the download ran go in front of it now.
    ApplyHeldLocked();
    merged_ = true;
    return write;
}

}  // namespace zq
