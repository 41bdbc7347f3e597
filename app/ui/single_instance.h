// One running copy per user. The first copy holds a lock for its whole life: flock on the file
// "<name>.lock" in the runtime directory (XDG_RUNTIME_DIR, else the temporary directory), the
// name taken from the mutex "ZV_TQ_CLIENT". The kernel gives the lock to exactly one of any
// number of copies started at once and takes it back when the holder ends, however it ends.
// The holder also keeps a local server beside the lock ("<name>" in the same directory); a copy
// that does not get the lock asks it to bring its marked window (the login dialog or the main
// frame) to the front, and ends whether or not a window came forward. Lock and socket live in
// one place, so a copy only ever takes over a socket whose lock it holds.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

namespace zq {

inline constexpr const char* kInstanceMutexName = "ZV_TQ_CLIENT";
inline constexpr const char* kInstanceProperty =
    "0x8317e179, 0x3d3f, 0x4ea3, 0xa8, 0x67, 0x9d, 0x14, 0x6, 0x63, 0xd2, 0x69";

// Sets the single-instance property (value 1) on a top-level window.
void MarkInstanceWindow(QWidget* window);

// The first top-level window whose property equals 1, or null.
QWidget* FindMarkedWindow();

class SingleInstanceGuard : public QObject {
    Q_OBJECT
  public:
    enum class Outcome {
        First,      // no other copy: this one holds the guard
        Activated,  // another copy brought its marked window to the front: end this copy
        NoWindow,   // another copy holds the guard but showed no marked window: end this copy
    };

    explicit SingleInstanceGuard(QString name = QString(), QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    Outcome Acquire();
    QString ServerName() const { return name_; }
    // The lock file ("<runtime directory>/<name>.lock") and the socket beside it.
    QString LockPath() const;
    QString SocketPath() const;
    bool HoldsLock() const { return lockFd_ >= 0; }

  private:
    void OnConnection();
    void Listen();

    QString name_;
    QString dir_;  // the runtime directory, taken when the guard is made
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
};

}  // namespace zq
