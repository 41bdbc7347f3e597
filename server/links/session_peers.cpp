#include "server/links/session_peers.h"

#include <algorithm>

namespace zq::server {

void SessionPeers::Note(const Key& key, std::uint32_t address) {
    if (address == 0) return;
    std::lock_guard lock(mutex_);
    auto it = peers_.find(key);
    if (it == peers_.end()) {
        if (peers_.size() >= kMaxSessions) {
            std::erase_if(peers_,
                          [&](const auto& entry) { return !sessions_.Contains(entry.first); });
            if (peers_.size() >= kMaxSessions) return;
        }
        it = peers_.emplace(key, std::vector<std::uint32_t>{}).first;
    }
    std::vector<std::uint32_t>& addresses = it->second;
    if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) return;
    // The newest addresses stay.
    if (addresses.size() >= kAddressesPerSession) addresses.erase(addresses.begin());
    addresses.push_back(address);
}

bool SessionPeers::HoldsSession(std::int64_t memberId, std::uint32_t address) const {
    if (address == 0) return false;
    const std::optional<SessionInfo> session = sessions_.FindMember(memberId);
    if (!session) return false;
    std::lock_guard lock(mutex_);
    auto it = peers_.find(session->key);
    return it != peers_.end() &&
           std::find(it->second.begin(), it->second.end(), address) != it->second.end();
}

}  // namespace zq::server
