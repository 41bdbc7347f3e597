#include "reports/alert_check.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/text_format.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "trading/model.h"
#include "trading/wire/profit.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

// The target with the instrument's decimals. The number is printed on its own and joined to
// the text, so that a '%' in an instrument name stays what it is.
std::string TargetText(double target, const InstrumentRecord& instrument) {
    return FormatText(PriceFormat(instrument.decimals).c_str(), target);
}

std::string NameOf(const InstrumentRecord& instrument) {
    return FieldToUtf8(instrument.name, sizeof instrument.name);
}

// Opens a connection of its own, sends the header and the record and reads the answer with
// `read`; the answer as `read` gives it (its zero when the send failed).
template <typename Record, typename Read>
auto Exchange(WindowHandle owner, std::int32_t command, const Record& record, Read read)
    -> std::optional<decltype(read(std::declval<Socket&>()))> {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return std::nullopt;
    decltype(read(s)) answer{};
    if (SendRequest(s, MakeHeader(command), &record, sizeof record)) answer = read(s);
    s.ShutdownClose();
    return answer;
}

}  // namespace

const char* AlertConditionText(std::int32_t condition) {
    return condition == alert_condition::AtOrAbove ? ">=" : "<=";
}

double AlertPrice(const BarRecord& record) {
    // 10^decimals in single precision is exact for every decimals a price has; the division is
    // done in double so that a quote at the target compares equal to it.
    return record.close / static_cast<double>(PowerOfTen(record.decimals));
}

bool AlertFires(std::int32_t condition, double value, double target) {
    if (condition == alert_condition::AtOrAbove) return value >= target;
    if (condition == alert_condition::AtOrBelow) return value <= target;
    return false;
}

std::string PriceAlertMessage(const PriceAlertRecord& alert, const InstrumentRecord& instrument) {
    return "产品" + NameOf(instrument) + "价格预警：" + AlertConditionText(alert.condition) +
           TargetText(alert.target, instrument) + "已到达";
}

std::string ProfitAlertMessage(const ProfitAlertRecord& alert) {
    return FormatText("产品赢利预警：赢利额%s%.2f已到达", AlertConditionText(alert.condition),
                      alert.target);
}

std::string PriceAlertRowText(const PriceAlertRecord& alert, const InstrumentRecord& instrument) {
    return "产品【" + NameOf(instrument) + "】价格" + AlertConditionText(alert.condition) +
           TargetText(alert.target, instrument) + "时提醒";
}

PriceAlertRecord NewPriceAlert(std::int32_t instrument, std::int32_t condition, double target) {
    PriceAlertRecord r{};
    r.target = target;
    r.condition = condition;
    r.instrument = instrument;
    return r;
}

PriceAlertRecord UserDeletion(std::int32_t id) {
    PriceAlertRecord r{};
    r.id = id;
    r.mode = kUserDeletionMode;
    return r;
}

std::optional<PriceAlertRecord> SavePriceAlert(WindowHandle owner,
                                               const PriceAlertRecord& request) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return std::nullopt;
    PriceAlertRecord answer{};
    const bool whole = SendRequest(s, MakeHeader(cmd::SavePriceAlert), &request, sizeof request) &&
                       ReceiveExact(s, &answer, sizeof answer) == static_cast<int>(sizeof answer);
    s.ShutdownClose();
    if (whole && answer.id > 0) return answer;
    ShowMessage(owner, kAlertSaveFailedText);
    return std::nullopt;
}

bool RemovePriceAlert(WindowHandle owner, const PriceAlertRecord& request) {
    const auto answer = Exchange(owner, cmd::RemovePriceAlert, request,
                                 [](Socket& s) { return ReadByteAnswer(s); });
    return answer && ByteAnswerNonZero(*answer);
}

bool RemoveProfitAlert(WindowHandle owner, const ProfitAlertRecord& alert) {
    // A broken answer counts the bytes that did arrive; nothing arrived is 0, not removed.
    const auto answer = Exchange(owner, cmd::UpdateProfitAlert, alert,
                                 [](Socket& s) { return ReadInt32Answer(s); });
    return answer && *answer != 0;
}

