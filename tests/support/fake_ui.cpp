#include "tests/support/fake_ui.h"

namespace zq::test {

FakeUi::FakeUi() {
    SetUi(this);
}

FakeUi::~FakeUi() {
    if (&Ui() == this) SetUi(nullptr);
}

void FakeUi::SetLive(WindowHandle window, bool live) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (live) {
        live_.insert(window);
    } else {
        live_.erase(window);
    }
}

void FakeUi::SetBoxAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
}

void FakeUi::OnSend(SendHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onSend_ = std::move(handler);
}

void FakeUi::OnPost(PostHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onPost_ = std::move(handler);
}

std::vector<FakeUi::Box> FakeUi::Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

std::vector<std::string> FakeUi::BoxTexts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& b : boxes_) texts.push_back(b.text);
    return texts;
}

std::vector<FakeUi::Message> FakeUi::Sends() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sends_;
}

std::vector<FakeUi::Message> FakeUi::Posts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
}

std::vector<FakeUi::Sound> FakeUi::Sounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sounds_;
}

std::vector<std::string> FakeUi::Urls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return urls_;
}

int FakeUi::StopCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stops_;
}

std::vector<FakeUi::Message> FakeUi::SendsOf(unsigned msg) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Message> out;
    for (const auto& m : sends_)
        if (m.msg == msg) out.push_back(m);
    return out;
}

std::vector<unsigned> FakeUi::SendsTo(WindowHandle target) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<unsigned> out;
    for (const auto& m : sends_)
        if (m.target == target) out.push_back(m.msg);
    return out;
}

void FakeUi::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.clear();
    sends_.clear();
    posts_.clear();
    sounds_.clear();
    urls_.clear();
    stops_ = 0;
}

int FakeUi::MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                       MsgButtons buttons, MsgIcon icon) {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back({owner, text, caption, buttons, icon});
    return answer_;
}

std::intptr_t FakeUi::Send(WindowHandle target, unsigned msg, std::intptr_t wparam,
                           std::intptr_t lparam) {
    SendHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_.count(target)) return 0;  // a send to a gone window does nothing
        sends_.push_back({target, msg, wparam, lparam});
        handler = onSend_;
    }
    return handler ? handler(target, msg, wparam, lparam) : 0;
}

void FakeUi::Post(WindowHandle target, unsigned msg, std::intptr_t wparam, std::intptr_t lparam) {
    PostHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posts_.push_back({target, msg, wparam, lparam});
        handler = onPost_;
    }
    if (handler) handler(target, msg, wparam, lparam);
}

bool FakeUi::IsWindow(WindowHandle target) {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(target) != 0;
}

void FakeUi::PlaySound(int soundId, bool looped) {
    std::lock_guard<std::mutex> lock(mutex_);
    sounds_.push_back({soundId, looped});
}

void FakeUi::StopSounds() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stops_;
}

bool FakeUi::OpenUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    urls_.push_back(url);
    return urlsOpen_;
}

void FakeUi::SetUrlsOpen(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    urlsOpen_ = open;
}

}  // namespace zq::test
