// A loopback TCP server for tests that answers each connection with a scripted handler: short
// answers, garbage, early closes, silence.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/wire/framing.h"
#include "net/wire/socket.h"

namespace zq::test {

class ScriptServer {
  public:
    // The handler runs on the server's thread, once per accepted connection, in order.
    using Handler = std::function<void(Socket& peer, int connectionIndex)>;

    explicit ScriptServer(Handler handler);
    ~ScriptServer();

    std::uint16_t Port() const { return port_; }
    int Connections() const { return connections_.load(); }

    // Points the client's request port and server address at this server.
    void UseAsRequestPort() const;
    // Points the client's push port at this server.
    void UseAsPushPort() const;
    // Points the client's data port (history transfers) at this server.
    void UseAsDataPort() const;
    // Points the client's web base address at this server ("http://127.0.0.1:<port>").
    void UseAsWebBase() const;

    // Reads one request header; false when it does not arrive in full.
    static bool ReadHeader(Socket& peer, RequestHeader& header);
    // Passes bytes both ways between `client` and `server` until either side ends, calling
    // `hold` (when given) before each part of the server's answer goes on; false from it ends
    // the passing.
    static void Pipe(Socket& client, Socket& server, const std::function<bool()>& hold = {});

  private:
    void Run();

    Handler handler_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// The request port between the client and the stand-in server at `serverPort`. The requests of
// each connection go on to the server and their answers come back, except those of the commands
// that have a rule: such a request is read whole (header and payload) and the rule answers it,
// asking the server itself when it needs to. The first request of a command without a rule ends
// the reading: the rest of that connection passes through as it is.
class RequestRelay {
  public:
    class Exchange {
      public:
        RequestHeader header{};
        std::string payload;
        // The connection to the stand-in server, opened on first use; invalid when it cannot be.
        Socket& Server();
        // Sends the request on to the server and reads `bytes` of its answer; nothing when
        // the answer does not arrive whole.
        std::optional<std::string> Ask(std::size_t bytes);
        // The same for an answer that is a counted list of `recordSize`-byte records: the count
        // and the records.
        std::optional<std::string> AskList(std::size_t recordSize);

      private:
        friend class RequestRelay;
        bool SendOn();
        std::uint16_t port_ = 0;
        Socket server_;
    };
    // The bytes the client gets; nothing closes its connection without an answer.
    using Rule = std::function<std::optional<std::string>(Exchange& exchange)>;
    struct Command {
        std::size_t payloadBytes = 0;
        Rule answer;
    };

    RequestRelay(std::uint16_t serverPort, std::map<std::int32_t, Command> commands);

    void UseAsRequestPort() const { script_.UseAsRequestPort(); }
    int Connections() const { return script_.Connections(); }
    // How many requests of `command` a rule has answered.
    int Answered(std::int32_t command) const;

    // A rule that passes a counted list of `recordSize`-byte records through unchanged.
    static Command PassList(std::size_t payloadBytes, std::size_t recordSize);
    // A counted list of records as the server sends it: the int32 count, then the records.
    template <typename Record>
    static std::string CountedList(const std::vector<Record>& records) {
        std::string bytes(4 + records.size() * sizeof(Record), '\0');
        const auto count = static_cast<std::int32_t>(records.size());
        std::memcpy(bytes.data(), &count, 4);
        if (!records.empty())
            std::memcpy(bytes.data() + 4, records.data(), records.size() * sizeof(Record));
        return bytes;
    }
    // The records of a counted list (as AskList answers it).
    template <typename Record>
    static std::vector<Record> Records(const std::string& list) {
        std::vector<Record> records((list.size() - 4) / sizeof(Record));
        if (!records.empty())
            std::memcpy(records.data(), list.data() + 4, records.size() * sizeof(Record));
        return records;
    }

  private:
    void Serve(Socket& client);

    const std::uint16_t serverPort_;
    const std::map<std::int32_t, Command> commands_;
    mutable std::mutex mutex_;
    std::map<std::int32_t, int> answered_;
    ScriptServer script_;  // last: its thread ends before the rules go
};

// A loopback port that listens but lets no connection in, as a server whose port drops every
// SYN: its queue is full of connects of its own that it never accepts, so a client's connect
// waits for its time-out.
class FullQueuePort {
  public:
    FullQueuePort();
    ~FullQueuePort();
    FullQueuePort(const FullQueuePort&) = delete;
    FullQueuePort& operator=(const FullQueuePort&) = delete;

    std::uint16_t Port() const { return port_; }
    // Ends the connects of its own and empties the queue: the next retry of a connect that
    // waits gets in.
    void Admit();
    // The next connection let in after Admit, waiting at most `ms` for it; invalid when none
    // came.
    Socket Accept(int ms);

  private:
    // One connection from the queue unless it is empty; the port's own connects are closed.
    Socket TakeQueued(int waitMs);

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> own_;                 // the connects that fill the queue
    std::vector<std::uint16_t> ownPorts_;  // their local ports
    std::vector<Socket> admitted_;         // let in while Admit emptied the queue
};

}  // namespace zq::test
