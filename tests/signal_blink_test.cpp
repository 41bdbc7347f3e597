// The signal blink list against a recording toolbar: marking, recounting and the 100 ms tick
// that blinks the buttons of announced instruments.
#include "app/signal_blink.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "market/instruments.h"

namespace zq {
namespace {

// Buttons of instruments 1, 5 and 7 at positions 0, 2 and 3 (1 is a separator); own images are
// 10 + position.
class RecordingToolbar : public BlinkToolbar {
  public:
    int FindButton(int command) const override {
        static const std::map<int, int> buttons = {
            {InstrumentCommand(1), 0}, {InstrumentCommand(5), 2}, {InstrumentCommand(7), 3}};
        auto it = buttons.find(command);
        return it == buttons.end() ? -1 : it->second;
    }
    int OwnImage(int position) const override { return 10 + position; }
    void SetImage(int position, int image) override { changes.emplace_back(position, image); }

    std::vector<std::pair<int, int>> changes;
};

SignalFlags Flags(std::initializer_list<int> announced) {
    SignalFlags f{};
    for (int i : announced) f[static_cast<std::size_t>(i - 1)] = 1;
    return f;
}

TEST(SignalBlinkTest, AMarkAddsOneEntryPerInstrumentThatHasAButton) {
    RecordingToolbar bar;
    SignalBlinkList list;
    list.Mark(5, bar);
    list.Mark(5, bar);
    list.Mark(1, bar);
    list.Mark(20, bar);  // no button: nothing to blink
    ASSERT_EQ(list.Entries().size(), 2u);
    const SignalBlinkEntry& e = list.Entries()[0];
    EXPECT_EQ(e.instrument, 5);
    EXPECT_EQ(e.counter, 0);
    EXPECT_EQ(e.position, 2);
    EXPECT_EQ(e.command, 30005);
    EXPECT_EQ(e.ownImage, 12);
    EXPECT_EQ(e.currentImage, 12);
    EXPECT_EQ(list.Entries()[1].instrument, 1);
    EXPECT_EQ(list.Find(20), nullptr);
    EXPECT_TRUE(bar.changes.empty());
}

TEST(SignalBlinkTest, ARecountRemovesTheEntryWithItsImageOnlyWhenNoSignalIsLeft) {
    RecordingToolbar bar;
    SignalBlinkList list;
    // Signals left but no entry (marked before a reset took the entry's signals): one is added.
    list.Recount(7, 2, bar);
    ASSERT_NE(list.Find(7), nullptr);
    // Signals left and an entry: it keeps blinking where it was.
    const SignalFlags flags = Flags({7});
    for (int i = 0; i < 42; ++i) list.Tick(flags, bar);
    ASSERT_EQ(bar.changes.back(), (std::pair<int, int>{3, kEmptyButtonImage}));
    list.Recount(7, 1, bar);
    EXPECT_EQ(list.Find(7)->counter, 42);
    EXPECT_EQ(list.Find(7)->currentImage, kEmptyButtonImage);
    // None left: the button shows its own image again, even in the middle of a blink.
    list.Recount(7, 0, bar);
    EXPECT_EQ(list.Find(7), nullptr);
    EXPECT_EQ(bar.changes.back(), (std::pair<int, int>{3, 13}));
    // None left and no entry: nothing at all.
    bar.changes.clear();
    list.Recount(7, 0, bar);
    EXPECT_TRUE(list.Entries().empty());
    EXPECT_TRUE(bar.changes.empty());
}

TEST(SignalBlinkTest, AnAnnouncedButtonStandsStillFortyTicksThenChangesFourTimesEndingOnItsOwn) {
    RecordingToolbar bar;
    SignalBlinkList list;
    list.Mark(1, bar);
    const SignalFlags flags = Flags({1});
    std::vector<std::pair<int, int>> expected;
    for (int round = 0; round < 3; ++round) {
        // The counter runs up to 41 standing still: from 0 in the first round, from 1 later.
        const int still = round == 0 ? 41 : 40;
        for (int i = 0; i < still; ++i) list.Tick(flags, bar);
        EXPECT_EQ(bar.changes, expected) << round;
        for (int image : {kEmptyButtonImage, 10, kEmptyButtonImage, 10}) {
            list.Tick(flags, bar);
            expected.emplace_back(0, image);
        }
        EXPECT_EQ(bar.changes, expected) << round;
        EXPECT_EQ(list.Find(1)->counter, 1);  // 44 starts the count again
        EXPECT_EQ(list.Find(1)->currentImage, 10);
    }
}

TEST(SignalBlinkTest, ASilentButtonNeverBlinksAndOneSilencedMidBlinkEndsOnItsOwnImage) {
    RecordingToolbar bar;
    SignalBlinkList list;
    list.Mark(1, bar);
    list.Mark(5, bar);
    SignalFlags flags{};
    flags[4] = 2;  // anything but 1 is silent
    for (int i = 0; i < 200; ++i) list.Tick(flags, bar);
    EXPECT_TRUE(bar.changes.empty());
    EXPECT_EQ(list.Find(1)->counter, 1);
    EXPECT_EQ(list.Find(5)->counter, 1);

    // Instrument 1 announced until its first image change, then silenced: the blink runs to
    // its end and the button then stands still on its own image.
    flags[0] = 1;
    for (int i = 0; i < 41; ++i) list.Tick(flags, bar);
    flags[0] = 0;
    for (int i = 0; i < 100; ++i) list.Tick(flags, bar);
    EXPECT_EQ(bar.changes, (std::vector<std::pair<int, int>>{
                               {0, kEmptyButtonImage}, {0, 10}, {0, kEmptyButtonImage}, {0, 10}}));
    EXPECT_EQ(list.Find(1)->counter, 1);
}

}  // namespace
}  // namespace zq
