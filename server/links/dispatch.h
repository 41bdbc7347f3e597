// Requests on the request port: the context a handler gets, and the table from command code to
// handler.
//
// A handler reads its payload through the context, answers, and says whether the connection
// goes on to the next request. Anything the handler cannot make sense of closes the connection
// (return Next::Close); the server answers nothing to a request it cannot read. A payload that
// does not arrive in full within the request's deadline closes the connection before any
// handler runs.
//
// Each group of commands lives in its own file with one function that adds its handlers to the
// table (see handlers.h); BuildRequestCommands() in dispatch.cpp calls every such function.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/wire/framing.h"
#include "server/links/listener.h"
#include "server/links/server_state.h"
#include "server/store/log.h"

namespace zq::server {

enum class Next { Continue, Close };

// A request whose header and whole payload have arrived: the handler reads the payload from
// the context and its answer collects there, to go out in one send after the handler.
class RequestContext {
  public:
    RequestContext(ServerState& state, NetLoop& loop, const RequestHeader& header,
                   ConnectionLog& log, std::uint32_t peerAddress, std::string_view payload,
                   std::string& answer)
        : state_(state),
          loop_(loop),
          header_(header),
          log_(log),
          peerAddress_(peerAddress),
          payload_(payload),
          answer_(answer) {}

    ServerState& State() { return state_; }
    // The loop's worker pools, for the parts of an awaiting handler that block.
    NetLoop& Loop() { return loop_; }
    const RequestHeader& Header() const { return header_; }
    Key HeaderKey() const { return KeyOf(header_); }

    // Reads the next `size` payload bytes; false when the payload has fewer left.
    bool ReadPayload(void* buffer, int size);
    template <typename Record>
    bool ReadRecord(Record& record) {
        return ReadPayload(&record, static_cast<int>(sizeof record));
    }
    // The payload bytes no read has taken.
    std::size_t PayloadLeft() const { return payload_.size() - read_; }

    // Adds bytes to the answer; true (the answer goes out after the handler).
    bool Send(const void* data, std::size_t size);
    template <typename Value>
    bool SendValue(const Value& value) {
        return Send(&value, sizeof value);
    }

    // The peer's IPv4 address, network order; 0 when it cannot be told.
    std::uint32_t PeerAddress() const { return peerAddress_; }

    // The session named by the header's key, if it is open. The peer's address is noted for
    // the session (SessionPeers).
    std::optional<SessionInfo> Session() const;

    // Adds "<code> <text>" for this request to the connection's log line.
    void Note(const std::string& text);

  private:
    ServerState& state_;
    NetLoop& loop_;
    const RequestHeader& header_;
    ConnectionLog& log_;
    const std::uint32_t peerAddress_;
    const std::string_view payload_;
    std::size_t read_ = 0;
    std::string& answer_;
};

using Handler = Next (*)(RequestContext&);
// A handler that waits without holding a thread: it runs on the connection's strand and awaits
// what it hands on (the execution engine's commit). It must not block.
using AwaitingHandler = asio::awaitable<Next> (*)(RequestContext&);

struct CommandEntry {
    const char* name;
    // Every command's payload has a fixed size: the whole of it arrives before the handler runs.
    std::size_t payloadSize;
    Handler handler = nullptr;           // on the worker pool
    AwaitingHandler awaiting = nullptr;  // instead of `handler`
};

class CommandTable {
  public:
    // Adds a handler whose payload is `payloadSize` bytes; a code can have only one (a second
    // Add for it throws at start-up).
    void Add(std::int32_t code, const char* name, std::size_t payloadSize, Handler handler);
    void Add(std::int32_t code, const char* name, std::size_t payloadSize,
             AwaitingHandler awaiting);
    const CommandEntry* Find(std::int32_t code) const;
    std::size_t Size() const { return entries_.size(); }

  private:
    void Add(const CommandEntry& entry, std::int32_t code);

    std::unordered_map<std::int32_t, CommandEntry> entries_;
};

// The request port's table, with every command group registered.
CommandTable BuildRequestCommands();

}  // namespace zq::server
