// Messages against the stand-in server: what the server holds for the member arrives with the
// start-up load, and an instant message pushed by the server's control port lands in the
// frame's store with the message sound and the blink, and in the message manager's first row.
#include <gtest/gtest.h>

#include <QPushButton>

#include "app/client_core.h"
#include "app/ui/app.h"
#include "app/ui/main_frame.h"
#include "reports/ui/sms_manager.h"
#include "tests/support/client_e2e.h"
#include "tests/support/recording_sound.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::ServeUntil;

bool Holds(const MessageStore& store, const std::string& text) {
    for (const MessageRecord& m : store.Copy())
        if (m.content == text) return true;
    return false;
}

// The logged-in client with its sounds going the program's own road to a recording output,
// and a message stored for the member before the program starts.
class MessageEndToEnd : public test::ClientEndToEnd {
  protected:
    void BeforeStart() override {
        const std::string stored = Control("message demo 离线时的消息");
        ASSERT_EQ(stored.rfind("ok", 0), 0u) << stored;
    }
    bool MessageSoundLooped() const {
        for (const auto& e : sounds_.Plays())
            if (e.path == QStringLiteral(":/sounds/151.wav") && e.looped) return true;
        return false;
    }

    test::SoundingUi soundingUi_;  // in front of the fixture's own bridge
    test::RecordingSoundOutput sounds_;
};

TEST_F(MessageEndToEnd, StoredAndInstantMessagesReachTheStoreWithSoundAndBlink) {
    // Stored while the member was away: the start-up load brought it.
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
