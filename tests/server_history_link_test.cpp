// History transfers on the data link of the real server: pages, keys, paging back to the
// trailer, agreement between periods and across restarts, and requests it cannot serve.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include "market/wire/bar_record.h"
#include "net/wire/framing.h"
#include "server/market/bars.h"
#include "server/market/catalogue.h"
#include "tests/support/server_process.h"

namespace zq {
namespace {

using test::HistoryReply;
using test::RequestHistory;
using test::ServerProcess;

std::string KeyOf(const BarRecord& r) {
    return std::string(KeyText(MakeBarKey(r)));
}

// Minutes since 1970 (Beijing time) of a finished bar's key, worked out with the C library so
// that the server's own calendar is checked against another one.
long long KeyMinutes(const std::string& key) {
    if (key.size() != 12) return -1;
    std::tm tm{};
    tm.tm_year = std::stoi(key.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(key.substr(4, 2)) - 1;
    tm.tm_mday = std::stoi(key.substr(6, 2));
    tm.tm_hour = std::stoi(key.substr(8, 2));
    tm.tm_min = std::stoi(key.substr(10, 2));
    return static_cast<long long>(timegm(&tm)) / 60;
}

bool SameRecord(const BarRecord& a, const BarRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class HistoryLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Running()) << server.Error();
        auto demo = test::LoginAs(server.requestPort(), "demo", "demo", "AB12");
        ASSERT_TRUE(demo) << server.Log();
        key = demo->key;
    }

    HistoryReply Ask(int period, int instrument, const std::string& a, const std::string& b) {
        std::optional<HistoryReply> r =
            RequestHistory(server.dataPort(), cmd::History(period, instrument), a, b, key);
        EXPECT_TRUE(r.has_value()) << server.Log();
        if (!r) return {};
        EXPECT_TRUE(r->unzipped);
        return *r;
    }

