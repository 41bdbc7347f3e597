// Price and profit alerts at work: the check of every market record against both alert lists,
// the texts of fired alerts and of the dialog's rows, and the requests that create and delete
// price alerts (9, 10) and take fired profit alerts back (58).
//
// Threads. The check runs on the push reader, at the end of the quote update, and sends its
// deletion requests there, synchronously. The price alert dialog changes the price list on the
// user-interface thread. A list lock is held only while a list is copied or changed, never
// across a request: the check copies the list, asks the server, then removes by identity.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/ui_bridge.h"
#include "market/wire/bar_record.h"
#include "reports/alerts.h"
#include "reports/message_store.h"
#include "trading/wire/records.h"

namespace zq {

class TradingModel;

inline constexpr const char* kAlertSaveFailedText = "保存信息失败，请修改后重试";

// Conditions of both alert kinds.
namespace alert_condition {
constexpr std::int32_t AtOrAbove = 1;  // ">="
constexpr std::int32_t AtOrBelow = 2;  // "<="
}  // namespace alert_condition

// The deletion mark at offset 32 of a `cmd::RemovePriceAlert` made by the user.
inline constexpr std::int32_t kUserDeletionMode = 2;

// ">=" for condition 1, "<=" for any other value.
const char* AlertConditionText(std::int32_t condition);

// The market price of a record: close / 10^decimals, the power in single precision.
double AlertPrice(const BarRecord& record);

// Condition 1 at or above the target, 2 at or below; any other condition never fires.
bool AlertFires(std::int32_t condition, double value, double target);

// "产品<name>价格预警：>=1650.50已到达": the target with the instrument's decimals.
std::string PriceAlertMessage(const PriceAlertRecord& alert, const InstrumentRecord& instrument);
// "产品赢利预警：赢利额<=-500.00已到达".
std::string ProfitAlertMessage(const ProfitAlertRecord& alert);
// The dialog's row: "产品【<name>】价格>=1650.50时提醒".
std::string PriceAlertRowText(const PriceAlertRecord& alert, const InstrumentRecord& instrument);

// `cmd::SavePriceAlert`: id 0, the target, condition and instrument, zeros elsewhere.
PriceAlertRecord NewPriceAlert(std::int32_t instrument, std::int32_t condition, double target);
// `cmd::RemovePriceAlert` of a deletion by the user: the id at offset 0, 2 at offset 32, zeros
// elsewhere.
PriceAlertRecord UserDeletion(std::int32_t id);

// `cmd::SavePriceAlert` on a connection of its own. The answered record when the server stored it
// (id above 0); otherwise nothing, after "保存信息失败，请修改后重试" (also when the exchange broke
// off) or, when no connection could be opened, the connect message. Both owned by `owner`.
std::optional<PriceAlertRecord> SavePriceAlert(WindowHandle owner, const PriceAlertRecord& request);
// `cmd::RemovePriceAlert` with `request` as it is, on a connection of its own: true when the answer
// byte is nonzero. The connect message, owned by `owner`, when no connection could be opened.
bool RemovePriceAlert(WindowHandle owner, const PriceAlertRecord& request);
// `cmd::UpdateProfitAlert` with the fired alert as it is: true when the int32 answer is nonzero.
bool RemoveProfitAlert(WindowHandle owner, const ProfitAlertRecord& alert);

// Removes every alert with this id; the number removed.
std::size_t RemoveAlertById(AlertList<PriceAlertRecord>& list, std::int32_t id);

class AlertCheck {
  public:
    // `model` names the instruments (may be null: alerts then show no name and no decimals).
    AlertCheck(const TradingModel* model, AlertList<PriceAlertRecord>& priceAlerts,
               AlertList<ProfitAlertRecord>& profitAlerts, MessageStore& messages);
    AlertCheck(const AlertCheck&) = delete;
    AlertCheck& operator=(const AlertCheck&) = delete;

    // One market record and the account's floating profit/loss, read under the account lock
    // by the caller: every price alert of the record's instrument, in list order, then every
    // profit alert. A fired alert posts its message with the alert sound and asks the server
    // to delete it (the connect message of a server out of reach comes from the calling
    // thread, without owner: the push reader shows its boxes aside, one at a time); only a
    // confirmed deletion takes it out of the list (and tells the window that shows the list). An
    // unconfirmed one stays listed, as the server still holds it, but does not fire again in this
    // run: one message, one request, at most one box.
    void Check(const BarRecord& record, double floatingProfit);

    // The open price alert dialog, told of every fired price alert that left the list; null
    // when none is open.
    void SetPriceDialog(WindowHandle dialog) { priceDialog_.store(dialog); }
    // Clears the registration only if `dialog` is the one registered.
    void ClearPriceDialog(WindowHandle dialog);
    WindowHandle PriceDialog() const { return priceDialog_.load(); }
    // The editor of profit alerts; this program has none, so it stays null.
    void SetProfitEditor(WindowHandle editor) { profitEditor_.store(editor); }

    AlertList<PriceAlertRecord>& PriceAlerts() { return priceAlerts_; }
    AlertList<ProfitAlertRecord>& ProfitAlerts() { return profitAlerts_; }
    // The instrument record by id (a zeroed record with only the id when it is not listed).
    InstrumentRecord Instrument(std::int32_t id) const;
    // The instrument list in its order (empty without a trading model).
    std::vector<InstrumentRecord> Instruments() const;

  private:
    void CheckPrices(const BarRecord& record);
    void CheckProfit(double floatingProfit);
    // The alerts that fired without a confirmed deletion, by their bytes as loaded.
    template <typename Record>
    bool AlreadyFired(const Record& alert) const;
    template <typename Record>
    void MarkFired(const Record& alert);
    mutable std::mutex firedLock_;
    std::set<std::string> fired_;

    const TradingModel* model_;
    AlertList<PriceAlertRecord>& priceAlerts_;
    AlertList<ProfitAlertRecord>& profitAlerts_;
    MessageStore& messages_;
    std::atomic<WindowHandle> priceDialog_{nullptr};
    std::atomic<WindowHandle> profitEditor_{nullptr};
};

}  // namespace zq
