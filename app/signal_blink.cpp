#include "app/signal_blink.h"

#include <algorithm>
#include <utility>

#include "market/instruments.h"

namespace zq {

const SignalBlinkEntry* SignalBlinkList::Find(int instrument) const {
    auto it = std::find_if(
        entries_.begin(), entries_.end(),
        [instrument](const SignalBlinkEntry& e) { return e.instrument == instrument; });
    return it == entries_.end() ? nullptr : &*it;
}

SignalBlinkEntry* SignalBlinkList::FindEntry(int instrument) {
    return const_cast<SignalBlinkEntry*>(std::as_const(*this).Find(instrument));
}

void SignalBlinkList::Append(int instrument, BlinkToolbar& toolbar) {
    SignalBlinkEntry e;
    e.instrument = instrument;
    e.command = InstrumentCommand(instrument);
    e.position = toolbar.FindButton(e.command);
    if (e.position < 0) return;
    e.ownImage = toolbar.OwnImage(e.position);
    e.currentImage = e.ownImage;
    entries_.push_back(e);
}

void SignalBlinkList::Mark(int instrument, BlinkToolbar& toolbar) {
    if (!Find(instrument)) Append(instrument, toolbar);
}

void SignalBlinkList::Recount(int instrument, std::size_t signals, BlinkToolbar& toolbar) {
    SignalBlinkEntry* e = FindEntry(instrument);
    if (signals == 0 && e) {
        toolbar.SetImage(e->position, e->ownImage);
        entries_.erase(entries_.begin() + (e - entries_.data()));
    } else if (signals > 0 && !e) {
        Append(instrument, toolbar);
    }
}

void SignalBlinkList::Tick(const SignalFlags& flags, BlinkToolbar& toolbar) {
    for (SignalBlinkEntry& e : entries_) {
        if (e.counter < kBlinkStart) {
            // Silent instruments never get to blink.
            if (!SignalAnnounced(flags, e.instrument)) e.counter = 0;
        } else {
            if (e.counter == kBlinkEnd) e.counter = 0;
            e.currentImage = e.currentImage == e.ownImage ? kEmptyButtonImage : e.ownImage;
            toolbar.SetImage(e.position, e.currentImage);
        }
        ++e.counter;
    }
}

}  // namespace zq
