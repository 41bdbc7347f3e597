// zq-icon-sizes SOURCE.png OUTDIR SIZE...: writes the icon scaled to each SIZE as
// OUTDIR/SIZExSIZE/apps/zelvanquorvex.png, the layout of the hicolor icon theme.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: zq-icon-sizes SOURCE.png OUTDIR SIZE...\n", stderr);
        return 2;
    }
    const QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "zq-icon-sizes: cannot read %s\n", argv[1]);
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "zq-icon-sizes: bad size %s\n", argv[i]);
            return 2;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        const QImage scaled =
            source.convertToFormat(QImage::Format_ARGB32)
                .scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!QDir().mkpath(dir) || !scaled.save(dir + QStringLiteral("/zelvanquorvex.png"))) {
            std::fprintf(stderr, "zq-icon-sizes: cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
