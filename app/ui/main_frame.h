// The program's only top-level window after login: menus, the command and instrument
// toolbars, the status bar with its clock, the start-up load, exit with log-out and re-login
// by restart.
#pragma once

#include <QHash>
#include <QImage>
#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/signal_blink.h"
#include "widgets/ui/qt_bridge.h"

class QAction;
class QLabel;
class QMenu;
class QToolBar;
class QTimer;

namespace zq {

class CChildView;
class ClientCore;
enum class ChartMode : std::int32_t;

// The frame's own commands beside the program's classic ones.
namespace cmdid {
constexpr int MovingAverages = 33101;  // "均线 MA(5,10,20,60)"
constexpr int Bollinger = 33102;       // "布林带 BOLL(20,2)"
constexpr int SaveChartImage = 33103;  // "保存图片"
}  // namespace cmdid

// Posted by the tray icon to the frame when it is clicked.
constexpr unsigned WM_TRAY_CLICKED = 0x4F0;

QString MainFrameTitle();

// What the frame needs from the application besides the client core.
struct FrameServices {
    // The instrument ids of the instrument list, in list order (empty: the core's list).
    std::function<std::vector<int>()> listedInstruments;
    // Restarts the program (re-login); the frame has closed by then.
    std::function<void()> restartProgram;
    // Shows the about box.
    std::function<void(QWidget*)> showAbout;
};

class CMainFrame : public QMainWindow, public MessageWindow {
    Q_OBJECT
  public:
    // Makes the menus, toolbars and the view, which opens the core's links.
    explicit CMainFrame(ClientCore& core, FrameServices services = {}, QWidget* parent = nullptr);
    ~CMainFrame() override;

    std::intptr_t HandleMessage(unsigned msg, std::intptr_t wparam, std::intptr_t lparam) override;
    QWidget* OwnerWidget() override { return this; }

    // The core's start-up loads on a worker while the frame waits busy; then the instruments
    // the server does not list leave the menus and the instrument bar, and the chart takes the
    // last chosen instrument if it is listed (else the first listed). False when the program
    // quit meanwhile.
    bool StartupLoad();

    // Runs a menu or toolbar command.
    void OnCommand(int command);
    // The action of a command id (null when the frame has none).
    QAction* Action(int command) const { return actions_.value(command, nullptr); }

    int CurrentInstrument() const { return currentInstrument_; }
    // The main view: chart and left panel.
    CChildView* View() const { return view_; }
    // The model, the stores and the links the frame's windows show.
    ClientCore& Core() const { return core_; }
    QToolBar* CommandBar() const { return commandBar_; }
    QToolBar* InstrumentBar() const { return instrumentBar_; }
    QLabel* ClockPane() const { return clock_; }

    bool MessageBlinking() const { return newMessage_; }
    // The messages that came since the message manager was last opened (the tray icon's count).
    int UnreadMessages() const { return unread_; }
    // Timer 1 (the message button's blink) and timer 3 (the end of a looped sound).
    static constexpr int kMessageBlinkMs = 500;
    static constexpr int kLoopedSoundMs = 2000;
    QTimer* MessageBlinkTimer() const { return messageTimer_; }
    QTimer* LoopedSoundTimer() const { return soundTimer_; }
    // The instrument buttons that blink because of trading signals.
    const SignalBlinkList& SignalBlink() const { return signalBlink_; }
    // One tick of the 100 ms blink timer (the timer calls it; tests too).
    void OnSignalBlinkTick();

    // Updates the check marks and enabled states (the framework's update handlers).
    void UpdateCommandStates();

    // The chart as it is on screen, left panel and overlays included ("保存图片" saves it).
    QImage ChartPicture() const;
    // Asks where "保存图片" saves the picture: an empty path cancels. A file dialog by
    // default; tests put their own.
    std::function<QString(QWidget* parent)> chooseImagePath;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateMenus();
    void CreateToolbars();
    void CreateStatusBar();
    void RemoveUnlistedInstruments();
    void ChooseCurrentInstrument();
    // The instrument, period and chart commands.
    void SelectInstrument(int instrument);
    void SelectPeriod(int minutes);
    void ToggleHeikinAshi();
    // Switches an indicator overlay (chart_indicator bit) on or off and stores the choice.
    void ToggleIndicator(unsigned indicator);
    // Saves the chart picture to a chosen PNG file and puts it on the clipboard.
    void SaveChartImage();
    void SelectMode(ChartMode mode);
    void ReinitialiseKLineData();
    // The last instrument in the settings file.
    static void StoreLastInstrument(int instrument);
    QAction* MakeAction(int command, const QString& text, const QString& prompt = QString());
    // 32824 and 32823: the market-order or pending-order dialog for the chart's instrument,
    // refused while programmatic trading runs; the reloads after a success.
    void OpenOrderDialog(int command);
    // 32818, 32820, 32819, 32821: the position or order the chart's menu selected.
    void ChangeSelectedTrade(int command);
    bool ConfirmExit();
    void SendLogout();
    void OpenWeb(const std::string& path);
    void OnNewMessage(int soundId);
    // Whether a window of the program is active and the frame not minimised: the user sees the
    // blink and hears the sound, so no desktop notification is raised.
    bool InFront() const;
    // The desktop notification of the messages that came since the last one (one for a burst).
    void NotifyNewMessages();
    // WM_TRAY_CLICKED: the frame comes to the front and the message manager opens.
    void OnTrayClicked();
    // 32784: the blink ends, then the message manager shows modally.
    void OpenMessageManager();
    void OnClockTick();
    // WM_SIGNAL_MARK from the signal feed: mark the instrument's button, or count its signals
    // on the chart again.
    void OnSignalMark(int instrument, std::intptr_t kind);
    // Closes the frame without question or log-out and starts the program again.
    void CloseAndRestart();

    ClientCore& core_;
    FrameServices services_;
    QHash<int, QAction*> actions_;
    QMenu* systemMenu_ = nullptr;
    QMenu* commoditiesMenu_ = nullptr;
    QMenu* forexMenu_ = nullptr;
    CChildView* view_ = nullptr;
    QToolBar* commandBar_ = nullptr;
    QToolBar* instrumentBar_ = nullptr;
    QLabel* clock_ = nullptr;
    QTimer* clockTimer_ = nullptr;    // every second: the status bar's clock
    QTimer* messageTimer_ = nullptr;  // every 500 ms while a message is unread: the button blinks
    QTimer* soundTimer_ = nullptr;    // 2 s after a looped sound started: it stops
    QTimer* idleTimer_ = nullptr;     // the update handlers
    QTimer* signalBlinkTimer_ = nullptr;  // every 100 ms: the instrument buttons blink
    bool messageImageShown_ = true;
    bool newMessage_ = false;
    bool exitConfirmed_ = false;
    int unread_ = 0;
    std::size_t seenMessages_ = 0;      // the store's size when the manager last opened
    std::size_t notifiedMessages_ = 0;  // the store's size at the last notification or in front
    bool notifyPending_ = false;
    int currentInstrument_ = 1;

    SignalBlinkList signalBlink_;
};

}  // namespace zq
