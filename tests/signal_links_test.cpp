// The signal feed as the server links wire it, against scripted request, push and data servers:
// the flags loaded when the links are made, signals of a history transfer and of the push link
// in the chart's list, their marks posted to the frame, announcements in the message list.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/config.h"
#include "market/wire/signal_record.h"
#include "net/server_links.h"
#include "net/wire/ansi_text.h"
#include "net/wire/session.h"
#include "tests/links_support.h"
#include "tests/support/fake_ui.h"
#include "tests/support/test_directory.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using namespace test;

const WindowHandle kView = reinterpret_cast<WindowHandle>(0x5EA7);
const WindowHandle kFrame = reinterpret_cast<WindowHandle>(0xF4A3);

SignalRecord MakeSignal(int instrument, std::int32_t price, std::uint8_t action = 1) {
    SignalRecord s{};
    s.price = price;
    s.stopLoss = price - 500;
    s.amount = 250;
    s.tag = 1;
    s.instrument = static_cast<std::int8_t>(instrument);
    s.action = action;
    s.side = signal_side::Resistance;
    s.lots = 100;
    s.published = 1700000500;
    s.marker = kSignalMarker;
    return s;
}

class SignalLinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-signal-links");
        ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
        ::setenv("ZQ_PUSH_PORT", std::to_string(push_.Port()).c_str(), 1);
        ::setenv("ZQ_DATA_PORT", std::to_string(data_.Port()).c_str(), 1);
        requests_.UseAsRequestPort();
        Session().serverAddress = htonl(INADDR_LOOPBACK);
        InstrumentRecord silver{};
        silver.id = 1;
        silver.decimals = 2;
        PutField(silver.name, sizeof silver.name, ToAnsi("伦敦银"));
        model_.SetInstruments({silver});
    }
    void TearDown() override {
        links_.reset();
        for (const char* v : {"ZQ_DATA_DIR", "ZQ_PUSH_PORT", "ZQ_DATA_PORT", "ZQ_REQUEST_PORT"})
            ::unsetenv(v);
        ReloadConfig();
        ResetSession();
        std::filesystem::remove_all(dir_);
    }

    ServerLinks& MakeLinks() {
        links_ = std::make_unique<ServerLinks>(kView, 1, ServerLinks::WindowHooks{});
        links_->SetMessageSink([this](const std::string& text, std::int32_t time) {
            std::lock_guard lock(mutex_);
            messages_.emplace_back(time, text);
        });
        links_->Signals().SetTradingModel(&model_);
        links_->Signals().SetMarkWindow(kFrame);
        links_->LoadSignalFlags();
        return *links_;
    }
    std::vector<std::pair<std::int32_t, std::string>> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::pair<std::intptr_t, std::intptr_t>> Marks() const {
        std::vector<std::pair<std::intptr_t, std::intptr_t>> out;
        for (const auto& m : ui_.Posts())
            if (m.target == kFrame && m.msg == WM_SIGNAL_MARK) out.emplace_back(m.wparam, m.lparam);
        return out;
    }
    std::vector<std::int32_t> ListedPrices() {
        return links_->Chart().WithSignals([](const SignalList& v) {
            std::vector<std::int32_t> out;
            for (const BarRecord& r : v) out.push_back(AsSignal(r).price);
            return out;
        });
    }

    FakeUi ui_;
    std::filesystem::path dir_;
    // The flags: instrument 1 announced, 2 silent.
    ScriptServer requests_{[](Socket& peer, int) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h) || h.command != cmd::LoadSignalFlags) return;
        unsigned char flags[50] = {1, 0};
        peer.Send(flags, sizeof flags);
    }};
    PushServer push_;
    DataServer data_;
    TradingModel model_;
    std::unique_ptr<ServerLinks> links_;
    std::mutex mutex_;
    std::vector<std::pair<std::int32_t, std::string>> messages_;
};

TEST_F(SignalLinksTest, SignalsOfTheTransferAndThePushLinkShareOneListAndOneAnnouncementRule) {
    ServerLinks& links = MakeLinks();
    EXPECT_EQ(requests_.Connections(), 1);
    EXPECT_TRUE(links.Signals().Announced(1));
    EXPECT_FALSE(links.Signals().Announced(2));

    // A transfer brings bars and two signals: listed and marked, not announced.
    std::vector<BarRecord> records = HistoryBars(1, 100, 20);
    records.insert(records.begin() + 3, AsBar(MakeSignal(1, 165000)));
    records.push_back(AsBar(MakeSignal(2, 7000)));
    data_.Answer(HistoryAnswer(MakeZip({RecordBytes(records)}), "T"));
    links.RebuildLinks();
    ASSERT_TRUE(WaitUntil([&] { return links.HistoryLoaded(); }));
    EXPECT_EQ(ListedPrices(), (std::vector<std::int32_t>{165000, 7000}));
    EXPECT_EQ(links.Chart().BarCount(), 20u);
    EXPECT_EQ(Marks(), (std::vector<std::pair<std::intptr_t, std::intptr_t>>{{1, kSignalMark},
                                                                             {2, kSignalMark}}));
    EXPECT_TRUE(Messages().empty());

    // Live: a new signal is announced with its time; the repeat of the transfer's one is not.
    ASSERT_TRUE(WaitUntil([&] { return push_.Subscribed() == 1; }));
    Bytes live;
    PutRecord(live, AsBar(MakeSignal(1, 166000)));
    PutRecord(live, AsBar(MakeSignal(1, 165000)));
    push_.Send(live);
    ASSERT_TRUE(WaitUntil([&] { return Marks().size() == 4; }));
    EXPECT_EQ(ListedPrices(), (std::vector<std::int32_t>{7000, 166000, 165000}));
    EXPECT_EQ(Messages(), (std::vector<std::pair<std::int32_t, std::string>>{
                              {1700000500,
                               "接收到[伦敦银]新操盘信号，{阻力位1660.00\u30001.00手/"
                               "2.50万元\u30001655.00止损}"}}));

    // A withdrawal of the transfer's signal takes it out; the frame is asked to recount.
    Bytes withdraw;
    PutRecord(withdraw, AsBar(MakeSignal(2, 7000, 4)));
    push_.Send(withdraw);
    ASSERT_TRUE(WaitUntil([&] { return Marks().size() == 5; }));
    EXPECT_EQ(Marks().back(), (std::pair<std::intptr_t, std::intptr_t>{2, kSignalRecount}));
    EXPECT_EQ(ListedPrices(), (std::vector<std::int32_t>{166000, 165000}));
    EXPECT_EQ(Messages().size(), 1u);
}

}  // namespace
}  // namespace zq
