// The stand-in server's request port: a stream of headers and payloads from one peer, served
// by the request dispatch against a store with one member logged in under the key 1, 2, 3, 4.
#include <asio/co_spawn.hpp>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "server/links/dispatch.h"
#include "server/links/request_link.h"
#include "server/links/server_state.h"

namespace {

struct Server {
    std::unique_ptr<zq::server::ServerState> state;
    zq::server::CommandTable commands = zq::server::BuildRequestCommands();
    zq::server::SessionInfo session;

    Server() {
        std::string error;
        // In memory: a store on disk would spend each input waiting for its writes.
        auto store = zq::server::Store::Open(":memory:", &error);
        if (!store) std::abort();
        zq::server::Member member;
        member.name = "fuzz";
        store->AddMember(member, "pw");
        const std::int64_t id = store->FindMember("fuzz")->id;
        state = std::make_unique<zq::server::ServerState>(zq::server::ServerOptions{},
                                                          std::move(store), 1);
        session.key = {1, 2, 3, 4};
        session.memberId = id;
        session.memberName = "fuzz";
        session.accountClass = 1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server* server = new Server;  // one server for the life of the process
    static zq::server::NetLoop* loop = [] {
        auto* l = new zq::server::NetLoop;
        l->Start();
        return l;
    }();
    server->state->sessions.Begin(server->session);  // a log-out in the last input ended it
    zq::fuzz::FedStream stream(data, size);
    if (!stream.Valid()) return 0;
    // The answers are read away as they come, until the server closes the connection.
    std::thread drain([&stream] {
        char buffer[16384];
        while (stream.Peer().Recv(buffer, sizeof buffer) > 0) {
        }
    });
    // The reader's end is served as the event loop serves an accepted connection.
    auto socket = std::make_shared<zq::server::Tcp::socket>(asio::make_strand(loop->Io()));
    socket->assign(zq::server::Tcp::v4(), stream.TakeReader().Release());
    std::promise<void> served;
    asio::co_spawn(socket->get_executor(),
                   zq::server::ServeRequestConnection(zq::server::Accepted{socket, 0, "fuzz", {}},
                                                      *server->state, server->commands, *loop),
                   [&served](std::exception_ptr) { served.set_value(); });
    served.get_future().wait();
    drain.join();
    return 0;
}
