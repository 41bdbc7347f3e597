#include "server/web/web_pages.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sodium.h>

#include <cstring>

#include "net/wire/ansi_text.h"
#include "server/trading/fills.h"
#include "server/web/equity_chart.h"

namespace zq::server {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPng = "image/png";

bool ValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t more = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
        } else if (c >= 0x80) {
            return false;
        }
        if (s.size() - i - 1 < more) return false;
        for (std::size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string EscapeQueryValue(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// A page with a title and paragraphs of HTML.
WebAnswer Page(unsigned status, std::string_view title, std::string_view bodyHtml) {
    const std::string t = EscapeHtml(title);
    return {status, kHtml,
            "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                t + "</title>\n</head>\n<body>\n<h1>" + t + "</h1>\n" + std::string(bodyHtml) +
                "\n</body>\n</html>\n"};
}

struct TextPage {
    const char* path;
    const char* title;
    const char* body;  // HTML
};

// The vendor's pages the client opens, as this stand-in has them.
constexpr TextPage kTextPages[] = {
    {"/", "ZelvanQuorvex",
     "<p>ZelvanQuorvex 是贵金属、外汇、原油和国内期货的K线行情与模拟交易客户端。</p>\n"
     "<p>本服务器是它的模拟服务器：行情、操盘信号和模拟账户都由它提供。</p>"},
    {"/uc/BuyCart.jsp", "账户入金",
     "<p>这是模拟账户，无需也不能入金。</p>\n"
     "<p>账户的资金和交易都由模拟服务器保管，不涉及真实货币。</p>"},
    {"/TradeInfo.jsp", "Quorvex统计",
     "<p>各商品的交易单位、手续费、保证金和延期费见客户端“交易报表”的“商品信息”页。</p>\n"
     "<p>交易日以北京时间的自然日计；国际市场周一至周五交易，国内市场按各自的交易时段交易。</p>"},
    {"/blog/", "博客", "<p>暂无文章。</p>"},
    {"/article/signals.html", "操盘信号说明",
     "<p>操盘信号是服务器发布的支撑价或阻力价，附有建议手数、对应金额（万元）和止损价。</p>\n"
     "<p>支撑信号建议在该价位买入，阻力信号建议在该价位卖出；信号可能被撤销或重新发布。</p>\n"
     "<p>开启“程序化交易”后，服务器按信号为您的账户自动挂单。</p>"},
    {"/download/ZelvanQuorvexSetup.exe", "下载客户端",
     "<p>客户端不提供 Windows 安装程序。</p>\n"
     "<p>它以 Debian 软件包 zelvanquorvex 发布，由源代码中的 scripts/package 生成；"
     "用 <code>apt install ./zelvanquorvex_*.deb</code> 安装。</p>"},
};

constexpr std::string_view kCurvePage = "/TradeChatPic.jsp";
constexpr std::string_view kCurvePicture = "/TradeChatPic.png";

WebAnswer NotFound() {
    return Page(404, "页面不存在", "<p>没有这个页面。</p>");
}

// Whether `proof` is the proof of the member's open session.
bool ProvesSession(ServerState& state, std::int64_t memberId, std::string_view proof) {
    const std::optional<SessionInfo> session = state.sessions.FindMember(memberId);
    if (!session || IsZeroKey(session->key)) return false;
    const std::string expected = SessionProofOf(session->key);
    return proof.size() == expected.size() &&
           sodium_memcmp(proof.data(), expected.data(), expected.size()) == 0;
}

WebAnswer MemberPage(ServerState& state, bool picture, const std::optional<std::string>& cuserno,
                     std::uint32_t peer, std::string_view proof) {
    const std::string name = cuserno ? MemberNameOf(*cuserno) : std::string();
    std::optional<Member> member;
    if (!name.empty()) member = state.store->FindMember(name);
    // The member's open session proven by the request, from an address its requests came from.
    // An unknown name gets the same answer as a refused one: the pages tell no one which
    // members exist.
    if (!member || !ProvesSession(state, member->id, proof) ||
        !state.sessionPeers.HoldsSession(member->id, peer))
        return Page(403, "无权查看", "<p>资金曲线只给登录了该会员的客户端查看。</p>");
    if (!picture) {
        const std::string title = member->name + " 的资金曲线";
        return Page(200, title,
                    "<p><img src=\"" + std::string(kCurvePicture) +
                        "?cuserno=" + EscapeQueryValue(member->name) + "\" width=\"" +
                        std::to_string(kEquityChartWidth) + "\" height=\"" +
                        std::to_string(kEquityChartHeight) + "\" alt=\"" + EscapeHtml(title) +
                        "\"></p>");
    }
    const std::vector<BalancePoint> points =
        BalanceHistory(*state.store, member->id, state.accounts.Now())
            .value_or(std::vector<BalancePoint>{});
    std::string png = EncodePng(DrawEquityChart(points));
    if (png.empty()) return Page(500, "出错", "<p>无法生成图片。</p>");
    return {200, kPng, std::move(png)};
}

std::uint32_t PeerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return 0;
    const sockaddr* addr = info->client_addr;
    if (addr->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr;
    if (addr->sa_family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(addr);
        if (IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
            std::uint32_t v4 = 0;
            std::memcpy(&v4, a6->sin6_addr.s6_addr + 12, sizeof v4);
            return v4;
        }
    }
    return 0;
}

MHD_Result Serve(void* cls, MHD_Connection* connection, const char* url, const char* method,
                 const char* /*version*/, const char* /*upload*/, std::size_t* uploadSize,
                 void** /*context*/) {
    auto& state = *static_cast<ServerState*>(cls);
    WebAnswer answer;
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        answer = Page(405, "不支持的请求", "<p>只支持 GET。</p>");
    } else if (*uploadSize != 0) {
        // A GET with a body: the body is not read.
        *uploadSize = 0;
        return MHD_YES;
    } else {
        const char* value =
            MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "cuserno");
        std::optional<std::string> cuserno;
        if (value) cuserno = value;
        const char* proof =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, kSessionProofHeader);
        answer = AnswerWebPage(state, url, cuserno, PeerOf(connection), proof ? proof : "");
    }
    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            "no-cache, no-store, must-revalidate");
    MHD_add_response_header(response, MHD_HTTP_HEADER_PRAGMA, "no-cache");
    MHD_add_response_header(response, MHD_HTTP_HEADER_EXPIRES, "0");
    if (answer.status == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

std::string MemberNameOf(std::string_view cuserno) {
    if (ValidUtf8(cuserno)) return std::string(cuserno);
    return FromAnsi(cuserno);
}

WebAnswer AnswerWebPage(ServerState& state, std::string_view path,
                        const std::optional<std::string>& cuserno, std::uint32_t peer,
                        std::string_view proof) {
    if (path == kCurvePage) return MemberPage(state, false, cuserno, peer, proof);
    if (path == kCurvePicture) return MemberPage(state, true, cuserno, peer, proof);
    for (const TextPage& page : kTextPages)
        if (path == page.path) return Page(200, page.title, page.body);
    return NotFound();
}

bool WebServer::Start(ServerState& state, std::uint16_t port, std::string* error) {
    if (daemon_) return true;
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, port, nullptr, nullptr, &Serve, &state,
        MHD_OPTION_CONNECTION_LIMIT, kWebConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kWebConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, kWebIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, std::size_t{32 * 1024}, MHD_OPTION_END);
    if (!daemon_) {
        if (error) *error = "cannot listen on web port " + std::to_string(port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : port;
    return true;
}

void WebServer::Stop() {
    if (!daemon_) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

}  // namespace zq::server
