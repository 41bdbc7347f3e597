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
#include <utility>
#include <vector>

#include "server/links/keys.h"

namespace zq::server {

struct SessionInfo {
    Key key{};  // all zero for a session loaded from the store that no one has named since
    std::int64_t memberId = 0;
    std::string memberName;  // UTF-8
    std::int32_t accountClass = 0;
    std::chrono::system_clock::time_point started{};
    // A session loaded from the store is known by its key's digest until a request names it.
    KeyDigest digest{};
    // The session's last request or push link (kept in the store now and then).
    std::chrono::system_clock::time_point lastSeen{};
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
    // A loaded session that no request named has ended (it expired, or its member was logged
    // out); `digest` is its key's.
    virtual void EndedDigest(const KeyDigest& /*digest*/) {}
    // These sessions were in use at these times.
    virtual void Seen(
        const std::vector<std::pair<KeyDigest, std::chrono::system_clock::time_point>>&
        /*seen*/) {}
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
    // telling the journal or the listeners; a later one of the same member or key wins. A
    // session with a zero key is known by its digest until Find or Contains names its key.
    // Each counts as seen now: the time the server was down is not idle time.
    void Load(const std::vector<SessionInfo>& sessions);

    // Sessions unused for longer than `idle` expire; 0 (the default): never.
    void SetIdleLimit(std::chrono::milliseconds idle);
    // Ends the sessions idle beyond the limit, except those named in `linked` (their push links
    // are open: they count as seen now); the journal hears the ends and when the others were
    // last seen. The sessions that ended.
    std::vector<SessionInfo> Sweep(std::chrono::system_clock::time_point now,
                                   const std::vector<Key>& linked);

    // A session found counts as seen; one idle beyond the limit is not found (Sweep ends it).
    std::optional<SessionInfo> Find(const Key& key) const;
    std::optional<SessionInfo> FindMember(std::int64_t memberId) const;
    bool Contains(const Key& key) const;
    // Ends the member's session; false when it has none.
    bool EndMember(std::int64_t memberId);
    std::size_t Size() const;

  private:
    // Both under mutex_: drops the session under `key` and the member's session; the member's
    // older session when there was one.
    std::optional<SessionInfo> Insert(SessionInfo info);
    // Under mutex_: the open session under `key` (a loaded one named for the first time moves to
    // the keyed map), or null; not when idle beyond the limit. Marks it seen.
    SessionInfo* Lookup(const Key& key) const;
    bool Expired(const SessionInfo& s, std::chrono::system_clock::time_point now) const;

    SessionJournal* const journal_;
    std::chrono::milliseconds idle_{0};
    // Held across a change and its journal entry, so the journal sees the table's order; the
    // lookups need only mutex_ and never wait for the journal.
    std::mutex changeMutex_;
    mutable std::mutex mutex_;
    // Lookups move loaded sessions from `restored_` to `byKey_` and mark sessions seen.
    mutable std::unordered_map<Key, SessionInfo, KeyHash> byKey_;
    mutable std::unordered_map<std::int64_t, Key> byMember_;
    // Loaded sessions not yet named, by key digest and by member.
    mutable std::unordered_map<KeyDigest, SessionInfo, KeyDigestHash> restored_;
    mutable std::unordered_map<std::int64_t, KeyDigest> restoredByMember_;
    std::vector<ReplacedListener> listeners_;
};

}  // namespace zq::server
