// The running server on real sockets: version check, the login results, several requests on
// one connection, bad requests that close only their own connection, shutdown and restart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "server/store/store.h"
#include "tests/support/server_process.h"

namespace zq {
namespace {

using test::ConnectLocal;
using test::FetchVerification;
using test::Header;
using test::SendLogin;
using test::ServerProcess;

constexpr const char* kCode = "AB12";

std::optional<std::int32_t> Version(std::uint16_t port) {
    Socket s = ConnectLocal(port);
    RequestHeader h = Header(cmd::VersionCheck);
    std::int32_t v = 0;
    if (!s.Valid() || s.Send(&h, sizeof h) != static_cast<int>(sizeof h) ||
        ReceiveExact(s, &v, 4) != 4)
        return std::nullopt;
    return v;
}

// True when the server closes the connection (rather than answering or leaving it open).
bool ClosedByServer(Socket& s) {
    char b[4096];
    for (;;) {
        int n = s.Recv(b, sizeof b);
        if (n == 0) return true;
        // A time-out means it is still open; a reset is the server closing too (a connection
        // still waiting to be accepted when the server stops is reset).
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

class ServerWireTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new ServerProcess({"--fixed-code", kCode}); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server_->Running()) << server_->Error(); }
    void TearDown() override {
        // Whatever a case did, the server still answers a fresh connection.
        EXPECT_EQ(Version(port()), ProgramVersion) << server_->Log();
    }

    static std::uint16_t port() { return server_->requestPort(); }

    // One login attempt with a fresh image; the result, or nothing on a short answer.
    static std::optional<LoginReply> Attempt(const std::string& name, const std::string& password,
                                             const std::string& code = kCode) {
        Socket s = ConnectLocal(port());
        auto image = FetchVerification(s);
        if (!image) return std::nullopt;
        return SendLogin(s, name, password, code, image->key);
    }

    static ServerProcess* server_;
};
ServerProcess* ServerWireTest::server_ = nullptr;

TEST_F(ServerWireTest, VersionCheckAnswersTheVersionNumber) {
    // The version-check header carries 24 at offset 10; the server answers it all the same.
    Socket s = ConnectLocal(port());
    RequestHeader h = MakeVersionHeader();
    ASSERT_EQ(s.Send(&h, sizeof h), 24);
    std::int32_t v = 0;
    ASSERT_EQ(ReceiveExact(s, &v, 4), 4);
    EXPECT_EQ(v, 12123111);
}

TEST_F(ServerWireTest, LoginResultsFollowTheMembersStates) {
    struct Case {
        const char* name;
        const char* password;
        std::int32_t result, accountClass, programTrading;
    };
    const Case cases[] = {
        {"demo", "demo", 1, 1, 0},
        {"trader", "trader", 4, 2, 1},
        {"frozen", "frozen", 2, 0, 0},
        {"suspended", "suspended", 3, 0, 0},
        {"closed", "closed", 9, 0, 0},
        {"张三", "zhangsan", 1, 1, 0},
        {"demo", "wrong", 0, 0, 0},
        {"demo", "", 0, 0, 0},
        {"nobody", "demo", 0, 0, 0},
        {"frozen", "wrong", 0, 0, 0},  // the password is checked before the state
    };
    for (const Case& c : cases) {
        auto reply = Attempt(c.name, c.password);
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->result, c.result) << c.name << "/" << c.password;
        EXPECT_EQ(reply->accountClass, c.accountClass) << c.name;
        EXPECT_EQ(reply->programTrading, c.programTrading) << c.name;
    }
}

