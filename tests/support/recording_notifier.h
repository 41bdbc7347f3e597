// Desktop notifications in window tests: a notifier that records what the bridge hands it
// instead of showing it, and clicks the tray icon as the desktop would.
//
//   RecordingNotifier notifier;   // installed while it lives
#pragma once

#include <QString>
#include <vector>

#include "base/ui_bridge.h"
#include "widgets/ui/desktop_notifier.h"

namespace zq::test {

class RecordingNotifier final : public DesktopNotifier {
  public:
    struct Note {
        QString title, text;
    };

    RecordingNotifier() { SetNotifier(this); }
    ~RecordingNotifier() override { SetNotifier(nullptr); }
    RecordingNotifier(const RecordingNotifier&) = delete;
    RecordingNotifier& operator=(const RecordingNotifier&) = delete;

    void Notify(const QString& title, const QString& text) override {
        notes.push_back({title, text});
    }
    void SetTray(WindowHandle target, unsigned clickMsg, int unread) override {
        target_ = target;
        clickMsg_ = clickMsg;
        counts.push_back(unread);
    }
    // What a click on the tray icon does.
    void ClickTray() const {
        if (target_) Ui().Post(target_, clickMsg_, 0, 0);
    }
    bool TrayShown() const { return target_ != nullptr; }

    // User-interface thread only, like the notifier itself.
    std::vector<Note> notes;
    std::vector<int> counts;  // every count the tray was given, in order

  private:
    WindowHandle target_ = nullptr;
    unsigned clickMsg_ = 0;
};

}  // namespace zq::test