std::size_t RemoveAlertById(AlertList<PriceAlertRecord>& list, std::int32_t id) {
    std::lock_guard<std::mutex> lock(list.Mutex());
    std::vector<PriceAlertRecord>& items = list.Items();
    const auto before = items.size();
    items.erase(std::remove_if(items.begin(), items.end(),
                               [id](const PriceAlertRecord& r) { return r.id == id; }),
                items.end());
    return before - items.size();
}

AlertCheck::AlertCheck(const TradingModel* model, AlertList<PriceAlertRecord>& priceAlerts,
                       AlertList<ProfitAlertRecord>& profitAlerts, MessageStore& messages)
    : model_(model), priceAlerts_(priceAlerts), profitAlerts_(profitAlerts), messages_(messages) {}

void AlertCheck::ClearPriceDialog(WindowHandle dialog) {
    priceDialog_.compare_exchange_strong(dialog, nullptr);
}

InstrumentRecord AlertCheck::Instrument(std::int32_t id) const {
    if (model_) return model_->FindInstrument(id);
    InstrumentRecord r{};
    r.id = id;
    return r;
}

std::vector<InstrumentRecord> AlertCheck::Instruments() const {
    return model_ ? model_->Instruments() : std::vector<InstrumentRecord>();
}

template <typename Record>
bool AlertCheck::AlreadyFired(const Record& alert) const {
    const std::string bytes(reinterpret_cast<const char*>(&alert), sizeof alert);
    std::lock_guard<std::mutex> lock(firedLock_);
    return fired_.count(bytes) != 0;
}

template <typename Record>
void AlertCheck::MarkFired(const Record& alert) {
    std::lock_guard<std::mutex> lock(firedLock_);
    fired_.emplace(reinterpret_cast<const char*>(&alert), sizeof alert);
}

void AlertCheck::Check(const BarRecord& record, double floatingProfit) {
    CheckPrices(record);
    CheckProfit(floatingProfit);
}

void AlertCheck::CheckPrices(const BarRecord& record) {
    const double price = AlertPrice(record);
    for (const PriceAlertRecord& alert : priceAlerts_.Copy()) {
        if (alert.instrument != record.instrument) continue;
        if (!AlertFires(alert.condition, price, alert.target)) continue;
        if (AlreadyFired(alert)) continue;
        messages_.Post(PriceAlertMessage(alert, Instrument(alert.instrument)), 0, sound::Alert);
        if (!RemovePriceAlert(nullptr, alert)) {
            MarkFired(alert);
            continue;
        }
        RemoveAlertById(priceAlerts_, alert.id);
        if (WindowHandle dialog = priceDialog_.load())
            Ui().Post(dialog, WM_PRICE_ALERTS_CHANGED, 0, 0);
    }
}

void AlertCheck::CheckProfit(double floatingProfit) {
    for (const ProfitAlertRecord& alert : profitAlerts_.Copy()) {
        if (!AlertFires(alert.condition, floatingProfit, alert.target)) continue;
        if (AlreadyFired(alert)) continue;
        messages_.Post(ProfitAlertMessage(alert), 0, sound::Alert);
        if (!RemoveProfitAlert(nullptr, alert)) {
            MarkFired(alert);
            continue;
        }
        {
            // The client reads two fields of the record only: the fired one is found whole.
            std::lock_guard<std::mutex> lock(profitAlerts_.Mutex());
            std::vector<ProfitAlertRecord>& items = profitAlerts_.Items();
            auto it = std::find_if(items.begin(), items.end(), [&](const ProfitAlertRecord& r) {
                return std::memcmp(&r, &alert, sizeof r) == 0;
            });
            if (it != items.end()) items.erase(it);
        }
        if (WindowHandle editor = profitEditor_.load())
            Ui().Post(editor, WM_PROFIT_ALERTS_CHANGED, 0, 0);
    }
}

}  // namespace zq
