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

#include "net/login_records.h"
#include "net/socket.h"
#include "net/wire.h"

namespace zq::test {

class ServerProcess {
  public:
    // The server is told to end when the thread that started it ends, so start it from the
    // thread that runs the test.
    //
    // Starts build/bin/zq-server with ports 0 and --ports-file, --db in a fresh temporary
    // directory, then `extraArgs`; returns once the request port accepts (or the start failed:
    // see Running() and Error()).
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
    // Everything the server has written to stderr so far.
    std::string Log() const;

    // Sends SIGTERM and waits for the exit (SIGKILL if it hangs). True when the server had
    // been running and ended by itself with status 0.
    bool Stop();
    // Stops and starts again on the same database and, when they are free, the same ports.
    bool Restart();

  private:
    bool Start(const std::array<std::uint16_t, 3>& ports);

    std::vector<std::string> extraArgs_;
    std::string dir_, dbPath_, logPath_, portsPath_, error_;
    std::array<std::uint16_t, 3> ports_{};
    pid_t pid_ = -1;
};

// A connection to 127.0.0.1:`port` with a read time-out, so a silent server fails a test
// instead of hanging it; invalid when the connect fails.
Socket ConnectLocal(std::uint16_t port, int readTimeoutMs = 10000);

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

}  // namespace zq::test
