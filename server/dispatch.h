// Requests on the request port: the context a handler gets, and the table from command code to
// handler.
//
// A handler reads its payload through the context, answers, and says whether the connection
// goes on to the next request. A payload that does not arrive in full, or anything else the
// handler cannot make sense of, closes the connection (return Next::Close); the server answers
// nothing to a request it cannot read.
//
// Each group of commands lives in its own file with one function that adds its handlers to the
// table (see handlers.h); BuildRequestCommands() in dispatch.cpp calls every such function.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "net/wire/framing.h"
#include "net/wire/socket.h"
#include "server/log.h"
#include "server/server_state.h"

namespace zq::server {

enum class Next { Continue, Close };

class RequestContext {
  public:
    // The payload must have arrived by `deadline`.
    RequestContext(ServerState& state, Socket& socket, const RequestHeader& header,
                   ConnectionLog& log,
                   std::chrono::steady_clock::time_point deadline =
                       std::chrono::steady_clock::time_point::max())
        : state_(state), socket_(socket), header_(header), log_(log), deadline_(deadline) {}

    ServerState& State() { return state_; }
    const RequestHeader& Header() const { return header_; }
    Key HeaderKey() const { return KeyOf(header_); }

    // Reads exactly `size` payload bytes; false when the peer closes first or the bytes are not
    // there by the request's deadline.
    bool ReadPayload(void* buffer, int size);
    template <typename Record>
    bool ReadRecord(Record& record) {
        return ReadPayload(&record, static_cast<int>(sizeof record));
    }

    // Sends bytes of the answer; false when the peer is gone.
    bool Send(const void* data, std::size_t size);
    template <typename Value>
    bool SendValue(const Value& value) {
        return Send(&value, sizeof value);
    }

    // The peer's IPv4 address, network order; 0 when it cannot be told.
    std::uint32_t PeerAddress() const;

    // The session named by the header's key, if it is open. The peer's address is noted for
    // the session (SessionPeers).
    std::optional<SessionInfo> Session() const;

    // Adds "<code> <text>" for this request to the connection's log line.
    void Note(const std::string& text);

  private:
    ServerState& state_;
    Socket& socket_;
    const RequestHeader& header_;
    ConnectionLog& log_;
    const std::chrono::steady_clock::time_point deadline_;
};

using Handler = Next (*)(RequestContext&);

struct CommandEntry {
    const char* name;
    Handler handler;
};

class CommandTable {
  public:
    // Adds a handler; a code can have only one (a second Add for it throws at start-up).
    void Add(std::int32_t code, const char* name, Handler handler);
    const CommandEntry* Find(std::int32_t code) const;
    std::size_t Size() const { return entries_.size(); }

  private:
    std::unordered_map<std::int32_t, CommandEntry> entries_;
};

// The request port's table, with every command group registered.
CommandTable BuildRequestCommands();

}  // namespace zq::server
