#include "server/links/login_throttle.h"

#include <algorithm>

namespace zq::server {
namespace {

std::string PairKey(const std::string& member, const std::string& address) {
    return address + '\n' + member;
}

}  // namespace

LoginThrottle::Clock::duration LoginThrottle::Delay(const Entry& e, int free, Clock::duration cap) {
    if (e.failures < free) return Clock::duration::zero();
    const int doublings = std::min(e.failures - free, 30);
    return std::min<Clock::duration>(std::chrono::seconds(1LL << doublings), cap);
}

LoginThrottle::Entry& LoginThrottle::At(Table& table, const std::string& key,
                                        Clock::time_point now) {
    if (table.size() >= kMaxEntries && !table.contains(key)) {
        std::erase_if(table, [&](const auto& e) {
            return now - e.second.last > kForgetAfter && e.second.next <= now;
        });
        while (table.size() >= kMaxEntries) {
            table.erase(std::min_element(table.begin(), table.end(), [](auto& a, auto& b) {
                return a.second.last < b.second.last;
            }));
        }
    }
    Entry& e = table[key];
    if (e.failures > 0 && now - e.last > kForgetAfter) {
        e.failures = 0;
        e.next = {};
    }
    while (!e.held.empty() && e.held.front() <= now) e.held.pop_front();
    return e;
}

LoginThrottle::Turn LoginThrottle::Admit(const std::string& member, const std::string& address,
                                         Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& pair = At(pairs_, PairKey(member, address), now);
    const Clock::time_point turn = std::max(now, pair.next);
    if (turn - now > kMaxHold) return Turn{false, {}};
    Entry& byAddress = At(addresses_, address, now);
    const Clock::duration addressWait = Delay(byAddress, kFreeAddressFailures, kMaxHold);
    if (addressWait > Clock::duration::zero() && byAddress.held.size() >= kMaxHeldPerAddress)
        return Turn{false, {}};
    const Entry& byMember = At(members_, member, now);
    const Clock::duration wait = std::min<Clock::duration>(
        std::max({turn - now, addressWait, Delay(byMember, kFreeMemberFailures, kMaxHold)}),
        kMaxHold);
    pair.next = turn + Delay(pair, kFreePairFailures, kMaxPairDelay);
    if (wait > Clock::duration::zero()) {
        // Kept in order of their end, so the ones that are over leave from the front.
        byAddress.held.insert(
            std::upper_bound(byAddress.held.begin(), byAddress.held.end(), now + wait), now + wait);
    }
    return Turn{true, wait};
}

void LoginThrottle::Failed(const std::string& member, const std::string& address,
                           Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto [table, key] : {std::pair{&pairs_, PairKey(member, address)},
                              std::pair{&members_, member}, std::pair{&addresses_, address}}) {
        Entry& e = At(*table, key, now);
        ++e.failures;
        e.last = now;
    }
    // The pair's next turn comes no sooner than its new delay after this failure.
    Entry& pair = pairs_[PairKey(member, address)];
    pair.next = std::max(pair.next, now + Delay(pair, kFreePairFailures, kMaxPairDelay));
}

void LoginThrottle::Succeeded(const std::string& member, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    members_.erase(member);
    pairs_.erase(PairKey(member, address));
}

}  // namespace zq::server
