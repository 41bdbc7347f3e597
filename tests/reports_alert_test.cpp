// The alert check of every quote: which alerts fire, their messages and sound, the deletion
// requests with the records as they were loaded, the removal only after the server confirmed
// it and the notice to the open dialog; the texts; the creation and deletion requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/wire/session.h"
#include "reports/alert_check.h"
#include "tests/alert_fixtures.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/support/wait_until.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/operation_runner.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::AlertServer;
using test::Bytes;
using test::FakeUi;
using test::NamedInstrument;
using test::PriceAlert;
using test::ProfitAlert;
using test::Quote;

const std::string kOne(1, '\x01');
const std::string kZero(1, '\0');

class AlertCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_.SetInstruments(
            {NamedInstrument(1, "伦敦金(T+0)", 2), NamedInstrument(14, "欧元/美元", 4)});
        messages_.SetNewMessageHook([this](int soundId) { sounds_.push_back(soundId); });
        server_.Answer(cmd::RemovePriceAlert, kOne);
        server_.Answer(cmd::UpdateProfitAlert, test::Int32Bytes(1));
        check_.SetPriceDialog(&dialog_);
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const MessageRecord& m : messages_.Copy()) out.push_back(m.content);
        return out;
    }
    std::size_t PostsOf(unsigned msg) const {
        std::size_t n = 0;
        for (const FakeUi::Message& m : ui_.Posts()) n += m.msg == msg;
        return n;
    }

    FakeUi ui_;
    AlertServer server_;
    TradingModel model_;
    MessageStore messages_;
    std::vector<int> sounds_;
    AlertList<PriceAlertRecord> price_;
    AlertList<ProfitAlertRecord> profit_;
    AlertCheck check_{&model_, price_, profit_, messages_};
    int dialog_ = 0;
};

TEST_F(AlertCheckTest, APriceAlertFiresAtItsTargetOnlyForItsInstrument) {
    const PriceAlertRecord alert = PriceAlert(7, 1, 1, 1650.50);
    price_.Replace({alert});

    check_.Check(Quote(14, 165050, 2).Record(), 0);  // another instrument at the same number
    check_.Check(Quote(1, 165049, 2).Record(), 0);   // one point short
    EXPECT_EQ(server_.Connections(), 0);
    EXPECT_EQ(messages_.Size(), 0u);

    check_.Check(Quote(1, 165050, 2).Record(), 0);
    EXPECT_EQ(Texts(), std::vector<std::string>{"产品伦敦金(T+0)价格预警：>=1650.50已到达"});
    EXPECT_EQ(sounds_, std::vector<int>{sound::Alert});
    const auto requests = server_.RequestsOf(cmd::RemovePriceAlert);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload, Bytes(alert));  // the record as it was loaded
    EXPECT_TRUE(price_.Copy().empty());
    ASSERT_EQ(PostsOf(WM_PRICE_ALERTS_CHANGED), 1u);
    EXPECT_EQ(ui_.Posts().back().target, &dialog_);
    EXPECT_TRUE(ui_.Boxes().empty());
}

TEST_F(AlertCheckTest, ConditionsCompareBothWaysAndOthersNeverFire) {
    // <= at its target, with four decimals: 1.3500 is the target, not a hair above it.
    price_.Replace({PriceAlert(1, 14, 2, 1.35), PriceAlert(2, 14, 0, 1.0),
                    PriceAlert(3, 14, 3, 1.0), PriceAlert(4, 14, 1, 1.36)});
    profit_.Replace({ProfitAlert(5, 0, -1e9), ProfitAlert(6, 3, -1e9)});
    check_.Check(Quote(14, 13500, 4).Record(), 0);
    EXPECT_EQ(Texts(), std::vector<std::string>{"产品欧元/美元价格预警：<=1.3500已到达"});
    ASSERT_EQ(server_.Requests().size(), 1u);
    EXPECT_EQ(price_.Copy().size(), 3u);
    EXPECT_EQ(profit_.Copy().size(), 2u);

    check_.Check(Quote(14, 13600, 4).Record(), 0);  // >= at its target
    EXPECT_EQ(Texts().back(), "产品欧元/美元价格预警：>=1.3600已到达");
    EXPECT_EQ(price_.Copy().size(), 2u);  // the unknown conditions stay, silent
    EXPECT_EQ(messages_.Size(), 2u);
}

