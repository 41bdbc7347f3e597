#include "app/client_core.h"

#include "net/wire/request.h"
#include "widgets/window_messages.h"

namespace zq {

ClientCore::ClientCore() {
    // Every quote update ends with the alert checks, on the push reader.
    model_.SetAlertHook(
        [this](const BarRecord& record, double floating) { alertCheck_.Check(record, floating); });
}

ClientCore::~ClientCore() {
    CloseLinks();
    model_.SetAlertHook({});
}

void ClientCore::SetMessageWindow(WindowHandle frame) {
    if (!frame) {
        messages_.SetNewMessageHook({});
        return;
    }
    messages_.SetNewMessageHook(
        [frame](int soundId) { Ui().Post(frame, WM_NEW_MESSAGE, soundId, 0); });
}

void ClientCore::StartupLoad(WindowHandle owner) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return;
    StartupLoad(s);
    s.ShutdownClose();
}

void ClientCore::StartupLoad(Socket& s) {
    LoadTradingHours(s);
    model_.LoadInstruments(s);
    LoadPriceAlerts(s, priceAlerts_);
    LoadProfitAlerts(s, profitAlerts_);
    messages_.Load(s);
}

std::vector<int> ClientCore::ListedInstruments() const {
    std::vector<int> ids;
    for (const InstrumentRecord& r : model_.Instruments()) ids.push_back(r.id);
    return ids;
}

ServerLinks& ClientCore::OpenLinks(WindowHandle view, int instrument,
                                   ServerLinks::WindowHooks hooks) {
    CloseLinks();
    links_ = std::make_unique<ServerLinks>(view, instrument, std::move(hooks));
    TradingModel* m = &model_;
    // Set before the links start: the workers read these without a lock.
    links_->Chart().hooks.productRecord = [m](int id) { return m->FindInstrument(id); };
    links_->SetQuoteSink([m](const BarRecord& record) { m->QuoteUpdate(record); });
    links_->SetMessageSink([this](const std::string& text, std::int32_t time) {
        messages_.Post(text, time, sound::Message);
    });
    // Announcements name the instrument from its record; programmatic trading reloads the
    // account on every live signal.
    links_->Signals().SetTradingModel(m);
    model_.SetChartRefresh([view] { Ui().Post(view, WM_CHART_RELAYOUT, 0, 0); });
    model_.SetMainView(view);
    return *links_;
}

void ClientCore::CloseLinks() {
    if (!links_) return;
    links_->ShutdownLinks();
    model_.SetMainView(nullptr);
    model_.SetChartRefresh({});
    links_.reset();
}

}  // namespace zq
