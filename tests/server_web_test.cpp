// The web pages on the running server, fetched with a small HTTP client of the test's own: the
// pages of text, the member's equity-curve page and picture with their access rule, 404 and
// 405, no caching; and the picture drawn and encoded in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

#include "net/wire/ansi_text.h"
#include "server/links/keys.h"
#include "server/links/session_peers.h"
#include "server/web/equity_chart.h"
#include "server/web/web_pages.h"
#include "tests/server_report_fixtures.h"

namespace zq {
namespace {

struct HttpAnswer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string Header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

// One HTTP/1.0 request on a new connection, read until the server closes it.
HttpAnswer Http(std::uint16_t port, const std::string& target, const std::string& method = "GET",
                const std::string& headers = {}) {
    HttpAnswer a;
    Socket s = test::ConnectLocal(port);
    if (!s.Valid()) return a;
    const std::string request =
        method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
    if (s.Send(request.data(), request.size()) != static_cast<int>(request.size())) return a;
    std::string raw;
    char buf[4096];
    for (int n; (n = s.Recv(buf, sizeof buf)) > 0;) raw.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return a;
    a.status = std::stoi(raw.substr(9, 3));
    std::size_t line = raw.find("\r\n") + 2;
    while (line < end) {
        const std::size_t next = raw.find("\r\n", line);
        const std::string h = raw.substr(line, next - line);
        const std::size_t colon = h.find(':');
        if (colon != std::string::npos) {
            std::string name = h.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            a.headers[name] = h.substr(h.find_first_not_of(' ', colon + 1));
        }
        line = next + 2;
    }
    a.body = raw.substr(end + 4);
    return a;
}

std::string Title(const std::string& html) {
    const std::size_t from = html.find("<title>"), to = html.find("</title>");
    if (from == std::string::npos || to == std::string::npos) return {};
    return html.substr(from + 7, to - from - 7);
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

bool IsPng(const std::string& bytes) {
    return bytes.size() > 24 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 &&
           bytes.compare(12, 4, "IHDR") == 0;
}

std::string PercentEncoded(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

class WebTest : public test::ReportServerTest {
  protected:
    void SetUp() override {
        ReportServerTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NE(server_->webPort(), 0) << server_->Log();
    }
    HttpAnswer Get(const std::string& target, const std::string& method = "GET") {
        return Http(server_->webPort(), target, method);
    }
    // A GET with the session proof of `key`, as the client sends it.
    HttpAnswer GetAs(const test::LoggedIn& in, const std::string& target) {
        return Http(server_->webPort(), target, "GET",
                    std::string(server::kSessionProofHeader) + ": " +
                        server::SessionProofOf(in.key) + "\r\n");
    }
    // Logs in and makes one request under the session, as the client does at start-up.
    test::LoggedIn Session(const char* name, const char* password) {
        const test::LoggedIn in = Login(name, password);
        Link(in.key).PriceAlerts();
        return in;
    }
};

TEST_F(WebTest, TheClientsTextPagesAreTitledUncachedHtml) {
    const std::map<std::string, std::string> pages = {
        {"/", "ZelvanQuorvex"},
        {"/uc/BuyCart.jsp?val1=3", "账户入金"},
        {"/TradeInfo.jsp", "Quorvex统计"},
        {"/blog/", "博客"},
        {"/article/signals.html", "操盘信号说明"},
        {"/download/ZelvanQuorvexSetup.exe", "下载客户端"},
    };
    for (const auto& [path, title] : pages) {
        const HttpAnswer a = Get(path);
        EXPECT_EQ(a.status, 200) << path;
        EXPECT_EQ(a.Header("content-type"), "text/html; charset=utf-8") << path;
        EXPECT_NE(a.Header("cache-control").find("no-cache"), std::string::npos) << path;
        EXPECT_NE(a.Header("cache-control").find("no-store"), std::string::npos) << path;
        EXPECT_EQ(Title(a.body), title) << path;
        EXPECT_NE(a.body.find("<meta charset=\"utf-8\">"), std::string::npos) << path;
    }
    EXPECT_NE(Get("/download/ZelvanQuorvexSetup.exe").body.find("scripts/package"),
              std::string::npos);
}

TEST_F(WebTest, PagesAreServedWhileManyAddressesTrickleTheirRequests) {
    // 8 connections from each of 8 other addresses send the first byte of a request and no more.
    std::vector<Socket> trickling;
    for (int a = 2; a < 10; ++a)
        for (int i = 0; i < 8; ++i) {
            const std::string from = "127.0.0." + std::to_string(a);
            trickling.push_back(test::ConnectFrom(from.c_str(), server_->webPort()));
            ASSERT_TRUE(trickling.back().Valid());
            ASSERT_EQ(trickling.back().Send("G", 1), 1);
        }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Get("/TradeInfo.jsp").status, 200) << i;
}

TEST_F(WebTest, OtherPathsAreNotFoundAndOnlyReadingIsAllowed) {
    for (const char* path : {"/nothing", "/blog", "/TradeChatPic.jspx?cuserno=demo",
                             "/uc/BuyCart.jsp/x", "/../etc/passwd", "/tradechatpic.jsp"}) {
        const HttpAnswer a = Get(path);
        EXPECT_EQ(a.status, 404) << path;
        EXPECT_EQ(a.Header("content-type"), "text/html; charset=utf-8") << path;
    }
    const HttpAnswer post = Get("/", "POST");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.Header("allow"), "GET, HEAD");
    const HttpAnswer head = Get("/TradeInfo.jsp", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
}

TEST_F(WebTest, TheEquityCurveGoesOnlyToARequestProvingTheMembersSession) {
    // Unknown members, none named, and members without a session get one answer: the pages do
    // not tell which members exist.
    for (const char* target :
         {"/TradeChatPic.jsp?cuserno=nobody", "/TradeChatPic.png?cuserno=nobody",
          "/TradeChatPic.jsp", "/TradeChatPic.jsp?cuserno=", "/TradeChatPic.jsp?cuserno=demo",
          "/TradeChatPic.png?cuserno=demo"}) {
        const HttpAnswer a = Get(target);
        EXPECT_EQ(a.status, 403) << target;
        EXPECT_EQ(Title(a.body), "无权查看") << target;
    }

    // Logged in, but no request under the session yet: the server has not seen it come from
    // this address.
    const test::LoggedIn first = Login("demo", "demo");
    EXPECT_EQ(GetAs(first, "/TradeChatPic.jsp?cuserno=demo").status, 403);

    const test::LoggedIn demo = Session("demo", "demo");
    const test::LoggedIn trader = Session("trader", "trader");
    // From the address of demo's client, but without demo's proof: another program on that
    // machine, a colleague behind the same address, or another member's client.
    EXPECT_EQ(Get("/TradeChatPic.jsp?cuserno=demo").status, 403);
    EXPECT_EQ(Get("/TradeChatPic.png?cuserno=demo").status, 403);
    EXPECT_EQ(GetAs(trader, "/TradeChatPic.jsp?cuserno=demo").status, 403);
    EXPECT_EQ(GetAs(first, "/TradeChatPic.jsp?cuserno=demo").status, 403);  // the replaced session
    EXPECT_EQ(GetAs(demo, "/TradeChatPic.jsp?cuserno=trader").status, 403);
    EXPECT_EQ(Http(server_->webPort(), "/TradeChatPic.png?cuserno=demo", "GET",
                   "X-ZQ-Session: " + server::SessionProofOf(demo.key).substr(1) + "0\r\n")
                  .status,
              403);

    const HttpAnswer page = GetAs(demo, "/TradeChatPic.jsp?cuserno=demo");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.Header("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.Header("cache-control").find("no-cache"), std::string::npos);
    EXPECT_EQ(Title(page.body), "demo 的资金曲线");
    EXPECT_NE(page.body.find("<img src=\"/TradeChatPic.png?cuserno=demo\""), std::string::npos);

    const HttpAnswer png = GetAs(demo, "/TradeChatPic.png?cuserno=demo");
    EXPECT_EQ(png.status, 200);
    EXPECT_EQ(png.Header("content-type"), "image/png");
    EXPECT_NE(png.Header("cache-control").find("no-cache"), std::string::npos);
    EXPECT_EQ(png.Header("pragma"), "no-cache");
    ASSERT_TRUE(IsPng(png.body));
    EXPECT_EQ(BigEndian(png.body, 16), 760u);
    EXPECT_EQ(BigEndian(png.body, 20), 420u);
    EXPECT_EQ(GetAs(trader, "/TradeChatPic.png?cuserno=trader").status, 200);

    // After the log-out the page is closed again.
    test::MemberLink link = Link(demo.key);
    const RequestHeader logout = test::Header(cmd::Logout, demo.key);
    ASSERT_EQ(link.socket().Send(&logout, sizeof logout), static_cast<int>(sizeof logout));
    ASSERT_EQ(link.Ask<std::int32_t>(cmd::VersionCheck, nullptr, 0), ProgramVersion);
    EXPECT_EQ(GetAs(demo, "/TradeChatPic.jsp?cuserno=demo").status, 403);
}

TEST_F(WebTest, AChineseMemberNameIsFoundInUtf8AndInTheClientsCodePage) {
    const test::LoggedIn zhang = Session("张三", "zhangsan");
    const HttpAnswer utf8 = GetAs(zhang, "/TradeChatPic.jsp?cuserno=" + PercentEncoded("张三"));
    EXPECT_EQ(utf8.status, 200);
    EXPECT_EQ(Title(utf8.body), "张三 的资金曲线");
    EXPECT_NE(utf8.body.find("/TradeChatPic.png?cuserno=%E5%BC%A0%E4%B8%89\""), std::string::npos);
    const HttpAnswer gbk =
        GetAs(zhang, "/TradeChatPic.png?cuserno=" + PercentEncoded(ToAnsi("张三")));
    EXPECT_EQ(gbk.status, 200);
    EXPECT_TRUE(IsPng(gbk.body));

    EXPECT_EQ(server::MemberNameOf("demo"), "demo");
    EXPECT_EQ(server::MemberNameOf(ToAnsi("张三")), "张三");
    // The proof the client computes the same way (SHA-256 of "ZQ-WEB", 0, the key's bytes).
    EXPECT_EQ(server::SessionProofOf({1, 2, 3, -1}),
              "6a068daa03157ece235da77a02a538bcfd84cca2991e5e6c3630b5200ce33ea9");
}

TEST(WebPortTest, WebPortZeroServesNoPages) {
    test::ServerProcess server({"--web-port", "0"});
    ASSERT_TRUE(server.Running()) << server.Error();
    EXPECT_EQ(server.webPort(), 0);
    EXPECT_EQ(server.Log().find(", web "), std::string::npos);
}

// ---- who may see a member's pages ----

server::SessionInfo SessionOf(std::int64_t member, std::int32_t keyWord) {
    server::SessionInfo s;
    s.key = {keyWord, 2, 3, 4};
    s.memberId = member;
    return s;
}

TEST(SessionPeersTest, OnlyAddressesOfTheMembersCurrentSessionHoldIt) {
    server::SessionTable sessions;
    server::SessionPeers peers(sessions);
    const std::uint32_t a = 0x0100007f, b = 0x0200007f;
    sessions.Begin(SessionOf(7, 1));
    EXPECT_FALSE(peers.HoldsSession(7, a));
    peers.Note({1, 2, 3, 4}, a);
    EXPECT_TRUE(peers.HoldsSession(7, a));
    EXPECT_FALSE(peers.HoldsSession(7, b));
    EXPECT_FALSE(peers.HoldsSession(8, a));
    EXPECT_FALSE(peers.HoldsSession(7, 0));

    // A newer login of the member: the older session's addresses no longer count.
    sessions.Begin(SessionOf(7, 9));
    EXPECT_FALSE(peers.HoldsSession(7, a));
    peers.Note({9, 2, 3, 4}, b);
    EXPECT_TRUE(peers.HoldsSession(7, b));
    ASSERT_TRUE(sessions.End({9, 2, 3, 4}));
    EXPECT_FALSE(peers.HoldsSession(7, b));
}

// ---- the picture itself ----

constexpr std::uint8_t kCurveRed = 200;

// The rows of column x that the curve colours.
std::vector<int> CurveRows(server::Picture& p, int x) {
    std::vector<int> rows;
    for (int y = 0; y < p.height; ++y) {
        const std::uint8_t* px = p.At(x, y);
        if (px[0] == kCurveRed && px[1] == 30 && px[2] == 30) rows.push_back(y);
    }
    return rows;
}

TEST(EquityChartTest, ARisingBalanceEndsHigherThanItStarts) {
    const std::vector<server::BalancePoint> points = {
        {1000000, 100000}, {1086400, 99000}, {1172800, 104000}, {1259200, 104000}};
    server::Picture p = server::DrawEquityChart(points);
    ASSERT_EQ(p.width, server::kEquityChartWidth);
    ASSERT_EQ(p.height, server::kEquityChartHeight);
    const std::vector<int> left = CurveRows(p, 90), right = CurveRows(p, 700);
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    EXPECT_LT(right.front(), left.front());  // higher up the picture
    // Every curve pixel lies inside the plot.
    for (int x = 0; x < p.width; ++x)
        for (int y : CurveRows(p, x)) {
            EXPECT_GE(x, 80);
            EXPECT_LT(x, 740);
            EXPECT_GE(y, 20);
            EXPECT_LE(y, 381);
        }
}

TEST(EquityChartTest, NoHistoryDrawsNoCurveAndEncodesWhole) {
    server::Picture empty = server::DrawEquityChart({});
    for (int x = 0; x < empty.width; x += 7) EXPECT_TRUE(CurveRows(empty, x).empty()) << x;
    const std::string png = server::EncodePng(empty);
    ASSERT_TRUE(IsPng(png));
    EXPECT_EQ(BigEndian(png, 16), 760u);
    EXPECT_EQ(BigEndian(png, 20), 420u);
    EXPECT_EQ(png.compare(png.size() - 8, 4, "IEND"), 0);
}

}  // namespace
}  // namespace zq
