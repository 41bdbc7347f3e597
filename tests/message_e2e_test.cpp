// Messages against the stand-in server: what the server holds for the member arrives with the
// start-up load, and an instant message pushed by the server's control port lands in the
// frame's store with the message sound and the blink, and in the message manager's first row.
#include <gtest/gtest.h>

#include <QPushButton>

#include "app/client_core.h"
#include "app/ui/app.h"
#include "app/ui/main_frame.h"
#include "reports/ui/sms_manager.h"
#include "tests/support/app_driver.h"
#include "tests/support/recording_sound.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::ServerProcess;
using test::ServeUntil;

constexpr const char* kCode = "AB12";
constexpr int kWaitMs = 20000;

bool Holds(const MessageStore& store, const std::string& text) {
    for (const MessageRecord& m : store.Copy())
        if (m.content == text) return true;
    return false;
}

class MessageEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Running()) << server_.Error();
        env_ = std::make_unique<test::ClientEnvironment>(server_);
    }
    void TearDown() override {
        app_.reset();
        env_.reset();
    }
    void StartClient() {
        test::LogInWhenTheDialogShows("demo", "demo", kCode);
        app_ = std::make_unique<CTQDiraveApp>(QStringLiteral("zq-message-e2e-%1").arg(::getpid()));
        ASSERT_TRUE(app_->InitInstance());
        frame_ = app_->MainFrame();
    }
    std::string Control(const std::string& line) {
        return test::ControlCommand(server_.controlPort(), line);
    }
    bool MessageSoundLooped() const {
        for (const auto& e : sounds_.Plays())
            if (e.path == QStringLiteral(":/sounds/151.wav") && e.looped) return true;
        return false;
    }

    test::SoundingUi ui_;
    test::RecordingSoundOutput sounds_;
    ServerProcess server_{{"--fixed-code", kCode, "--control-port", "0", "--market-step-ms", "0"}};
    std::unique_ptr<test::ClientEnvironment> env_;
    std::unique_ptr<CTQDiraveApp> app_;
    CMainFrame* frame_ = nullptr;
};

TEST_F(MessageEndToEnd, StoredAndInstantMessagesReachTheStoreWithSoundAndBlink) {
    // Stored while the member is away: the start-up load brings it.
    const std::string stored = Control("message demo 离线时的消息");
    ASSERT_EQ(stored.rfind("ok", 0), 0u) << stored;
    StartClient();
    ASSERT_TRUE(frame_);
    EXPECT_TRUE(Holds(frame_->Core().Messages(), "离线时的消息"));
    ASSERT_TRUE(
        ServeUntil([&] { return frame_->MessageBlinking() && MessageSoundLooped(); }, kWaitMs));

    // Reading the messages ends the blink.
    bool shown = false;
    test::WhenDialogShows<CSmsManager>([](CSmsManager& m) { m.CloseButton()->click(); }, &shown);
    frame_->OnCommand(cmdid::OpenMessages);
    ASSERT_TRUE(shown);
    EXPECT_FALSE(frame_->MessageBlinking());

    // The push link must be up before the server can push to it.
    ASSERT_TRUE(ServeUntil([&] { return Control("links") == "ok 1"; }, kWaitMs));
    sounds_.Clear();
    const std::size_t before = frame_->Core().Messages().Size();
    const std::string pushed = Control("message demo 即时消息：黄金突破1700");
    ASSERT_EQ(pushed, "ok message stored, sent on 1 links");
    ASSERT_TRUE(ServeUntil(
        [&] {
            return frame_->Core().Messages().Size() == before + 1 && frame_->MessageBlinking() &&
                   MessageSoundLooped();
        },
        kWaitMs));
    const std::vector<MessageRecord> messages = frame_->Core().Messages().Copy();
    EXPECT_EQ(messages.back().content, "即时消息：黄金突破1700");
    EXPECT_EQ(messages.back().time.size(), 19u);

    // The manager lists it first.
    std::string firstRow;
    test::WhenDialogShows<CSmsManager>([&](CSmsManager& m) { firstRow = U(m.List()->Cell(0, 1)); });
    frame_->OnCommand(cmdid::OpenMessages);
    EXPECT_EQ(firstRow, "即时消息：黄金突破1700");

    // And the looped chime stops again.
    ASSERT_TRUE(ServeUntil([&] { return sounds_.Stops() >= 1; }, kWaitMs));
}

}  // namespace
}  // namespace zq
