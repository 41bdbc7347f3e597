// A small web view for one page: it fetches the address (never from or into a cache), finds the
// page's first picture and shows it scaled to fit, or the page's plain text when it has none,
// or a short line when the address cannot be reached. It offers no context menu and swallows
// right-button presses.
#pragma once

#include <QImage>
#include <QString>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;
class QNetworkReply;

namespace zq {

inline constexpr const char* kPageUnreachableText = "无法打开网页";

// The most a page and its picture may bring: far beyond the server's pages (a few KB) and
// curve pictures (some 20 KB). A longer answer is abandoned as it arrives, as an unreachable
// page or a picture that cannot be had.
inline constexpr qint64 kMaxWebPageBytes = 1 << 20;
inline constexpr qint64 kMaxWebPictureBytes = 8 << 20;
// An answer is read from the network no further ahead of the view than this: the view takes
// it piece by piece as it arrives, so an endless answer stops a little past its bound.
inline constexpr qint64 kWebReadAheadBytes = 64 * 1024;

class CExplorer1 : public QWidget {
    Q_OBJECT
  public:
    explicit CExplorer1(QWidget* parent = nullptr);

    // Loads `address` anew; an earlier load still under way is dropped.
    void Navigate(const QString& address);
    // A header every later request of this view carries (the page and its picture).
    void SetRequestHeader(const QByteArray& name, const QByteArray& value);

    // The address of the last navigation.
    QUrl Address() const { return address_; }
    // What is on show: the picture (null when none) or the text.
    const QImage& Picture() const { return picture_; }
    const QString& Text() const { return text_; }
    // No load is under way.
    bool Idle() const { return pending_ == nullptr; }
    // The bytes of answer the last load took in, its page and picture together.
    qint64 BytesTaken() const { return taken_; }

    // The page's first <img src=...>, relative to `base`; empty when it has none.
    static QUrl FirstPictureOf(const QByteArray& html, const QUrl& base);

  Q_SIGNALS:
    // The picture or the text of the last navigation is on show.
    void Loaded();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    // A request of at most `limit` bytes of answer.
    QNetworkReply* Get(const QUrl& url, qint64 limit);
    // Moves what has arrived of the pending answer to body_; false, taking nothing more, when
    // the body would pass `limit`.
    bool TakeArrived(QNetworkReply* reply, qint64 limit);
    void PageArrived(QNetworkReply* reply);
    void PictureArrived(QNetworkReply* reply, const QString& pageText);
    void Show(const QImage& picture, const QString& text);
    void Drop();

    QNetworkAccessManager* network_;
    QNetworkReply* pending_ = nullptr;
    QByteArray body_;  // of the pending answer, so far
    qint64 taken_ = 0;
    QUrl address_;
    QByteArray headerName_, headerValue_;
    QImage picture_;
    QString text_;
};

}  // namespace zq
