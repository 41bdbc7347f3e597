// Sounds in window tests: a sound output that records instead of playing, and the program's
// window road with its sounds going through the real bridge to the current sound output.
//
//   SoundingUi ui;                 // posts reach windows; message boxes answered and recorded
//   RecordingSoundOutput sounds;   // what the bridge plays and stops, in order
#pragma once

#include <QString>
#include <QThread>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/app_driver.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/ui/sound_output.h"

namespace zq::test {

class RecordingSoundOutput final : public SoundOutput {
  public:
    struct Event {
        QString path;  // empty for a stop
        bool looped = false;
        QThread* thread = nullptr;  // where the output was called
    };

    RecordingSoundOutput() { SetSoundOutput(this); }
    ~RecordingSoundOutput() override { SetSoundOutput(nullptr); }
    RecordingSoundOutput(const RecordingSoundOutput&) = delete;
    RecordingSoundOutput& operator=(const RecordingSoundOutput&) = delete;

    void Play(const QString& resourcePath, bool looped) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({resourcePath, looped, QThread::currentThread()});
    }
    void StopAll() override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({QString(), false, QThread::currentThread()});
    }

    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<Event> Plays() const {
        std::vector<Event> plays;
        for (const Event& e : Events())
            if (!e.path.isEmpty()) plays.push_back(e);
        return plays;
    }
    int Stops() const {
        int n = 0;
        for (const Event& e : Events()) n += e.path.isEmpty();
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// DeliveringUi, but sounds, notifications and the tray take the program's own road (QtBridge)
// to the current output and notifier.
class SoundingUi final : public UiBridge {
  public:
    SoundingUi() { SetUi(this); }
    ~SoundingUi() override { SetUi(nullptr); }
    SoundingUi(const SoundingUi&) = delete;
    SoundingUi& operator=(const SoundingUi&) = delete;

    std::vector<std::string> BoxTexts() const { return windows_.BoxTexts(); }

    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override {
        return windows_.MessageBox(owner, text, caption, buttons, icon);
    }
    std::intptr_t Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                       std::intptr_t lparam) override {
        return windows_.Send(target, msg, wparam, lparam);
    }
    void Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
              std::intptr_t lparam) override {
        windows_.Post(target, msg, wparam, lparam);
    }
    bool IsWindow(WindowHandle target) override { return windows_.IsWindow(target); }
    void PlaySound(int soundId, bool looped) override { sounds_.PlaySound(soundId, looped); }
    void StopSounds() override { sounds_.StopSounds(); }
    bool OpenUrl(const std::string&) override { return true; }
    // Notifications and the tray take the bridge's road too, to the current notifier.
    void Notify(const std::string& title, const std::string& text) override {
        sounds_.Notify(title, text);
    }
    void SetTray(WindowHandle target, unsigned clickMsg, int unread) override {
        sounds_.SetTray(target, clickMsg, unread);
    }

  private:
    DeliveringUi windows_;  // installs itself first; the constructor then puts this one in
    QtBridge sounds_;
};

}  // namespace zq::test
