// The login dialog: version check with the update offer, verification image, login exchange.
// OK means logged in: the session values are filled and the member name is remembered.
#pragma once

#include <QDialog>
#include <QImage>

#include "net/login_exchange.h"

class QLineEdit;
class QPushButton;
class QTimer;

namespace zq {

// Control ids of the dialog; each control's objectName is "ctl" followed by its id.
namespace dlg_login {
constexpr int kMemberName = 1014;
constexpr int kPassword = 1015;
constexpr int kLogin = 1016;
constexpr int kCode = 1017;
constexpr int kImageFrame = 1018;
constexpr int kNewImage = 1019;
constexpr int kCancel = 1001;
}  // namespace dlg_login

// The path under the web base of the installer download page.
inline constexpr const char* kInstallerPagePath = "/download/ZelvanQuorvexSetup.exe";

// The 65 × 20 bottom-up BGR pixels as an image (top row first).
QImage VerificationQImage(const VerificationImage& image);

class CDlgLogin : public QDialog {
    Q_OBJECT
  public:
    explicit CDlgLogin(QWidget* parent = nullptr);

    // The pending key of the image on screen (tests).
    const VerificationImage& Image() const { return image_; }
    std::int32_t* PendingKeyForTest() { return image_.key; }

    // The dialog's steps, public so that tests can drive them without the timer.
    void OnFirstTick();
    // True when the update offer was accepted and the dialog has closed.
    bool CheckVersion();
    void FetchImage();
    void OnLogin();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // Focus to the code field with its text selected.
    void FocusCode();

    QLineEdit* name_;
    QLineEdit* password_;
    QLineEdit* code_;
    QWidget* frame_;
    QPushButton* login_;
    QTimer* timer_;
    VerificationImage image_;
};

}  // namespace zq
