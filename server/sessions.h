// The open sessions: the key a member logged in with → that member. One session per member; a
// newer login of the same member ends the older one.
//
// A table may keep a journal (SessionJournal): every session it opens or ends is written there
// as well, in the order the table changed, so that a server started again after a crash can
// load the sessions back (Load) and its clients go on with their keys.
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

// Where a table keeps its sessions beyond the process. Called outside the table's lock but one
// change at a time, in the table's order.
class SessionJournal {
  public:
    virtual ~SessionJournal() = default;
    // `info` is open: any older session of its member, and any under its key, are gone.
    virtual void Opened(const SessionInfo& info) = 0;
    // The session under `key` has ended.
    virtual void Ended(const Key& key) = 0;
};

class SessionTable {
  public:
    // Without a journal the sessions live only as long as the table.
    explicit SessionTable(SessionJournal* journal = nullptr) : journal_(journal) {}
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    // Called, outside the table's lock, with a session that a newer login of its member has
    // replaced (the push link tells that client it is offline).
    using ReplacedListener = std::function<void(const SessionInfo& replaced)>;
    void AddReplacedListener(ReplacedListener listener);

    // Opens a session under `info.key`. An older session of the same member, or one under the
    // same key, ends; the listeners hear of an older session of the member.
    void Begin(SessionInfo info);
    // Ends the session under `key`; false when there is none.
    bool End(const Key& key);
    // Takes in sessions that were open before (from the journal), as Begin would but without
    // telling the journal or the listeners; a later one of the same member or key wins.
    void Load(const std::vector<SessionInfo>& sessions);

    std::optional<SessionInfo> Find(const Key& key) const;
    std::optional<SessionInfo> FindMember(std::int64_t memberId) const;
    bool Contains(const Key& key) const;
    std::size_t Size() const;

  private:
    // Both under mutex_: drops the session under `key` and the member's session; the member's
    // older session when there was one.
    std::optional<SessionInfo> Insert(SessionInfo info);

    SessionJournal* const journal_;
    // Held across a change and its journal entry, so the journal sees the table's order; the
    // lookups need only mutex_ and never wait for the journal.
    std::mutex changeMutex_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, SessionInfo, KeyHash> byKey_;
    std::unordered_map<std::int64_t, Key> byMember_;
    std::vector<ReplacedListener> listeners_;
};

}  // namespace zq::server
