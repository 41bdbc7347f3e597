// The open sessions: the key a member logged in with → that member. One session per member; a
// newer login of the same member ends the older one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/keys.h"

namespace zq::server {

struct SessionInfo {
    Key key{};
    std::int64_t memberId = 0;
    std::string memberName;  // UTF-8
    std::int32_t accountClass = 0;
    std::chrono::system_clock::time_point started{};
};

class SessionTable {
  public:
    // Called, outside the table's lock, with a session that a newer login of its member has
    // replaced (the push link tells that client it is offline).
    using ReplacedListener = std::function<void(const SessionInfo& replaced)>;
    void AddReplacedListener(ReplacedListener listener);

    // Opens a session under `info.key`. An older session of the same member, or one under the
    // same key, ends; the listeners hear of an older session of the member.
    void Begin(SessionInfo info);
    // Ends the session under `key`; false when there is none.
    bool End(const Key& key);

    std::optional<SessionInfo> Find(const Key& key) const;
    std::optional<SessionInfo> FindMember(std::int64_t memberId) const;
    bool Contains(const Key& key) const;
    std::size_t Size() const;

  private:
    mutable std::mutex mutex_;
    std::unordered_map<Key, SessionInfo, KeyHash> byKey_;
    std::unordered_map<std::int64_t, Key> byMember_;
    std::vector<ReplacedListener> listeners_;
};

}  // namespace zq::server
