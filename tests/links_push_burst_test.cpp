// The push reader over a long stream that arrives in large pieces: thousands of records with
// messages between them, items lying across every piece boundary, messages of the largest
// allowed length, and a stream that ends inside its last item.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "net/push_link.h"
#include "reports/message_store.h"
#include "tests/links_support.h"

namespace zq {
namespace {

using namespace test;

class PushBurstTest : public ::testing::Test {
  protected:
    std::shared_ptr<PushLink> Link() {
        PushHandlers h;
        h.marketRecord = [this](const BarRecord& r) { Add("m" + std::to_string(r.keyNumber)); };
        h.signal = [this](const BarRecord& r) { Add("s" + std::to_string(r.instrument)); };
        h.instantMessage = [this](const std::string& text, std::int32_t time) {
            Add("t" + std::to_string(time) + ":" + std::to_string(text.size()) + ":" +
                text.substr(0, 2));
        };
        h.logout = [this](unsigned msg) { Add("l" + std::to_string(msg)); };
        return std::make_shared<PushLink>(std::move(h), nullptr);
    }
    void Add(std::string s) {
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(s));
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    void Read(const Bytes& stream) {
        PushServer server;
        server.Send(stream);
        server.End();
        auto link = Link();
        ASSERT_TRUE(link->Connect(htonl(INADDR_LOOPBACK), server.Port()));
        ASSERT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }));
    }

    std::mutex mutex_;
    std::vector<std::string> log_;
};

TEST_F(PushBurstTest, EveryItemOfALongStreamInOrder) {
    Bytes b;
    std::vector<std::string> expected;
    for (int i = 0; i < 6000; ++i) {
        BarRecord r = HistoryBar(1 + i % 42, i);
        r.keyNumber = i;
        PutRecord(b, r);
        expected.push_back("m" + std::to_string(i));
        if (i % 997 == 3) {
            // Texts of every length up to the bound: short, around a piece, the largest.
            const std::size_t lengths[] = {1, 4095, 65535, 65536, 3, 12345, 40000};
            const std::size_t n = lengths[(i / 997) % 7];
            std::string text(n, 'a');
            text[0] = 'b';
            PutMessage(b, 1, 1700000000 + i, text);
            expected.push_back("t" + std::to_string(1700000000 + i) + ":" + std::to_string(n) +
                               ":" + text.substr(0, 2));
            PutItem(b, push::Discard);
            b.insert(b.end(), 100, 0x07);
            PutItem(b, 9);  // unknown: no body
        }
    }
    ASSERT_EQ(static_cast<std::int32_t>(65536), kMaxMessageBytes);
    BarRecord signal = HistoryBar(5, 1);
    signal.time[0] = static_cast<char>(0xFF);
    PutRecord(b, signal);
    expected.push_back("s5");
    PutItem(b, push::Record);
    b.resize(b.size() + 55, 0x01);  // ends one byte short of a record

    Read(b);
    EXPECT_EQ(Log(), expected);
}

TEST_F(PushBurstTest, AMessageBeyondTheBoundEndsTheReaderAfterWhatCameBefore) {
    Bytes b;
    PutRecord(b, HistoryBar(1, 1));
    PutMessage(b, 1, 1700000000, std::string(static_cast<std::size_t>(kMaxMessageBytes), 'x'));
    for (std::int32_t v : {push::Message, 1, 1700000001, kMaxMessageBytes + 1}) Put32(b, v);
    b.resize(b.size() + static_cast<std::size_t>(kMaxMessageBytes) + 1, 'y');
    PutRecord(b, HistoryBar(1, 2));  // never reached
    Read(b);
    EXPECT_EQ(Log(), (std::vector<std::string>{"m2024", "t1700000000:65536:xx"}));
}

}  // namespace
}  // namespace zq