TEST_F(ServerWireTest, ChineseMemberNameArrivesAsGbk) {
    // The raw GBK bytes of 张三, as the client puts them on the wire.
    Socket s = ConnectLocal(port());
    auto image = FetchVerification(s);
    ASSERT_TRUE(image);
    LoginRequest req =
        MakeLoginRequest("\xd5\xc5\xc8\xfd", "zhangsan", kCode, image->key.data(), "", "");
    RequestHeader h = MakeLoginHeader();
    ASSERT_EQ(s.Send(&h, sizeof h), 24);
    ASSERT_EQ(s.Send(&req, sizeof req), 160);
    LoginReply reply;
    ASSERT_EQ(ReceiveExact(s, &reply, sizeof reply), 32);
    EXPECT_EQ(reply.result, 1);
    // The same name in UTF-8 bytes is another, unknown name.
    auto utf8 = [&] {
        Socket t = ConnectLocal(port());
        auto img = FetchVerification(t);
        if (!img) return -100;
        LoginRequest r = MakeLoginRequest("张三", "zhangsan", kCode, img->key.data(), "", "");
        t.Send(&h, sizeof h);
        t.Send(&r, sizeof r);
        LoginReply out{};
        ReceiveExact(t, &out, sizeof out);
        return out.result;
    }();
    EXPECT_EQ(utf8, 0);
}

TEST_F(ServerWireTest, VerificationCodeAndKeyRules) {
    EXPECT_EQ(Attempt("demo", "demo", "ab12")->result, 1);  // case does not matter
    EXPECT_EQ(Attempt("demo", "demo", "AB13")->result, -2);
    EXPECT_EQ(Attempt("demo", "demo", "AB1")->result, -2);
    EXPECT_EQ(Attempt("demo", "wrong", "AB13")->result, -2);  // the code is checked first

    Socket s = ConnectLocal(port());
    auto image = FetchVerification(s);
    ASSERT_TRUE(image);
    // A failed attempt uses the key up; so does a successful one.
    EXPECT_EQ(SendLogin(s, "demo", "wrong", kCode, image->key)->result, 0);
    EXPECT_EQ(SendLogin(s, "demo", "demo", kCode, image->key)->result, -2);
    auto second = FetchVerification(s);
    ASSERT_TRUE(second);
    EXPECT_EQ(SendLogin(s, "demo", "demo", kCode, second->key)->result, 1);
    EXPECT_EQ(SendLogin(s, "demo", "demo", kCode, second->key)->result, -2);
    // A key the server never gave, and the zero key of a client without an image.
    EXPECT_EQ(SendLogin(s, "demo", "demo", kCode, {12345, 678, 9, 10})->result, -2);
    EXPECT_EQ(SendLogin(s, "demo", "demo", kCode, {0, 0, 0, 0})->result, -2);
}

TEST_F(ServerWireTest, SeveralRequestsOnOneConnection) {
    Socket s = ConnectLocal(port());
    RequestHeader version = Header(cmd::VersionCheck);
    std::int32_t v = 0;
    ASSERT_EQ(s.Send(&version, sizeof version), 24);
    ASSERT_EQ(ReceiveExact(s, &v, 4), 4);
    auto image = FetchVerification(s);
    ASSERT_TRUE(image);
    auto reply = SendLogin(s, "trader", "trader", kCode, image->key);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 4);
    // Log out has no answer; the next request on the connection is served.
    RequestHeader logout = Header(cmd::Logout, image->key, reply->accountClass);
    ASSERT_EQ(s.Send(&logout, sizeof logout), 24);
    ASSERT_EQ(s.Send(&version, sizeof version), 24);
    v = 0;
    ASSERT_EQ(ReceiveExact(s, &v, 4), 4);
    EXPECT_EQ(v, ProgramVersion);
    // A log out of a session that does not exist is just as quiet.
    ASSERT_EQ(s.Send(&logout, sizeof logout), 24);
    ASSERT_EQ(s.Send(&version, sizeof version), 24);
    ASSERT_EQ(ReceiveExact(s, &v, 4), 4);
}

