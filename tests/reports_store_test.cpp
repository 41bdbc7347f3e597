// The message store and the alert lists: reading rules of the server's answers and the stamps.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "base/config.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "reports/alerts.h"
#include "reports/message_store.h"
#include "tests/support/script_server.h"

namespace zq {
namespace {

using test::ScriptServer;

void Put32(std::string& out, std::int32_t v) {
    out.append(reinterpret_cast<char*>(&v), 4);
}

// A server that answers the first request header with `bytes` and closes.
struct OneAnswer {
    explicit OneAnswer(std::string bytes)
        : server([b = std::move(bytes)](Socket& peer, int) {
              RequestHeader h;
              if (ScriptServer::ReadHeader(peer, h)) peer.Send(b.data(), b.size());
          }) {
        server.UseAsRequestPort();
    }
    Socket Connect() { return ConnectRequestPort(); }
    ScriptServer server;
};

std::string MessageItem(std::int32_t time, const std::string& gbk) {
    std::string s;
    Put32(s, 1);
    Put32(s, time);
    Put32(s, static_cast<std::int32_t>(gbk.size()));
    return s + gbk;
}

TEST(MessageStoreTest, LoadOrdersNewestFirstAndStopsOnABrokenItem) {
    int hookCalls = 0;
    MessageStore store;
    store.SetNewMessageHook([&](int id) {
        EXPECT_EQ(id, sound::Message);
        hookCalls++;
    });
    {
        std::string answer =
            MessageItem(100, "A") + MessageItem(200, ToAnsi("乙")) + MessageItem(300, "");
        Put32(answer, 0);
        OneAnswer server(answer);
        Socket s = server.Connect();
        EXPECT_TRUE(store.Load(s));
    }
    auto items = store.Copy();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].content, "");  // a text of length 0 is an empty message
    EXPECT_EQ(items[1].content, "乙");
    EXPECT_EQ(items[2].content, "A");
    EXPECT_EQ(hookCalls, 1);

    // Cut inside the second item: the first stays, no blink or sound, the old ones are gone.
    std::string cut = MessageItem(100, "first") + MessageItem(200, "second");
    cut.resize(cut.size() - 3);
    {
        OneAnswer server(cut);
        Socket s = server.Connect();
        EXPECT_FALSE(store.Load(s));
    }
    items = store.Copy();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].content, "first");
    EXPECT_EQ(hookCalls, 1);

    // A length beyond the limit ends the read instead of allocating it.
    std::string huge;
    Put32(huge, 1);
    Put32(huge, 100);
    Put32(huge, 0x7FFFFFFF);
    {
        OneAnswer server(huge + "xyz");
        Socket s = server.Connect();
        EXPECT_FALSE(store.Load(s));
    }
    EXPECT_EQ(store.Size(), 0u);
}

TEST(MessageStoreTest, PostStampsChinaTimeWithOrWithoutAGivenTime) {
    MessageStore store;
    int sounds = 0;
    store.SetNewMessageHook([&](int id) {
        EXPECT_EQ(id, sound::Alert);
        sounds++;
    });
    // 2026-12-07 23:30:00 UTC is 07:30 of the next day in China.
    store.now = [] { return static_cast<std::time_t>(1796686200); };
    store.Post("price", 0, sound::Alert);
    store.Post("again", -5, sound::Alert);
    auto items = store.Copy();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].time, "2026-12-08 07:30:00");
    EXPECT_EQ(items[1].content, "again");  // posts are appended
    EXPECT_EQ(sounds, 2);
    EXPECT_EQ(ChinaTimeStamp(0), "1970-01-01 08:00:00");
    // A message with its own time reads on the same clock, whatever the machine's zone.
    store.Post("server", 1796686200, sound::Alert);
    EXPECT_EQ(store.Copy()[2].time, "2026-12-08 07:30:00");
}

TEST(MessageStoreTest, PostsFromManyThreadsAreAllKept) {
    MessageStore store;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) store.Post("m", 1, sound::Message);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(store.Size(), 2000u);
}

TEST(MessageStoreTest, AFloodOfPostsKeepsTheNewestWithinBothBounds) {
    MessageStore store;
    for (std::size_t i = 0; i < kMaxStoredMessages + 5; ++i)
        store.Post("m" + std::to_string(i), 1, 0);
    ASSERT_LE(store.Size(), kMaxStoredMessages);
    EXPECT_EQ(store.Copy().back().content, "m" + std::to_string(kMaxStoredMessages + 4));
    EXPECT_GT(store.Size(), kMaxStoredMessages / 2);

    const std::string large(64 * 1024, 'x');
    for (int i = 0; i < 1000; ++i) store.Post(large + std::to_string(i), 1, 0);
    std::size_t bytes = 0;
    for (const MessageRecord& m : store.Copy()) bytes += m.time.size() + m.content.size();
    EXPECT_LE(bytes, kMaxStoredMessageBytes);
    EXPECT_EQ(store.Copy().back().content, large + "999");
}

TEST(AlertListTest, PositiveCountReplacesOtherCountsKeep) {
    AlertList<PriceAlertRecord> list;
    list.Replace({PriceAlertRecord{7}});
    for (std::int32_t count : {0, -3}) {
        std::string answer;
        Put32(answer, count);
        OneAnswer server(answer);
        Socket s = server.Connect();
        EXPECT_TRUE(LoadPriceAlerts(s, list));
        ASSERT_EQ(list.Copy().size(), 1u);
        EXPECT_EQ(list.Copy()[0].id, 7);
    }
    // Three announced, one and a half sent: the whole one is kept.
    std::string answer;
    Put32(answer, 3);
    PriceAlertRecord r{};
    r.id = 11;
    r.target = 2.5;
    answer.append(reinterpret_cast<char*>(&r), sizeof r);
    answer.append(reinterpret_cast<char*>(&r), 20);
    OneAnswer server(answer);
    Socket s = server.Connect();
    EXPECT_FALSE(LoadPriceAlerts(s, list));
    auto items = list.Copy();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 11);
    EXPECT_DOUBLE_EQ(items[0].target, 2.5);
}

TEST(AlertListTest, ProfitAlertsKeepTheirBytes) {
    AlertList<ProfitAlertRecord> list;
    std::string answer;
    Put32(answer, 1);
    ProfitAlertRecord r;
    for (std::size_t i = 0; i < sizeof r; ++i) reinterpret_cast<std::uint8_t*>(&r)[i] = i;
    r.condition = 2;
    r.target = -150.25;
    answer.append(reinterpret_cast<char*>(&r), sizeof r);
    OneAnswer server(answer);
    Socket s = server.Connect();
    EXPECT_TRUE(LoadProfitAlerts(s, list));
    auto items = list.Copy();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(std::memcmp(&items[0], &r, sizeof r), 0);
}

}  // namespace
}  // namespace zq