    // The market stands still, so answers differ only when a bar ends between two requests.
    ServerProcess server{{"--market-step-ms", "0", "--fixed-code", "AB12"}};
    // Transfers are for members: the session of "demo".
    std::array<std::int32_t, 4> key{};
};

TEST_F(HistoryLinkTest, FirstPageIsTheLiveBarAndTheNewestBarsNewestFirst) {
    for (int instrument : {1, 32}) {
        const int decimals = server::FindRules(instrument)->decimals;
        for (int period : server::kPeriods) {
            SCOPED_TRACE("instrument " + std::to_string(instrument) + ", period " +
                         std::to_string(period));
            HistoryReply h = Ask(period, instrument, "0", "0");
            ASSERT_EQ(h.bars.size(), std::size_t{server::kHistoryPageBars} + 1);
            EXPECT_GT(h.length, 0);

            // Every zip item holds whole records, and the page needs several items.
            EXPECT_GT(h.itemSizes.size(), 1u);
            std::size_t bytes = 0;
            for (std::size_t size : h.itemSizes) {
                EXPECT_EQ(size % sizeof(BarRecord), 0u);
                bytes += size;
            }
            EXPECT_EQ(bytes, h.bars.size() * sizeof(BarRecord));

            const BarRecord& live = h.bars[0];
            EXPECT_TRUE(IsLiveBar(live));
            EXPECT_EQ(TimeText(live).size(), 5u);
            for (std::size_t i = 0; i < h.bars.size(); ++i) {
                const BarRecord& b = h.bars[i];
                EXPECT_EQ(b.instrument, instrument);
                EXPECT_EQ(b.decimals, decimals);
                EXPECT_GE(b.keyNumber, 1970);
                EXPECT_LE(b.keyNumber, 9999);
                EXPECT_GT(b.low, 0);
                EXPECT_LE(b.low, std::min(b.open, b.close));
                EXPECT_GE(b.high, std::max(b.open, b.close));
                if (i + 1 < h.bars.size()) {
                    EXPECT_EQ(b.reference, h.bars[i + 1].close) << i;
                }
                if (i == 0) continue;
                ASSERT_EQ(Classify(b), BarKind::Finished) << i;
                ASSERT_EQ(TimeText(b).size(), 8u) << i;
                EXPECT_EQ(std::to_string(b.keyNumber).size(), 4u);
                if (i + 1 < h.bars.size()) {
                    // Newest first, one period apart (a fresh server has no gaps).
                    EXPECT_EQ(KeyMinutes(KeyOf(b)) - KeyMinutes(KeyOf(h.bars[i + 1])), period)
                        << KeyOf(b) << " after " << KeyOf(h.bars[i + 1]);
                }
            }
            // The live bar is the one after the newest finished bar, named by its start.
            const long long liveStart = KeyMinutes(KeyOf(h.bars[1])) + period;
            char hhmm[8];
            std::snprintf(hhmm, sizeof hhmm, "%02lld:%02lld", liveStart % 1440 / 60,
                          liveStart % 60);
            EXPECT_EQ(TimeText(live), hhmm);

            const std::string trailer(KeyText(h.trailer));
            EXPECT_EQ(trailer.size(), 12u);
            EXPECT_LT(trailer, KeyOf(h.bars.back()));
        }
    }
}

TEST_F(HistoryLinkTest, ABarKeyBringsThatBarAndEveryNewerOne) {
    HistoryReply page = Ask(15, 1, "0", "0");
    ASSERT_GT(page.bars.size(), 11u);
    const std::string from = KeyOf(page.bars[10]);

    HistoryReply h = Ask(15, 1, from, "0");
    ASSERT_GE(h.bars.size(), 11u);
    EXPECT_TRUE(IsLiveBar(h.bars[0]));
    EXPECT_TRUE(SameRecord(h.bars.back(), page.bars[10]));
    std::map<std::string, BarRecord> earlier;
    for (std::size_t i = 1; i < page.bars.size(); ++i) earlier[KeyOf(page.bars[i])] = page.bars[i];
    for (std::size_t i = 1; i < h.bars.size(); ++i) {
        EXPECT_GE(KeyOf(h.bars[i]), from);
        if (auto it = earlier.find(KeyOf(h.bars[i])); it != earlier.end()) {
            EXPECT_TRUE(SameRecord(h.bars[i], it->second)) << KeyOf(h.bars[i]);
        }
    }
    EXPECT_TRUE(SameKeyText(h.trailer, page.trailer));

    // A key the server does not hold (or no key at all) brings the newest page.
    for (const char* unknown : {"209901010000", "202402300000", "hello", "2024-03-01"}) {
        HistoryReply other = Ask(15, 1, unknown, "0");
        EXPECT_EQ(other.bars.size(), page.bars.size()) << unknown;
        EXPECT_TRUE(SameKeyText(other.trailer, page.trailer));
    }
}

TEST_F(HistoryLinkTest, PagingWalksBackToTheTrailer) {
    for (int period : {15, 240}) {
        SCOPED_TRACE("period " + std::to_string(period));
        HistoryReply first = Ask(period, 7, "0", "0");
        ASSERT_GT(first.bars.size(), 1u);
        const std::string trailer(KeyText(first.trailer));
        BarRecord oldest = first.bars.back();
        std::size_t finished = first.bars.size() - 1;
        int pages = 0;
        while (KeyOf(oldest) != trailer) {
            ASSERT_LT(++pages, 20) << "paging does not reach the trailer";
            HistoryReply h = Ask(period, 7, trailer, KeyOf(oldest));
            ASSERT_FALSE(h.bars.empty());
            EXPECT_LE(h.bars.size(), std::size_t{server::kHistoryPageBars});
            EXPECT_EQ(std::string(KeyText(h.trailer)), trailer);
            // The page ends right before the chart's oldest bar, and continues its prices.
            EXPECT_EQ(KeyMinutes(KeyOf(oldest)) - KeyMinutes(KeyOf(h.bars[0])), period);
            EXPECT_EQ(oldest.reference, h.bars[0].close);
            for (std::size_t i = 0; i < h.bars.size(); ++i) {
                EXPECT_FALSE(IsLiveBar(h.bars[i]));
                if (i + 1 < h.bars.size()) {
                    EXPECT_GT(KeyOf(h.bars[i]), KeyOf(h.bars[i + 1]));
                }
            }
            finished += h.bars.size();
            oldest = h.bars.back();
        }
        EXPECT_GE(finished, std::size_t{server::kSeededBars});
        // The oldest bar of the series starts the series: its reference is its own open.
        EXPECT_EQ(oldest.reference, oldest.open);

        // Nothing is older than the trailer: length 0, and the trailer still comes.
        HistoryReply none = Ask(period, 7, trailer, trailer);
        EXPECT_EQ(none.length, 0);
        EXPECT_TRUE(none.bars.empty());
        EXPECT_EQ(std::string(KeyText(none.trailer)), trailer);
    }
    // A key B that names no time at all brings nothing either.
    HistoryReply bad = Ask(15, 7, "0", "yesterday");
    EXPECT_EQ(bad.length, 0);
    EXPECT_EQ(std::string(KeyText(bad.trailer)).size(), 12u);
}

TEST_F(HistoryLinkTest, LongerPeriodsAreTheirQuarterHoursTakenTogether) {
    HistoryReply quarters = Ask(15, 13, "0", "0");
    std::map<long long, BarRecord> byStart;
    for (std::size_t i = 1; i < quarters.bars.size(); ++i)
        byStart[KeyMinutes(KeyOf(quarters.bars[i]))] = quarters.bars[i];

    for (int period : {60, 480, 1440}) {
        SCOPED_TRACE("period " + std::to_string(period));
        HistoryReply h = Ask(period, 13, "0", "0");
        int checked = 0;
        for (std::size_t i = 1; i < h.bars.size() && i < 8; ++i) {
            const long long start = KeyMinutes(KeyOf(h.bars[i]));
            std::vector<BarRecord> parts;
            for (long long m = start; m < start + period; m += 15)
                if (auto it = byStart.find(m); it != byStart.end()) parts.push_back(it->second);
            if (parts.size() != static_cast<std::size_t>(period / 15)) continue;
            const BarRecord& bar = h.bars[i];
            EXPECT_EQ(bar.open, parts.front().open);
            EXPECT_EQ(bar.close, parts.back().close);
            std::int32_t high = 0, low = parts.front().low;
            for (const BarRecord& p : parts) {
                high = std::max(high, p.high);
                low = std::min(low, p.low);
            }
            EXPECT_EQ(bar.high, high);
            EXPECT_EQ(bar.low, low);
            ++checked;
        }
        EXPECT_GT(checked, 0);
        // The live bar goes on from the newest finished one.
        EXPECT_EQ(h.bars[0].reference, h.bars[1].close);
    }
}

TEST_F(HistoryLinkTest, ARestartKeepsEveryBar) {
    // Without --seed every start draws another seed: the history must not depend on it.
    const int periods[] = {15, 1440};
    std::map<std::string, BarRecord> before[2];
    BarKey trailers[2];
    for (int p = 0; p < 2; ++p) {
        HistoryReply h = Ask(periods[p], 1, "0", "0");
        trailers[p] = h.trailer;
        for (std::size_t i = 1; i < h.bars.size(); ++i) before[p][KeyOf(h.bars[i])] = h.bars[i];
    }

    ASSERT_TRUE(server.Restart()) << server.Error();
    for (int p = 0; p < 2; ++p) {
        SCOPED_TRACE("period " + std::to_string(periods[p]));
        HistoryReply h = Ask(periods[p], 1, "0", "0");
        EXPECT_TRUE(SameKeyText(h.trailer, trailers[p]));
        int same = 0;
        for (std::size_t i = 1; i < h.bars.size(); ++i) {
            auto it = before[p].find(KeyOf(h.bars[i]));
            if (it == before[p].end()) continue;
            EXPECT_TRUE(SameRecord(h.bars[i], it->second)) << KeyOf(h.bars[i]);
            ++same;
        }
        EXPECT_GT(same, server::kHistoryPageBars - 5);
    }
}

TEST_F(HistoryLinkTest, RequestsItCannotServeCloseOnlyThatConnection) {
    auto send = [&](const void* data, std::size_t size) {
        Socket s = test::ConnectLocal(server.dataPort());
        EXPECT_TRUE(s.Valid());
        EXPECT_EQ(s.Send(data, size), static_cast<int>(size));
        ::shutdown(s.Fd(), SHUT_WR);
        return s;
    };
    {
        const char garbage[] = "GET / HTTP/1.0\r\n";
        Socket s = send(garbage, sizeof garbage - 1);
        EXPECT_TRUE(test::PeerClosed(s)) << "a short header is closed without an answer";
    }
    for (std::int32_t command : {15000, 15043, 16001, 1441001, 0, -15001, 7}) {
        char request[24 + 26] = {};
        RequestHeader h = test::Header(command, key);
        std::memcpy(request, &h, sizeof h);
        request[24] = '0';
        request[37] = '0';
        Socket s = send(request, sizeof request);
        EXPECT_TRUE(test::PeerClosed(s)) << "command " << command;
    }
    {
        char request[24 + 10] = {};
        RequestHeader h = test::Header(cmd::History(15, 1), key);
        std::memcpy(request, &h, sizeof h);
        Socket s = send(request, sizeof request);
        EXPECT_TRUE(test::PeerClosed(s)) << "keys cut short";
    }
    // The server goes on serving everyone else.
    HistoryReply h = Ask(30, 2, "0", "0");
    EXPECT_EQ(h.bars.size(), std::size_t{server::kHistoryPageBars} + 1);
    Socket request = test::ConnectLocal(server.requestPort());
    RequestHeader version = MakeVersionHeader();
    ASSERT_EQ(request.Send(&version, sizeof version), static_cast<int>(sizeof version));
    std::int32_t answer = 0;
    EXPECT_EQ(ReceiveExact(request, &answer, sizeof answer), static_cast<int>(sizeof answer));
    EXPECT_EQ(answer, ProgramVersion);
}

TEST_F(HistoryLinkTest, TransfersAreOnlyForAnOpenSession) {
    auto refused = [&](const std::array<std::int32_t, 4>& with) {
        Socket s = test::ConnectLocal(server.dataPort());
        char request[24 + 26] = {};
        RequestHeader h = test::Header(cmd::History(15, 1), with);
        std::memcpy(request, &h, sizeof h);
        request[24] = '0';
        request[37] = '0';
        EXPECT_EQ(s.Send(request, sizeof request), static_cast<int>(sizeof request));
        return test::PeerClosed(s);
    };
    EXPECT_TRUE(refused({})) << "no key";
    EXPECT_TRUE(refused({key[0] ^ 1, key[1], key[2], key[3]})) << "a key of no session";
    EXPECT_EQ(Ask(15, 1, "0", "0").bars.size(), std::size_t{server::kHistoryPageBars} + 1);

    // A session that has ended gets nothing either.
    Socket out = test::ConnectLocal(server.requestPort());
    RequestHeader logout = test::Header(cmd::Logout, key);
    ASSERT_EQ(out.Send(&logout, sizeof logout), static_cast<int>(sizeof logout));
    // The server has served the log-out once it closes after our end of the stream.
    ::shutdown(out.Fd(), SHUT_WR);
    EXPECT_TRUE(test::PeerClosed(out));
    EXPECT_TRUE(refused(key)) << "a logged-out key";
    EXPECT_NE(server.Log().find("no session"), std::string::npos) << server.Log();
}

// ---- Pieces the transfers rest on ----

TEST(BarTimes, KeysNameBeijingTimeAndRejectImpossibleDates) {
    // 2024-02-29 16:00 UTC is 1 March 2024, 00:00 in Beijing.
    const auto t = std::chrono::system_clock::from_time_t(1709222400);
    const server::BarMinute m = server::BeijingMinute(t);
    EXPECT_EQ(server::BarYear(m), 2024);
    EXPECT_EQ(server::FinishedTimeText(m), "03010000");
    EXPECT_EQ(server::LiveTimeText(m + 75), "01:15");
    EXPECT_EQ(server::ParseBarKey("202403010000"), m);
    EXPECT_EQ(server::ParseBarKey("202402291545"), m - 8 * 60 - 15);
    EXPECT_EQ(server::FinishedTimeText(m - 1), "02292359");
    EXPECT_EQ(server::FloorTo(m + 479, 480), m);
    EXPECT_EQ(server::FloorTo(m - 1, 1440), m - 1440);
    for (const char* bad : {"202302290000", "202413010000", "202401320000", "202401012400",
                            "202401010060", "20240101000", "2024010100000", "2024-1010000", "0"})
        EXPECT_FALSE(server::ParseBarKey(bad).has_value()) << bad;
}

}  // namespace
}  // namespace zq
