// The stand-in server as a child process for end-to-end tests: ports picked by the system, a
// fresh database in a temporary directory, the server's log kept beside it.
//
//   ServerProcess server({"--fixed-code", "AB12"});
//   ASSERT_TRUE(server.Running()) << server.Error();
//   auto session = LoginAs(server.requestPort(), "demo", "demo", "AB12");
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "market/wire/bar_record.h"
#include "net/wire/framing.h"
#include "net/wire/login_records.h"
#include "net/wire/socket.h"

namespace zq::test {

class ServerProcess {
  public:
    // The server is told to end when the thread that started it ends, so start it from the
    // thread that runs the test.
    //
    // Starts build/bin/zq-server with ports 0 and --ports-file, --db in a fresh temporary
    // directory, --auto-signals 0, --trading-hours always, --demo-members and --web-port on a
    // free port, then
    // `extraArgs` (which may turn them back, e.g. {"--trading-hours", "standard"} or
    // {"--web-port", "0"}); returns once the request port accepts (or the start failed: see
    // Running() and Error()).
    explicit ServerProcess(std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Running() const { return pid_ > 0; }
    // Why the last start failed, with the tail of the server's log.
    const std::string& Error() const { return error_; }

    std::uint16_t requestPort() const { return ports_[0]; }
    std::uint16_t pushPort() const { return ports_[1]; }
    std::uint16_t dataPort() const { return ports_[2]; }
    const std::string& dbPath() const { return dbPath_; }
    const std::string& directory() const { return dir_; }
    const std::string& logPath() const { return logPath_; }
    // The control port of a server started with "--control-port 0" (the fourth number of its
    // ports file); 0 when it has none.
    std::uint16_t controlPort() const;
    // The port of the server's web pages (the fifth number of its ports file); 0 when they are
    // off.
    std::uint16_t webPort() const { return webPort_; }
    // "http://127.0.0.1:PORT", the base of the server's web pages.
    std::string webBase() const;
    // Everything the server has written to stderr so far.
    std::string Log() const;

    // Sends SIGTERM and waits for the exit (SIGKILL if it hangs). True when the server had
    // been running and ended by itself with status 0.
    bool Stop();
    // A crash: SIGKILL, then waits for the end. The server says nothing to its links and saves
    // nothing beyond what its store had committed. True when it had been running and the
    // signal ended it.
    bool Kill();
    // Stops (unless Stop or Kill already ended it) and starts again on the same database and,
    // when they are free, the same ports.
    bool Restart();

  private:
    // Starts on `ports` and, when it is free, the web port `web` (0: a free one).
    bool Start(const std::array<std::uint16_t, 3>& ports, std::uint16_t web);
    bool StartOnce(const std::array<std::uint16_t, 3>& ports, std::uint16_t web);

    std::vector<std::string> extraArgs_;
    std::string dir_, dbPath_, logPath_, portsPath_, error_;
    std::array<std::uint16_t, 3> ports_{};
    std::uint16_t webPort_ = 0;
    pid_t pid_ = -1;
};

// Points the client's web pages (ZQ_WEB_BASE) at the server's, for a test that opens them.
// Call it after making the ClientEnvironment (and after each Repoint), which point them at a
// host that does not exist; the environment's end clears them.
void PointClientWebAt(const ServerProcess& server);

// A connection to 127.0.0.1:`port` with a read time-out, so a silent server fails a test
// instead of hanging it; invalid when the connect fails.
Socket ConnectLocal(std::uint16_t port, int readTimeoutMs = 10000);
// A connection to the server's `port` on 127.0.0.1 made from the loopback address `from`
// ("127.0.0.2" is a peer of its own to the server); invalid when it cannot be made.
Socket ConnectFrom(const char* from, std::uint16_t port, int readTimeoutMs = 20000);

// A header with the command and the session words (AccountClass last).
RequestHeader Header(std::int32_t command, const std::array<std::int32_t, 4>& key = {},
                     std::int32_t accountClass = 0);

struct VerificationAnswer {
    std::vector<std::uint8_t> pixels;  // kVerifyImageBytes
    std::array<std::int32_t, 4> key{};
};
// Command 5 on an open connection; nothing when the answer is short.
std::optional<VerificationAnswer> FetchVerification(Socket& s);

// Command 6 on an open connection with texts in UTF-8 (converted to code page 936 as the
// client sends them); nothing when the answer is short.
std::optional<LoginReply> SendLogin(Socket& s, const std::string& name, const std::string& password,
                                    const std::string& code,
                                    const std::array<std::int32_t, 4>& key);

struct LoggedIn {
    std::array<std::int32_t, 4> key{};  // the session key every later header carries
    std::int32_t accountClass = 0;
    std::int32_t programTrading = 0;
    std::int32_t result = 0;
};
// Fetches an image and logs in with `code` (the server's --fixed-code) on one connection;
// nothing unless the login succeeds.
std::optional<LoggedIn> LoginAs(std::uint16_t requestPort, const std::string& name,
                                const std::string& password, const std::string& code);

// One line on a new connection to the control port, after the "auth" line with the port's
// secret; the answer line without its line end (the refusal when the secret is refused), or ""
// when the connection fails.
std::string ControlCommand(std::uint16_t controlPort, const std::string& line);
// The control secret of a port a ServerProcess listens on ("" for another port).
std::string ControlSecret(std::uint16_t controlPort);

// One item of the push link: the type and, for a market record (1), the record, for an instant
// message (2), its fields.
struct PushFrame {
    std::int32_t type = 0;
    BarRecord record{};
    std::int32_t more = 0, time = 0;
    std::string text;  // as sent (GBK)
};
// Reads one push item with its body; nothing when the link closes, fails or stays silent
// beyond the socket's read time-out.
std::optional<PushFrame> ReadPushFrame(Socket& s);
// A push link opened with the subscribe header of `key`; invalid when the connect fails.
Socket SubscribePush(std::uint16_t pushPort, const std::array<std::int32_t, 4>& key,
                     int readTimeoutMs = 10000);

// Reads once more: true when the peer has closed the connection (the read gives 0), false when
// bytes arrive, the connection fails or the read times out.
bool PeerClosed(Socket& s);

// A history transfer on the data link.
struct HistoryReply {
    std::int32_t length = 0;
    std::vector<std::size_t> itemSizes;  // uncompressed size of each zip item, in order
    std::vector<BarRecord> bars;         // every whole record of every item, in order
    BarKey trailer{};
    bool unzipped = true;  // false when the archive could not be read
};
// Sends the history request (header command, then the two keys in 13-byte fields) and reads
// the answer; nothing when the connection fails or the answer is cut short.
std::optional<HistoryReply> RequestHistory(std::uint16_t dataPort, std::int32_t command,
                                           const std::string& keyA, const std::string& keyB,
                                           const std::array<std::int32_t, 4>& key = {});

}  // namespace zq::test