TEST_F(ServerWireTest, ShortAndGarbageRequestsCloseOnlyTheirConnection) {
    Socket bystander = ConnectLocal(port());  // an open connection through all of it
    {
        Socket s = ConnectLocal(port());
        ASSERT_EQ(s.Send("\x07\x00\x00", 3), 3);
    }
    {
        Socket s = ConnectLocal(port());
        for (std::int32_t command : {999999, -1, 3, 2147483647}) {
            Socket t = ConnectLocal(port());
            RequestHeader h = Header(command, {1, 2, 3, 4}, 5);
            ASSERT_EQ(t.Send(&h, sizeof h), 24);
            EXPECT_TRUE(ClosedByServer(t)) << command;
        }
    }
    {
        Socket s = ConnectLocal(port());
        RequestHeader h = MakeLoginHeader();
        ASSERT_EQ(s.Send(&h, sizeof h), 24);
        ASSERT_EQ(s.Send(std::string(50, 'x').data(), 50), 50);
        s.Shutdown();  // the rest of the login request never comes
        EXPECT_TRUE(ClosedByServer(s));
    }
    {
        // A full login request of garbage: the key is unknown, so the code is wrong.
        std::mt19937 rng(7);
        std::vector<char> junk(160);
        for (char& c : junk) c = static_cast<char>(rng());
        Socket s = ConnectLocal(port());
        RequestHeader h = MakeLoginHeader();
        ASSERT_EQ(s.Send(&h, sizeof h), 24);
        ASSERT_EQ(s.Send(junk.data(), junk.size()), 160);
        LoginReply reply;
        ASSERT_EQ(ReceiveExact(s, &reply, sizeof reply), 32);
        EXPECT_EQ(reply.result, -2);
    }
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        std::vector<char> junk(1 + rng() % 20000);
        for (char& c : junk) c = static_cast<char>(rng());
        Socket s = ConnectLocal(port());
        s.Send(junk.data(), junk.size());
        s.Shutdown();
        EXPECT_TRUE(ClosedByServer(s)) << seed;
    }
    RequestHeader h = Header(cmd::VersionCheck);
    std::int32_t v = 0;
    ASSERT_EQ(bystander.Send(&h, sizeof h), 24);
    ASSERT_EQ(ReceiveExact(bystander, &v, 4), 4);
    EXPECT_EQ(v, ProgramVersion);
}

TEST_F(ServerWireTest, ManyClientsAtOnce) {
    constexpr int kClients = 24;
    constexpr int kRounds = 5;
    std::atomic<int> loggedIn{0}, failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            const bool chinese = c % 3 == 0;
            for (int r = 0; r < kRounds; ++r) {
                auto reply = Attempt(chinese ? "张三" : "demo", chinese ? "zhangsan" : "demo");
                if (reply && reply->result == 1)
                    ++loggedIn;
                else
                    ++failures;
            }
        });
    }
    // Meanwhile many idle connections stay open.
    std::vector<Socket> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(ConnectLocal(port()));
    for (auto& t : clients) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(loggedIn.load(), kClients * kRounds);
    for (Socket& s : idle) EXPECT_TRUE(s.Valid());
}

TEST_F(ServerWireTest, PushAndDataPortsAcceptConnections) {
    for (std::uint16_t p : {server_->pushPort(), server_->dataPort()}) {
        Socket s = ConnectLocal(p);
        ASSERT_TRUE(s.Valid()) << p;
        RequestHeader h = Header(cmd::Subscribe);
        s.Send(&h, sizeof h);
        EXPECT_TRUE(ClosedByServer(s)) << p;
    }
}

TEST(ServerLifecycleTest, OptionsReachTheWire) {
    ServerProcess server({"--version-number", "12000000", "--seed", "42"});
    ASSERT_TRUE(server.Running()) << server.Error();
    EXPECT_EQ(Version(server.requestPort()), 12000000);
    EXPECT_NE(server.Log().find("seed 42"), std::string::npos) << server.Log();
}

TEST(ServerLifecycleTest, BadOptionsStopTheStart) {
    ServerProcess server({"--fixed-code", "TOOLONG"});
    EXPECT_FALSE(server.Running());
    EXPECT_NE(server.Error().find("--fixed-code"), std::string::npos) << server.Error();
}

TEST(ServerLifecycleTest, TerminatesCleanlyWithOpenConnections) {
    ServerProcess server;
    ASSERT_TRUE(server.Running()) << server.Error();
    Socket idle = ConnectLocal(server.requestPort());
    Socket half = ConnectLocal(server.requestPort());
    ASSERT_EQ(half.Send("\x06\x00", 2), 2);  // in the middle of a header
    Socket push = ConnectLocal(server.pushPort());
    EXPECT_TRUE(server.Stop()) << server.Log();
    EXPECT_TRUE(ClosedByServer(idle));
    EXPECT_NE(server.Log().find("stopped"), std::string::npos);
}

