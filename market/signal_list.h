// The trading signals a chart keeps: one record per signal (SameSignal), in the order they
// arrived, at most kMaxSignalsPerSeries of them. A publication replaces the record of the same
// signal and goes to the end; a withdrawal takes it out; beyond the bound the oldest goes.
// Each of these, and the count of an instrument's signals, costs the same whatever the length
// of the list. Not locked: the chart keeps it under its signal lock.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "market/wire/bar_record.h"
#include "market/wire/signal_record.h"

namespace zq {

// The most signals a chart's list keeps: years of a busy instrument's signals; a publication
// beyond it drops the oldest, so a flood of signals can neither fill memory nor make every
// intake and repaint walk an endless list.
inline constexpr std::size_t kMaxSignalsPerSeries = 5000;

class SignalList {
  public:
    using const_iterator = std::list<BarRecord>::const_iterator;
    using iterator = std::list<BarRecord>::iterator;

    // Puts the record at the end in place of every earlier record of the same signal; returns
    // how many it replaced (0 or 1).
    std::size_t Publish(const BarRecord& record);
    // Takes the signal out; returns how many records it removed (0 or 1).
    std::size_t Withdraw(const SignalRecord& signal);
    void clear();

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    // The signals of one instrument.
    std::size_t Count(int instrument) const;
    // Oldest first. Through the mutable iterators only the chart row (lineY) may change.
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    iterator begin() { return records_.begin(); }
    iterator end() { return records_.end(); }
    // A copy, oldest first.
    std::vector<BarRecord> Records() const { return {records_.begin(), records_.end()}; }

  private:
    // The fields SameSignal compares.
    struct Identity {
        std::int32_t price;
        std::int32_t stopLoss;
        std::int32_t lots;
        std::uint8_t tag;
        std::int8_t instrument;
        std::uint8_t variant;
        auto operator<=>(const Identity&) const = default;
    };
    static Identity IdentityOf(const SignalRecord& s);
    void Erase(iterator at);

    std::list<BarRecord> records_;
    std::map<Identity, iterator> index_;     // ordered: no input makes a lookup slow
    std::array<std::size_t, 256> counts_{};  // by instrument byte
};

}  // namespace zq