TEST_F(AlertCheckTest, TwoAlertsOnOneQuoteEachPostAndDelete) {
    price_.Replace(
        {PriceAlert(3, 1, 1, 1600), PriceAlert(4, 14, 1, 1.0), PriceAlert(5, 1, 2, 1700)});
    check_.Check(Quote(1, 165050, 2).Record(), 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"产品伦敦金(T+0)价格预警：>=1600.00已到达",
                                                 "产品伦敦金(T+0)价格预警：<=1700.00已到达"}));
    const auto requests = server_.RequestsOf(cmd::RemovePriceAlert);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload, Bytes(PriceAlert(3, 1, 1, 1600)));
    EXPECT_EQ(requests[1].payload, Bytes(PriceAlert(5, 1, 2, 1700)));
    ASSERT_EQ(price_.Copy().size(), 1u);
    EXPECT_EQ(price_.Copy()[0].id, 4);
    EXPECT_EQ(PostsOf(WM_PRICE_ALERTS_CHANGED), 2u);
    EXPECT_EQ(sounds_.size(), 2u);
}

TEST_F(AlertCheckTest, AnUnconfirmedDeletionStaysListedButFiresOncePerRun) {
    server_.Answer(cmd::RemovePriceAlert, kZero);
    server_.Answer(cmd::UpdateProfitAlert, test::Int32Bytes(0));
    price_.Replace({PriceAlert(7, 1, 1, 1650.5)});
    profit_.Replace({ProfitAlert(9, 1, 100)});
    for (int i = 0; i < 3; ++i) check_.Check(Quote(1, 165100, 2).Record(), 150.0);
    EXPECT_EQ(messages_.Size(), 2u);
    EXPECT_EQ(server_.RequestsOf(cmd::RemovePriceAlert).size(), 1u);
    EXPECT_EQ(server_.RequestsOf(cmd::UpdateProfitAlert).size(), 1u);
    EXPECT_EQ(price_.Copy().size(), 1u);
    EXPECT_EQ(profit_.Copy().size(), 1u);
    EXPECT_EQ(PostsOf(WM_PRICE_ALERTS_CHANGED), 0u);

    // An answer that never comes is no confirmation either; another alert still fires.
    server_.Answer(cmd::RemovePriceAlert, "");
    price_.Replace({PriceAlert(7, 1, 1, 1650.5), PriceAlert(8, 1, 1, 1650.5)});
    check_.Check(Quote(1, 165100, 2).Record(), 0);
    EXPECT_EQ(price_.Copy().size(), 2u);
    EXPECT_EQ(messages_.Size(), 3u);
    check_.Check(Quote(1, 165100, 2).Record(), 0);
    EXPECT_EQ(messages_.Size(), 3u);
}

TEST_F(AlertCheckTest, AProfitAlertFiresAtItsAmountWhateverTheQuote) {
    int editor = 0;
    check_.SetProfitEditor(&editor);
    const ProfitAlertRecord loss = ProfitAlert(11, 2, -500);
    const ProfitAlertRecord gain = ProfitAlert(12, 1, 50000);
    profit_.Replace({loss, gain});

    check_.Check(Quote(14, 13000, 4).Record(), -499.99);
    EXPECT_EQ(messages_.Size(), 0u);
    check_.Check(Quote(14, 13000, 4).Record(), -500.00);
    EXPECT_EQ(Texts(), std::vector<std::string>{"产品赢利预警：赢利额<=-500.00已到达"});
    EXPECT_EQ(sounds_, std::vector<int>{sound::Alert});
    const auto requests = server_.RequestsOf(cmd::UpdateProfitAlert);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload, Bytes(loss));  // all 120 bytes as loaded
    ASSERT_EQ(profit_.Copy().size(), 1u);
    EXPECT_EQ(Bytes(profit_.Copy()[0]), Bytes(gain));
    ASSERT_EQ(PostsOf(WM_PROFIT_ALERTS_CHANGED), 1u);
    EXPECT_EQ(ui_.Posts().back().target, &editor);

    check_.Check(Quote(1, 165000, 2).Record(), 50000.0);
    EXPECT_EQ(Texts().back(), "产品赢利预警：赢利额>=50000.00已到达");
    EXPECT_TRUE(profit_.Copy().empty());
}

