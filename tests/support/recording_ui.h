// A window bridge for window tests: records message boxes, opened addresses and sounds, and
// answers message boxes with a button the test sets.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/ui_bridge.h"

namespace zq::test {

class RecordingUi : public UiBridge {
  public:
    int MessageBox(WindowHandle, const std::string& text, const std::string& caption,
                   MsgButtons buttons, MsgIcon icon) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(text);
        captions.push_back(caption);
        lastButtons = buttons;
        lastIcon = icon;
        return answer;
    }
    std::intptr_t Send(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override { return 0; }
    void Post(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override {}
    bool IsWindow(WindowHandle) override { return false; }
    void PlaySound(int id, bool looped) override {
        std::lock_guard<std::mutex> lock(mutex);
        sounds.push_back(looped ? -id : id);
    }
    void StopSounds() override {
        std::lock_guard<std::mutex> lock(mutex);
        stops++;
    }
    void OpenUrl(const std::string& url) override {
        std::lock_guard<std::mutex> lock(mutex);
        urls.push_back(url);
    }

    std::mutex mutex;
    std::vector<std::string> messages, captions, urls;
    std::vector<int> sounds;  // negative for a looped sound
    int stops = 0;
    MsgButtons lastButtons = MsgButtons::Ok;
    MsgIcon lastIcon = MsgIcon::None;
    int answer = IdOk;
};

}  // namespace zq::test
