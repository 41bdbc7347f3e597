#include "server/data_link.h"

#include "server/log.h"

namespace zq::server {

void ServeDataConnection(Socket socket, const std::string& peer, ServerState& /*state*/) {
    try {
        ConnectionLog log("data", peer);
        log.SetOutcome("history transfers not served yet, closed");
    } catch (...) {
    }
    socket.ShutdownClose();
}

}  // namespace zq::server