TEST_F(AlertCheckTest, NoListLockIsHeldWhileTheServerIsAsked) {
    std::atomic<int> lockedDuringRequest{0};
    server_.SetOnRequest([&](const AlertServer::Request&) {
        if (!price_.Mutex().try_lock())
            ++lockedDuringRequest;
        else
            price_.Mutex().unlock();
        if (!profit_.Mutex().try_lock())
            ++lockedDuringRequest;
        else
            profit_.Mutex().unlock();
    });
    price_.Replace({PriceAlert(1, 1, 1, 1), PriceAlert(2, 1, 1, 2)});
    profit_.Replace({ProfitAlert(3, 1, 0)});
    check_.Check(Quote(1, 165000, 2).Record(), 1.0);
    EXPECT_EQ(server_.Requests().size(), 3u);
    EXPECT_EQ(lockedDuringRequest.load(), 0);
}

TEST_F(AlertCheckTest, WithoutADialogNothingIsPostedAndAClosedDialogStaysUnregistered) {
    int other = 0;
    check_.ClearPriceDialog(&other);  // not the registered one
    EXPECT_EQ(check_.PriceDialog(), &dialog_);
    check_.ClearPriceDialog(&dialog_);
    EXPECT_EQ(check_.PriceDialog(), nullptr);
    price_.Replace({PriceAlert(1, 1, 1, 1)});
    check_.Check(Quote(1, 165000, 2).Record(), 0);
    EXPECT_TRUE(price_.Copy().empty());
    EXPECT_TRUE(ui_.Posts().empty());
}

// A bridge whose message boxes stay open until the test lets them go.
class HeldBoxUi final : public FakeUi {
  public:
    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override {
        ++shown;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return FakeUi::MessageBox(owner, text, caption, buttons, icon);
    }
    std::atomic<int> shown{0};
    std::atomic<bool> release{false};
};

TEST(AlertCheckPortDownTest, TheConnectMessageWaitsAsideOneBoxAtATime) {
    HeldBoxUi ui;
    {
        test::ScriptServer gone([](Socket&, int) {});
        gone.UseAsRequestPort();
    }
    TradingModel model;
    model.SetInstruments({NamedInstrument(1, "伦敦金(T+0)", 2)});
    MessageStore messages;
    AlertList<PriceAlertRecord> price;
    AlertList<ProfitAlertRecord> profit;
    AlertCheck check(&model, price, profit, messages);
    SetThreadMessageAside(ShowMessageAside);  // as the push reader does
    price.Replace({PriceAlert(7, 1, 1, 1650.5), PriceAlert(8, 1, 1, 1650.5)});
    // The quote passes although the box of the first failure is open, and the second failure
    // raises no box of its own while it is.
    check.Check(Quote(1, 165100, 2).Record(), 0);
    EXPECT_EQ(messages.Size(), 2u);
    ASSERT_TRUE(test::WaitUntil([&] { return ui.shown == 1; }));
    profit.Replace({ProfitAlert(9, 1, 100)});
    check.Check(Quote(1, 165100, 2).Record(), 150.0);
    EXPECT_EQ(messages.Size(), 3u);
    EXPECT_EQ(ui.shown, 1);
    SetThreadMessageAside(nullptr);
    ui.release = true;
    ASSERT_TRUE(test::WaitUntil([] { return Operations().Running() == 0; }));
    EXPECT_EQ(ui.BoxTexts(), std::vector<std::string>{kConnectFailedText});
}

