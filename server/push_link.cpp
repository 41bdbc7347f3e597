#include "server/push_link.h"

#include "server/log.h"

namespace zq::server {

void ServePushConnection(Socket socket, const std::string& peer, ServerState& /*state*/) {
    try {
        ConnectionLog log("push", peer);
        log.SetOutcome("push link not served yet, closed");
    } catch (...) {
    }
    socket.ShutdownClose();
}

}  // namespace zq::server
