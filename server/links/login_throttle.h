// Failed logins slow the next ones down, with delays that grow with every failure and are
// forgotten a quarter of an hour after the last one:
//
// - One address guessing one member name: after kFreePairFailures failures its attempts on
//   that name take turns 1, 2, 4, … seconds apart (at most kMaxPairDelay). An attempt whose turn
//   lies more than kMaxHold ahead is refused at once, its password not checked. So an address
//   guesses a member's password at most once a kMaxPairDelay, however many connections it
//   opens, while the other members behind that address (an office) log in as before.
// - One member name, from any address: after kFreeMemberFailures failures each attempt waits
//   1, 2, 4, … seconds (at most kMaxHold) before its check. A guesser spread over many
//   addresses is slowed; the real member is held for those seconds, never locked out.
// - One address, any names: after kFreeAddressFailures failures each attempt waits likewise,
//   and at most kMaxHeldPerAddress attempts of the address are held at once (more are refused
//   at once), so guessing many names from one address is slowed too.
// A successful login forgets the failures of its member name (and of the name at that
// address), not those of the address. The tables are bounded (kMaxEntries each): the stalest
// entries go first.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zq::server {

class LoginThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kFreePairFailures = 3;
    static constexpr int kFreeMemberFailures = 5;
    static constexpr int kFreeAddressFailures = 20;
    static constexpr std::chrono::seconds kMaxPairDelay{60};
    // The longest an attempt is held before its check: below the client's 15-second wait for
    // an answer, with time to spare for the hashing.
    static constexpr std::chrono::seconds kMaxHold{8};
    static constexpr std::size_t kMaxHeldPerAddress = 8;
    static constexpr std::chrono::minutes kForgetAfter{15};
    static constexpr std::size_t kMaxEntries = 65536;

    struct Turn {
        bool admitted = true;    // false: refused at once
        Clock::duration wait{};  // how long to hold the attempt before checking the password
    };

    // Takes the attempt's turn.
    Turn Admit(const std::string& member, const std::string& address, Clock::time_point now);
    void Failed(const std::string& member, const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& member, const std::string& address);

  private:
    struct Entry {
        int failures = 0;
        Clock::time_point last{};              // of the last failure
        Clock::time_point next{};              // a pair's next turn
        std::deque<Clock::time_point> held{};  // an address's held attempts, until when
    };
    using Table = std::unordered_map<std::string, Entry>;

    static Clock::duration Delay(const Entry& e, int free, Clock::duration cap);
    // The entry of `key`, fresh when its failures are forgotten; makes room when full.
    static Entry& At(Table& table, const std::string& key, Clock::time_point now);

    std::mutex mutex_;
    Table pairs_, members_, addresses_;
};

}  // namespace zq::server
