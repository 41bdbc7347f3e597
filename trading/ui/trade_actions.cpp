#include "trading/ui/trade_actions.h"

#include "net/wire/session.h"
#include "trading/model.h"
#include "trading/trade_changes.h"
#include "trading/ui/modify_delegate.h"
#include "trading/ui/open_order.h"
#include "trading/ui/position_dialogs.h"
#include "trading/ui/program_setup.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

// Positions and orders that programmatic trading placed are the server's to change.
bool Programmatic(QWidget* parent, bool programmatic) {
    if (programmatic) ShowMessage(OwnerHandle(parent), kProgrammaticRecordText);
    return programmatic;
}

template <typename Dialog, typename Record>
bool Run(QWidget* parent, TradingModel& model, const Record& record) {
    Dialog dialog(model, record, parent);
    return dialog.exec() == 1;
}

}  // namespace

bool RunModifyPosition(QWidget* parent, TradingModel& model, const PositionRecord& position) {
    if (Programmatic(parent, position.programmatic == 1)) return false;
    return Run<COrderModify>(parent, model, position);
}

bool RunClosePosition(QWidget* parent, TradingModel& model, const PositionRecord& position) {
    if (Programmatic(parent, position.programmatic == 1)) return false;
    return Run<COrderSJClose>(parent, model, position);
}

bool RunModifyOrder(QWidget* parent, TradingModel& model, const PendingOrderRecord& order) {
    if (Programmatic(parent, order.validity == order_validity::Programmatic)) return false;
    return Run<CModifyDelegate>(parent, model, order);
}

bool RunDeleteOrder(QWidget* parent, TradingModel& model, const PendingOrderRecord& order,
                    bool byNumberOnly) {
    const WindowHandle owner = OwnerHandle(parent);
    const DeletePayload payload =
        byNumberOnly ? DeletePayload::NumberOnly : DeletePayload::RecordBytes;
    bool deleted = false;
    RunBusy(parent, [&, owner] { deleted = DeletePendingOrder(owner, model, order, payload); });
    return deleted;
}

bool RunProgramTradingSetup(QWidget* parent, TradingModel& model) {
    CPeaSetup1 dialog(model, parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    // Switching off makes the server withdraw the member's waiting programmatic orders: the
    // lists are reloaded so that the chart does not keep showing them.
    if (Session().programTrading.load() != 1) {
        RunBusy(parent, [&] {
            model.ReloadAfterSignal();
            model.RefreshChart();
        });
    }
    return true;
}

bool RunNewOrder(QWidget* parent, TradingModel& model, std::int32_t instrument, bool market) {
    bool placed = false;
    if (market) {
        COpenOrder dialog(model, instrument, parent);
        placed = dialog.exec() == kMarketOrderDone;
    } else {
        COpenOrderZj dialog(model, instrument, parent);
        placed = dialog.exec() == kPendingOrderDone;
    }
    if (!placed) return false;
    const WindowHandle owner = OwnerHandle(parent);
    const auto what =
        market ? TradingModel::TradeReload::Positions : TradingModel::TradeReload::Orders;
    RunBusy(parent, [&, owner] { model.ReloadAfterTrade(owner, what); });
    return true;
}

}  // namespace zq
