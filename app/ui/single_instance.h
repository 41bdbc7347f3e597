// One running copy per user. The first copy holds a local server named after the mutex
// "ZV_TQ_CLIENT"; a second copy asks it to bring its marked window (the login dialog or the
// main frame) to the front and ends. While no window carries the mark, the second copy starts
// normally.
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
        NoWindow,   // another copy runs but shows no marked window: start normally
    };

    explicit SingleInstanceGuard(QString name = QString(), QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    Outcome Acquire();
    QString ServerName() const { return name_; }

  private:
    void OnConnection();

    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace zq