TEST(AlertTextTest, RowsAndMessagesUseTheInstrumentsNameAndDecimals) {
    const InstrumentRecord gold = NamedInstrument(1, "伦敦金(T+0)", 2);
    const PriceAlertRecord alert = PriceAlert(7, 1, 1, 1650.5);
    EXPECT_EQ(PriceAlertRowText(alert, gold), "产品【伦敦金(T+0)】价格>=1650.50时提醒");
    EXPECT_EQ(PriceAlertRowText(PriceAlert(8, 1, 2, 1650.5), NamedInstrument(1, "x", 3)),
              "产品【x】价格<=1650.500时提醒");
    EXPECT_EQ(ProfitAlertMessage(ProfitAlert(1, 1, 1234.567)),
              "产品赢利预警：赢利额>=1234.57已到达");
    // A '%' in a name is printed as itself, not read as a format.
    EXPECT_EQ(PriceAlertMessage(alert, NamedInstrument(1, "金%s%n", 2)),
              "产品金%s%n价格预警：>=1650.50已到达");
    // An instrument that is not listed has no name and no decimals.
    EXPECT_EQ(PriceAlertMessage(PriceAlert(7, 1, 1, 1650.7), InstrumentRecord{}),
              "产品价格预警：>=1651已到达");
}

class AlertRequestTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSession(); }
    FakeUi ui_;
    int owner_ = 0;
};

TEST_F(AlertRequestTest, CreationSendsIdZeroAndTakesTheAnsweredRecord) {
    AlertServer server;
    PriceAlertRecord answered = PriceAlert(41, 1, 2, 1600.25);
    server.Answer(cmd::SavePriceAlert, Bytes(answered));
    const PriceAlertRecord request = NewPriceAlert(1, 2, 1600.25);
    const auto stored = SavePriceAlert(&owner_, request);
    ASSERT_TRUE(stored);
    EXPECT_EQ(Bytes(*stored), Bytes(answered));
    const auto requests = server.RequestsOf(cmd::SavePriceAlert);
    ASSERT_EQ(requests.size(), 1u);
    PriceAlertRecord zeros{};
    zeros.target = 1600.25;
    zeros.condition = 2;
    zeros.instrument = 1;
    EXPECT_EQ(requests[0].payload, Bytes(zeros));  // id 0 and zeros everywhere else
    EXPECT_TRUE(ui_.Boxes().empty());
}

TEST_F(AlertRequestTest, ARefusedOrBrokenCreationSaysSo) {
    PriceAlertRecord refused = PriceAlert(0, 1, 1, 1);
    const std::string answers[] = {Bytes(refused), Bytes(PriceAlert(-3, 1, 1, 1)),
                                   Bytes(PriceAlert(5, 1, 1, 1)).substr(0, 39), ""};
    for (const std::string& answer : answers) {
        AlertServer server;
        server.Answer(cmd::SavePriceAlert, answer);
        ui_.Clear();
        EXPECT_FALSE(SavePriceAlert(&owner_, NewPriceAlert(1, 1, 1)));
        ASSERT_EQ(ui_.BoxTexts(), std::vector<std::string>{kAlertSaveFailedText});
        EXPECT_EQ(ui_.Boxes()[0].owner, &owner_);
    }
    {
        test::ScriptServer gone([](Socket&, int) {});
        gone.UseAsRequestPort();
    }
    ui_.Clear();
    EXPECT_FALSE(SavePriceAlert(&owner_, NewPriceAlert(1, 1, 1)));
    EXPECT_EQ(ui_.BoxTexts(), std::vector<std::string>{kConnectFailedText});  // only that
}

TEST_F(AlertRequestTest, AUserDeletionMarksTwoAtOffset32) {
    AlertServer server;
    server.Answer(cmd::RemovePriceAlert, std::string(1, '\xff'));  // any nonzero byte
    EXPECT_TRUE(RemovePriceAlert(&owner_, UserDeletion(23)));
    const auto requests = server.RequestsOf(cmd::RemovePriceAlert);
    ASSERT_EQ(requests.size(), 1u);
    std::string wanted(sizeof(PriceAlertRecord), '\0');
    const std::int32_t id = 23, mode = 2;
    std::memcpy(wanted.data() + 0, &id, 4);
    std::memcpy(wanted.data() + 32, &mode, 4);
    EXPECT_EQ(requests[0].payload, wanted);

    AlertList<PriceAlertRecord> list;
    list.Replace({PriceAlert(23, 1, 1, 1), PriceAlert(24, 1, 1, 1)});
    EXPECT_EQ(RemoveAlertById(list, 23), 1u);
    EXPECT_EQ(RemoveAlertById(list, 23), 0u);
    ASSERT_EQ(list.Copy().size(), 1u);
    EXPECT_EQ(list.Copy()[0].id, 24);
}

}  // namespace
}  // namespace zq
