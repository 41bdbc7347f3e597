// The open sessions in the store (table `sessions`), so that a server started again after a
// crash knows its clients' sessions. The table holds what the session table holds: a row per
// open session, one per member, written as each session opens and deleted as it ends. A row
// keeps the digest of the session's key (DigestOf), never the key itself, and when the session
// was last used.
#pragma once

#include <string>
#include <vector>

#include "server/links/sessions.h"
#include "server/store/store.h"

namespace zq::server {

// Schema step: the sessions table.
bool CreateSessionTable(Store& store, sqlite3* db, std::string* error);
// Schema step: the keys give way to their digests, and each row gains when it was last used.
bool HashSessionKeys(Store& store, sqlite3* db, std::string* error);

// The session table's journal in the store. A write that fails is logged; the session stays
// open in memory (only a crash would lose it).
class StoredSessions : public SessionJournal {
  public:
    explicit StoredSessions(Store& store) : store_(store) {}
    void Opened(const SessionInfo& info) override;
    void Ended(const Key& key) override;
    void EndedDigest(const KeyDigest& digest) override;
    void Seen(const std::vector<std::pair<KeyDigest, std::chrono::system_clock::time_point>>& seen)
        override;

  private:
    Store& store_;
};

// The stored sessions of members that exist and may log in (state 1 or 4), oldest first, known
// by their digests (the key is zero). Rows of anyone else are deleted: those sessions do not
// come back.
std::vector<SessionInfo> LoadStoredSessions(Store& store);

}  // namespace zq::server
