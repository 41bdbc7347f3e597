// The peer addresses each open session has made requests from. The equity-curve page of a
// member is shown only to an address that holds the member's open session: the client that
// logged in asks for it from the same machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "server/links/keys.h"
#include "server/links/sessions.h"

namespace zq::server {

class SessionPeers {
  public:
    // Addresses kept for one session; keys kept at once (those of ended sessions go first).
    static constexpr std::size_t kAddressesPerSession = 8;
    static constexpr std::size_t kMaxSessions = 8192;

    explicit SessionPeers(const SessionTable& sessions) : sessions_(sessions) {}
    SessionPeers(const SessionPeers&) = delete;
    SessionPeers& operator=(const SessionPeers&) = delete;

    // A request under the open session `key` came from `address` (IPv4, network order; 0 is
    // not remembered).
    void Note(const Key& key, std::uint32_t address);
    // Whether the member's open session has made a request from `address`.
    bool HoldsSession(std::int64_t memberId, std::uint32_t address) const;

  private:
    const SessionTable& sessions_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, std::vector<std::uint32_t>, KeyHash> peers_;
};

}  // namespace zq::server
