// The web pages the client opens (in the browser, or in the report's equity-curve tab), served
// over HTTP on the web port with GNU libmicrohttpd.
//
//   /TradeChatPic.jsp?cuserno=NAME   the member's equity-curve page (HTML)
//   /TradeChatPic.png?cuserno=NAME   its picture (PNG)
//   /, /uc/BuyCart.jsp, /TradeInfo.jsp, /blog/, /article/signals.html,
//   /download/ZelvanQuorvexSetup.exe  short pages of text
//
// Every answer is marked not to be cached. Any other path is 404; a method other than GET or
// HEAD is 405. A member's pages go only to an address that holds the member's open session
// (SessionPeers): 404 for an unknown member (or none named), 403 for anyone else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/links/server_state.h"

struct MHD_Daemon;

namespace zq::server {

struct WebAnswer {
    unsigned status = 200;
    std::string contentType;  // with its charset for text
    std::string body;
};

// The answer to a GET of `path` (without its query) from `peer` (IPv4, network order), with
// the query's decoded cuserno value when it has one and the request's session proof (the
// header kSessionProofHeader; empty when it has none).
WebAnswer AnswerWebPage(ServerState& state, std::string_view path,
                        const std::optional<std::string>& cuserno, std::uint32_t peer,
                        std::string_view proof = {});

// The member name of a cuserno value: UTF-8 as it is, else read as code page 936 (the
// client's own texts).
std::string MemberNameOf(std::string_view cuserno);

// At most this many connections are open at once, and this many from one address; a
// connection idle for kWebIdleSeconds is closed. One thread polls every connection (epoll), so
// connections that trickle their requests hold only their address's few places: it takes 128
// addresses to fill the port.
constexpr unsigned kWebConnectionLimit = 1024;
constexpr unsigned kWebConnectionsPerAddress = 8;
constexpr unsigned kWebIdleSeconds = 5;

class WebServer {
  public:
    WebServer() = default;
    ~WebServer() { Stop(); }
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on every address at `port` (0: any free port) with its own thread; false with
    // `error` set when the port cannot be had.
    bool Start(ServerState& state, std::uint16_t port, std::string* error);
    // Closes the port and waits for the connections to end. Idempotent.
    void Stop();
    std::uint16_t Port() const { return port_; }

  private:
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
};

}  // namespace zq::server
