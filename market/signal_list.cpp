#include "market/signal_list.h"

#include <iterator>

namespace zq {

namespace {

std::size_t Slot(std::int8_t instrument) {
    return static_cast<std::uint8_t>(instrument);
}

}  // namespace

SignalList::Identity SignalList::IdentityOf(const SignalRecord& s) {
    return {s.price, s.stopLoss, s.lots, s.tag, s.instrument, s.variant};
}

void SignalList::Erase(iterator at) {
    const SignalRecord s = AsSignal(*at);
    index_.erase(IdentityOf(s));
    --counts_[Slot(s.instrument)];
    records_.erase(at);
}

std::size_t SignalList::Publish(const BarRecord& record) {
    const SignalRecord s = AsSignal(record);
    const std::size_t removed = Withdraw(s);
    records_.push_back(record);
    index_.emplace(IdentityOf(s), std::prev(records_.end()));
    ++counts_[Slot(s.instrument)];
    while (records_.size() > kMaxSignalsPerSeries) Erase(records_.begin());
    return removed;
}

std::size_t SignalList::Withdraw(const SignalRecord& signal) {
    const auto it = index_.find(IdentityOf(signal));
    if (it == index_.end()) return 0;
    Erase(it->second);
    return 1;
}

void SignalList::clear() {
    records_.clear();
    index_.clear();
    counts_.fill(0);
}

std::size_t SignalList::Count(int instrument) const {
    if (instrument < -128 || instrument > 127) return 0;
    return counts_[Slot(static_cast<std::int8_t>(instrument))];
}

}  // namespace zq
