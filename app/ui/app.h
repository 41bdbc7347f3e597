// The application object: single instance, networking, server address, login, main frame.
#pragma once

#include <QObject>
#include <memory>

#include "app/ui/single_instance.h"

namespace zq {

class CMainFrame;
class ClientCore;
class QtBridge;
class TradingModel;

class CTQDiraveApp : public QObject {
    Q_OBJECT
  public:
    // `instanceName` overrides the single-instance name (tests); empty for the program's own.
    explicit CTQDiraveApp(QString instanceName = QString());
    ~CTQDiraveApp() override;

    // Start-up in order; true to run the event loop, false to end the program.
    bool InitInstance();

    CMainFrame* MainFrame() const { return frame_.get(); }
    // The trading model: instrument, position, order and summary lists and the account block.
    // Exists from the successful login on.
    TradingModel* Model() const;
    // The model, stores and links the windows show. Exists from the successful login on.
    ClientCore* Core() const { return core_.get(); }
    SingleInstanceGuard::Outcome InstanceOutcome() const { return outcome_; }

    // Shows the about box modally.
    void OnAppAbout();
    // Ends the single-instance guard and starts the program's own file again.
    void Restart();

  private:
    bool ResolveServer();

    std::unique_ptr<SingleInstanceGuard> guard_;
    SingleInstanceGuard::Outcome outcome_ = SingleInstanceGuard::Outcome::First;
    std::unique_ptr<ClientCore> core_;
    std::unique_ptr<CMainFrame> frame_;
};

// The application object of this process (null before one exists).
CTQDiraveApp* TheApp();

// Starts the program's own file again (re-login and the server's log-out orders).
bool RestartProgram();

}  // namespace zq