// A login from another loopback address: its result, or nothing when no answer came.
std::optional<std::int32_t> LoginFrom(const char* address, std::uint16_t port, const char* name,
                                      const char* password) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Socket s(fd);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &from.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return std::nullopt;
    s.SetReadTimeout(20000);
    const auto image = FetchVerification(s);
    if (!image) return std::nullopt;
    const auto reply = SendLogin(s, name, password, kCode, image->key);
    if (!reply) return std::nullopt;
    return reply->result;
}

// A guesser at one address is held back on the name it guesses, while the member logs in from
// its own address and a colleague from the guesser's address.
TEST_F(ServerWireTest, FailedLoginsHoldBackTheGuessNotTheMembers) {
    const std::uint16_t p = port();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(LoginFrom("127.0.0.3", p, "demo", "guess"), 0);
    EXPECT_EQ(LoginFrom("127.0.0.3", p, "张三", "zhangsan"), 1);
    EXPECT_EQ(LoginFrom("127.0.0.4", p, "demo", "demo"), 1);
    const std::string log = server_->Log();
    std::size_t held = 0, at = 0;
    while ((at = log.find("request 127.0.0.3", at)) != std::string::npos) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        held += line.find("(held ") != std::string::npos ? 1 : 0;
        EXPECT_EQ(
            line.find("张三") != std::string::npos && line.find("(held ") != std::string::npos,
            false)
            << line;
        ++at;
    }
    EXPECT_EQ(held, 1u) << log;  // the fourth guess
}

// A store made without the demo members has none; the operator's command adds one, also to
// the store of a server that runs.
TEST(ServerLifecycleTest, TheOperatorAddsMembersToAStoreWithoutDemoMembers) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Stop());
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(server.dbPath() + suffix);
    auto addMember = [&](const char* name, const char* password) {
        const std::string command = std::string(ZQ_BIN_DIR "/zq-server --db '") + server.dbPath() +
                                    "' --add-member " + name;
        FILE* p = ::popen(command.c_str(), "w");
        if (!p) return -1;
        std::fputs(password, p);
        return ::pclose(p);
    };
    ASSERT_EQ(addMember("王五", "s3cret-pass\n"), 0);
    ASSERT_TRUE(server.Restart()) << server.Error();
    EXPECT_FALSE(test::LoginAs(server.requestPort(), "demo", "demo", kCode));
    EXPECT_TRUE(test::LoginAs(server.requestPort(), "王五", "s3cret-pass", kCode));
    EXPECT_EQ(addMember("赵六", "secret-two"), 0);  // while it runs; no line end needed
    EXPECT_TRUE(test::LoginAs(server.requestPort(), "赵六", "secret-two", kCode));
    EXPECT_NE(addMember("赵六", "secret-two"), 0);
}

TEST(ServerLifecycleTest, MembersSurviveARestart) {
    ServerProcess server({"--fixed-code", kCode});
    ASSERT_TRUE(server.Running()) << server.Error();
    ASSERT_TRUE(test::LoginAs(server.requestPort(), "demo", "demo", kCode));
    ASSERT_TRUE(server.Stop());
    {
        // While the server is down, its store gains a member and loses a password.
        std::string error;
        auto store = server::Store::Open(server.dbPath(), &error);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(store->AddMember(server::Member{0, "新会员", 4, 8, 1}, "pw"));
        store->WithDb([](sqlite3* db) {
            ASSERT_TRUE(server::Exec(db, "DELETE FROM members WHERE name = 'closed'"));
        });
    }
    ASSERT_TRUE(server.Restart()) << server.Error();
    auto added = test::LoginAs(server.requestPort(), "新会员", "pw", kCode);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->result, 4);
    EXPECT_EQ(added->accountClass, 8);
    EXPECT_EQ(added->programTrading, 1);
    EXPECT_TRUE(test::LoginAs(server.requestPort(), "demo", "demo", kCode));
    // Not seeded again: the removed member stays removed.
    Socket s = ConnectLocal(server.requestPort());
    auto image = FetchVerification(s);
    ASSERT_TRUE(image);
    EXPECT_EQ(SendLogin(s, "closed", "closed", kCode, image->key)->result, 0);
}

}  // namespace
}  // namespace zq
