// A window bridge for tests of plain code: records every message box, send, post, sound and
// opened address; answers message boxes with a button the test sets; treats as live exactly the
// windows the test names. Safe to call from any thread. A send is recorded and then handed to
// the test's handler, if any, with no lock of the bridge held, so the handler may do anything a
// window would (take locks, call back into the code under test).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/ui_bridge.h"

namespace zq::test {

class FakeUi : public UiBridge {
  public:
    struct Box {
        WindowHandle owner;
        std::string text, caption;
        MsgButtons buttons;
        MsgIcon icon;
    };
    struct Message {
        WindowHandle target;
        unsigned msg;
        std::intptr_t wparam, lparam;
    };
    struct Sound {
        int id;
        bool looped;
    };
    using SendHandler =
        std::function<std::intptr_t(WindowHandle, unsigned, std::intptr_t, std::intptr_t)>;

    // Installs itself as the process-wide bridge; the destructor puts the silent one back.
    FakeUi();
    ~FakeUi() override;
    FakeUi(const FakeUi&) = delete;
    FakeUi& operator=(const FakeUi&) = delete;

    // --- What the test sets. ---
    void SetLive(WindowHandle window, bool live = true);
    void SetBoxAnswer(int answer);
    // Called for every send to a live window; its result is the send's result.
    void OnSend(SendHandler handler);
    // Called for every post after it is recorded (window tests hand chosen posts on to the
    // windows).
    using PostHandler = std::function<void(WindowHandle, unsigned, std::intptr_t, std::intptr_t)>;
    void OnPost(PostHandler handler);

    // --- What was asked of the bridge, in order. ---
    std::vector<Box> Boxes() const;
    std::vector<std::string> BoxTexts() const;
    std::vector<Message> Sends() const;
    std::vector<Message> Posts() const;
    std::vector<Sound> Sounds() const;
    std::vector<std::string> Urls() const;
    // What OpenUrl answers from now on (true at first).
    void SetUrlsOpen(bool open);
    int StopCount() const;
    // Sends of one message (to any window), or to one window.
    std::vector<Message> SendsOf(unsigned msg) const;
    std::vector<unsigned> SendsTo(WindowHandle target) const;
    void Clear();

    // --- UiBridge ---
    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override;
    std::intptr_t Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                       std::intptr_t lparam) override;
    void Post(WindowHandle target, unsigned msg, std::intptr_t wparam,
              std::intptr_t lparam) override;
    bool IsWindow(WindowHandle target) override;
    void PlaySound(int soundId, bool looped) override;
    void StopSounds() override;
    bool OpenUrl(const std::string& url) override;

  private:
    mutable std::mutex mutex_;
    std::set<WindowHandle> live_;
    int answer_ = IdOk;
    SendHandler onSend_;
    PostHandler onPost_;
    std::vector<Box> boxes_;
    std::vector<Message> sends_, posts_;
    std::vector<Sound> sounds_;
    std::vector<std::string> urls_;
    bool urlsOpen_ = true;
    int stops_ = 0;
};

}  // namespace zq::test
