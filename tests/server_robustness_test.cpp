// The running server against one hostile peer: connections that never ask for anything,
// requests trickled a byte at a time, and a flood of verification images and idle connections
// from one address, which must leave a member on another address able to log in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/wire/framing.h"
#include "server/links/verification.h"
#include "tests/support/server_process.h"

namespace zq {
namespace {

constexpr const char* kCode = "AB12";

using test::ConnectFrom;

// True when the server has closed the connection (at once, or once it has waited long enough
// for a request); the read time-out only guards against a server that never does.
bool ClosedByServer(Socket& s) {
    char junk[4096];
    for (;;) {
        const int n = s.Recv(junk, sizeof junk);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

class PeerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Running()) << server_.Error(); }
    test::ServerProcess server_{{"--fixed-code", kCode, "--market-step-ms", "0"}};
};

TEST_F(PeerTest, ConnectionsThatAskForNothingAreClosedOnEveryPort) {
    std::vector<Socket> silent;
    for (std::uint16_t port : {server_.requestPort(), server_.pushPort(), server_.dataPort()}) {
        silent.push_back(test::ConnectLocal(port, 30000));
        ASSERT_TRUE(silent.back().Valid());
    }
    // A request connection that was served and then falls silent goes too.
    Socket served = test::ConnectLocal(server_.requestPort(), 30000);
    RequestHeader version = test::Header(cmd::VersionCheck);
    ASSERT_EQ(served.Send(&version, sizeof version), static_cast<int>(sizeof version));
    std::int32_t answer = 0;
    ASSERT_EQ(ReceiveExact(served, &answer, sizeof answer), static_cast<int>(sizeof answer));
    for (Socket& s : silent) EXPECT_TRUE(ClosedByServer(s));
    EXPECT_TRUE(ClosedByServer(served));
    EXPECT_NE(server_.Log().find("idle, closed"), std::string::npos) << server_.Log();
}

TEST_F(PeerTest, ARequestTrickledByteByByteIsClosedBeforeItIsWhole) {
    // 600 ms a byte: the 24-byte header would take over 14 s, far beyond the few seconds a
    // request may take.
    for (std::uint16_t port : {server_.requestPort(), server_.dataPort()}) {
        Socket s = test::ConnectLocal(port, 30000);
        ASSERT_TRUE(s.Valid());
        RequestHeader h =
            test::Header(port == server_.requestPort() ? cmd::VersionCheck : cmd::History(15, 1));
        const auto* bytes = reinterpret_cast<const char*>(&h);
        bool closed = false;
        for (std::size_t i = 0; i < sizeof h && !closed; ++i) {
            s.Send(bytes + i, 1);
            pollfd p{s.Fd(), POLLIN, 0};
            closed = ::poll(&p, 1, 600) > 0 && ClosedByServer(s);
        }
        EXPECT_TRUE(closed) << "port " << port;
    }
    EXPECT_NE(server_.Log().find("header not complete in time"), std::string::npos)
        << server_.Log();
}

TEST_F(PeerTest, ConnectionsThatKeepAskingStayOpenPastTheIdleTime) {
    Socket s = test::ConnectLocal(server_.requestPort());
    for (int i = 0; i < 8; ++i) {
        RequestHeader version = test::Header(cmd::VersionCheck);
        ASSERT_EQ(s.Send(&version, sizeof version), static_cast<int>(sizeof version)) << i;
        std::int32_t answer = 0;
        ASSERT_EQ(ReceiveExact(s, &answer, sizeof answer), static_cast<int>(sizeof answer)) << i;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

TEST_F(PeerTest, AFloodFromOneAddressLeavesAMemberOnAnotherAbleToLogIn) {
    // A member on 127.0.0.1 has an image and is still typing its code.
    Socket member = test::ConnectLocal(server_.requestPort());
    const std::optional<test::VerificationAnswer> pending = test::FetchVerification(member);
    ASSERT_TRUE(pending);

    // 4,200 images asked for from 127.0.0.2: a connection carries requests until the server
    // refuses one and closes it.
    int images = 0, attempts = 0;
    while (attempts < 4200) {
        Socket s = ConnectFrom("127.0.0.2", server_.requestPort());
        ASSERT_TRUE(s.Valid()) << attempts;
        while (attempts < 4200) {
            ++attempts;
            if (!test::FetchVerification(s)) break;
            ++images;
        }
    }
    EXPECT_EQ(images, static_cast<int>(server::VerificationKeys::kDefaultPerAddress))
        << "one address gets only its share of pending keys";

    // 1,000 connections from 127.0.0.2 that ask for nothing, on all three ports.
    const std::uint16_t ports[] = {server_.requestPort(), server_.pushPort(), server_.dataPort()};
    std::vector<Socket> idle;
    for (int i = 0; i < 1000; ++i) {
        idle.push_back(ConnectFrom("127.0.0.2", ports[i % 3]));
        ASSERT_TRUE(idle.back().Valid()) << i;
    }

    // The member logs in with its image, on a connection of its own: the server may have closed
    // the first one as idle while the flood went on (the key outlives it). A second member logs
    // in from scratch.
    Socket login = test::ConnectLocal(server_.requestPort());
    const std::optional<LoginReply> reply =
        test::SendLogin(login, "demo", "demo", kCode, pending->key);
    ASSERT_TRUE(reply) << server_.Log();
    EXPECT_EQ(reply->result, 1) << "the pending key is still there";
    EXPECT_TRUE(test::LoginAs(server_.requestPort(), "张三", "zhangsan", kCode));
    const std::string log = server_.Log();
    // The idle connections were within the address's fair share of the connection budget
    // (tests/server_state_test.cpp shows the share); only its images were refused.
    EXPECT_NE(log.find("image refused"), std::string::npos);

    // Every one of the idle connections is closed by the server, at once or once it has waited
    // for a request.
    int closed = 0;
    for (Socket& s : idle) closed += ClosedByServer(s);
    EXPECT_EQ(closed, 1000);
}

}  // namespace
}  // namespace zq
