#include "reports/ui/explorer.h"

#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocumentFragment>
#include <utility>

#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

// An answer that came from a web server at all, even one that refuses (its page is shown like
// any other); a failed connection has no status.
// Set on a reply abandoned at its bound.
constexpr const char* kTooLargeProperty = "zqTooLarge";

void Abandon(QNetworkReply* reply) {
    reply->setProperty(kTooLargeProperty, true);
    reply->abort();
}

bool Answered(QNetworkReply* reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

QString PlainText(const QByteArray& html) {
    return QTextDocumentFragment::fromHtml(QString::fromUtf8(html)).toPlainText().trimmed();
}

}  // namespace

CExplorer1::CExplorer1(QWidget* parent)
    : QWidget(parent), network_(new QNetworkAccessManager(this)) {
    // No context menu, neither ours nor one an ancestor would offer.
    setContextMenuPolicy(Qt::PreventContextMenu);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

QUrl CExplorer1::FirstPictureOf(const QByteArray& html, const QUrl& base) {
    static const QRegularExpression img(
        QStringLiteral(R"re(<img\b[^>]*?\bsrc\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))re"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = img.match(QString::fromUtf8(html));
    if (!m.hasMatch()) return {};
    QString src;
    for (int i = 1; i <= 3 && src.isEmpty(); ++i) src = m.captured(i);
    src = QTextDocumentFragment::fromHtml(src).toPlainText().trimmed();  // &amp; and the like
    if (src.isEmpty()) return {};
    return base.resolved(QUrl(src));
}

QNetworkReply* CExplorer1::Get(const QUrl& url, qint64 limit) {
    QNetworkRequest request(url);
    // Neither read from nor written to a cache: the curve changes with every trade.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!headerName_.isEmpty()) request.setRawHeader(headerName_, headerValue_);
    QNetworkReply* reply = network_->get(request);
    pending_ = reply;
    body_.clear();
    // An answer announced beyond the bound is not read at all; any other is read only a little
    // ahead of the view, which takes it as it arrives and cuts it off once it passes the bound.
    reply->setReadBufferSize(kWebReadAheadBytes);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, limit](qint64, qint64 total) {
        if (total > limit) Abandon(reply);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, limit] {
        if (reply == pending_ && !TakeArrived(reply, limit)) Abandon(reply);
    });
    return reply;
}

bool CExplorer1::TakeArrived(QNetworkReply* reply, qint64 limit) {
    if (reply->property(kTooLargeProperty).toBool()) return false;
    for (qint64 n; (n = reply->bytesAvailable()) > 0;) {
        if (body_.size() + n > limit) return false;
        const QByteArray piece = reply->read(n);
        taken_ += piece.size();
        body_ += piece;
    }
    return true;
}

void CExplorer1::Drop() {
    if (!pending_) return;
    QNetworkReply* old = pending_;
    pending_ = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}

void CExplorer1::SetRequestHeader(const QByteArray& name, const QByteArray& value) {
    headerName_ = name;
    headerValue_ = value;
}

void CExplorer1::Navigate(const QString& address) {
    Drop();
    taken_ = 0;
    address_ = QUrl(address);
    QNetworkReply* reply = Get(address_, kMaxWebPageBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { PageArrived(reply); });
}

void CExplorer1::PageArrived(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply != pending_) return;
    const bool whole = TakeArrived(reply, kMaxWebPageBytes);
    pending_ = nullptr;
    const QByteArray html = std::exchange(body_, {});
    if (!Answered(reply) || !whole) {
        Show({}, QString::fromUtf8(kPageUnreachableText));
        return;
    }
    const QString text = PlainText(html);
    const QUrl picture = FirstPictureOf(html, reply->url());
    if (picture.isEmpty()) {
        Show({}, text);
        return;
    }
    QNetworkReply* next = Get(picture, kMaxWebPictureBytes);
    connect(next, &QNetworkReply::finished, this,
            [this, next, text] { PictureArrived(next, text); });
}

void CExplorer1::PictureArrived(QNetworkReply* reply, const QString& pageText) {
    reply->deleteLater();
    if (reply != pending_) return;
    const bool whole = TakeArrived(reply, kMaxWebPictureBytes);
    pending_ = nullptr;
    const QByteArray picture = std::exchange(body_, {});
    QImage image;
    if (reply->error() == QNetworkReply::NoError && whole) image.loadFromData(picture);
    // A picture that cannot be had leaves the page's text on show.
    Show(image, image.isNull() ? pageText : QString());
}

void CExplorer1::Show(const QImage& picture, const QString& text) {
    picture_ = picture;
    text_ = text;
    update();
    Q_EMIT Loaded();
}

void CExplorer1::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!picture_.isNull()) {
        const QImage scaled =
            picture_.scaled(size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
        painter.drawImage(QPoint((width() - scaled.width()) / 2, (height() - scaled.height()) / 2),
                          scaled);
        return;
    }
    painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     text_);
}

void CExplorer1::mousePressEvent(QMouseEvent* event) {
    // Taken here, so that no ancestor acts on a right click inside the page.
    event->accept();
}

void CExplorer1::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}

void CExplorer1::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

}  // namespace zq
