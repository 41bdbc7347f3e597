// The open sessions in the store (table `sessions`), so that a server started again after a
// crash knows its clients' keys. The table holds what the session table holds: a row per open
// session, one per member, written as each session opens and deleted as it ends.
#pragma once

#include <string>
#include <vector>

#include "server/sessions.h"
#include "server/store.h"

namespace zq::server {

// Schema step: the sessions table.
bool CreateSessionTable(Store& store, sqlite3* db, std::string* error);

// The session table's journal in the store. A write that fails is logged; the session stays
// open in memory (only a crash would lose it).
class StoredSessions : public SessionJournal {
  public:
    explicit StoredSessions(Store& store) : store_(store) {}
    void Opened(const SessionInfo& info) override;
    void Ended(const Key& key) override;

  private:
    Store& store_;
};

// The stored sessions of members that exist and may log in (state 1 or 4), oldest first. Rows
// of anyone else are deleted: those sessions do not come back.
std::vector<SessionInfo> LoadStoredSessions(Store& store);

}  // namespace zq::server
