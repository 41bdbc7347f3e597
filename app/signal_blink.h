// The signal blink list of the main frame: the instrument toolbar buttons of instruments that
// have trading signals on the chart. A button is marked when a signal of its instrument is
// published (live or with a history transfer) and unmarked when a withdrawal leaves none. Every
// 100 ms the frame ticks the list: a button of an announced instrument stays still for about
// four seconds and then shows four image changes in 0.4 seconds, ending on its own image, over
// and over; buttons of silent instruments never blink.
//
// The list lives on the user-interface thread: the workers reach it only through the
// WM_SIGNAL_MARK they post to the frame.
#pragma once

#include <cstddef>
#include <vector>

#include "net/signal_feed.h"

namespace zq {

inline constexpr int kSignalBlinkMs = 100;
// The image a blinking button shows between its own ones.
inline constexpr int kEmptyButtonImage = 99;
// Counter values: below kBlinkStart the button stands still; from it to kBlinkEnd it changes
// image on every tick, and kBlinkEnd starts the count again.
inline constexpr int kBlinkStart = 41;
inline constexpr int kBlinkEnd = 44;

// What the list asks of the instrument toolbar. Positions are those of the toolbar's buttons.
class BlinkToolbar {
  public:
    virtual ~BlinkToolbar() = default;
    // The position of the button with this command id, or -1 when the toolbar has none.
    virtual int FindButton(int command) const = 0;
    // The image the button at `position` shows normally (never kEmptyButtonImage).
    virtual int OwnImage(int position) const = 0;
    virtual void SetImage(int position, int image) = 0;
};

struct SignalBlinkEntry {
    int instrument = 0;
    int counter = 0;
    int position = -1;  // on the instrument toolbar
    int command = 0;    // 30000 + instrument
    int ownImage = 0;
    int currentImage = 0;
};

class SignalBlinkList {
  public:
    // A signal of the instrument was published: its button gets an entry unless it has one.
    // An instrument without a button on the toolbar gets none (there is nothing to blink).
    void Mark(int instrument, BlinkToolbar& toolbar);
    // A signal of the instrument was withdrawn and `signals` are left: none takes the entry
    // away and gives the button its own image back; some give it an entry if it has none.
    void Recount(int instrument, std::size_t signals, BlinkToolbar& toolbar);
    // One tick of the 100 ms timer for every entry, with the announcement flags.
    void Tick(const SignalFlags& flags, BlinkToolbar& toolbar);

    const std::vector<SignalBlinkEntry>& Entries() const { return entries_; }
    // The entry of an instrument, or null.
    const SignalBlinkEntry* Find(int instrument) const;

  private:
    SignalBlinkEntry* FindEntry(int instrument);
    void Append(int instrument, BlinkToolbar& toolbar);

    std::vector<SignalBlinkEntry> entries_;
};

}  // namespace zq
