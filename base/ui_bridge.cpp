#include "base/ui_bridge.h"

#include <atomic>

namespace zq {
namespace {

class SilentBridge final : public UiBridge {
  public:
    int MessageBox(WindowHandle, const std::string&, const std::string&, MsgButtons buttons,
                   MsgIcon) override {
        return buttons == MsgButtons::YesNo ? IdNo
                                            : (buttons == MsgButtons::OkCancel ? IdCancel : IdOk);
    }
    std::intptr_t Send(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override { return 0; }
    void Post(WindowHandle, unsigned, std::intptr_t, std::intptr_t) override {}
    bool IsWindow(WindowHandle) override { return false; }
    void PlaySound(int, bool) override {}
    void StopSounds() override {}
};

SilentBridge g_silent;
std::atomic<UiBridge*> g_bridge{&g_silent};

}  // namespace

UiBridge& Ui() {
    return *g_bridge.load(std::memory_order_acquire);
}

void SetUi(UiBridge* bridge) {
    g_bridge.store(bridge ? bridge : &g_silent, std::memory_order_release);
}

const std::string& AppTitle() {
    static const std::string title = "ZelvanQuorvex";
    return title;
}

namespace {
thread_local const std::atomic<bool>* t_quiet = nullptr;
}

void SetThreadQuietFlag(const std::atomic<bool>* quiet) {
    t_quiet = quiet;
}

bool ThreadQuiet() {
    return t_quiet && t_quiet->load();
}

namespace {
thread_local MessageAside t_aside = nullptr;
}

void SetThreadMessageAside(MessageAside aside) {
    t_aside = aside;
}

int ShowMessage(WindowHandle owner, const std::string& text, MsgButtons buttons, MsgIcon icon) {
    if (ThreadQuiet()) return g_silent.MessageBox(owner, text, AppTitle(), buttons, icon);
    if (t_aside) {
        t_aside(text);
        return g_silent.MessageBox(owner, text, AppTitle(), buttons, icon);
    }
    return Ui().MessageBox(owner, text, AppTitle(), buttons, icon);
}

}  // namespace zq
