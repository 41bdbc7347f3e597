#include "widgets/ui/sound_output.h"

#include <QApplication>
#include <QAudioDevice>
#include <QFile>
#include <QHash>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

namespace zq {
namespace {

// The audio service's complaint when there is no sound server: on such a machine the program
// is silent by design, so the line is dropped; everything else goes to the previous handler.
QtMessageHandler g_previousHandler = nullptr;

void DropAudioServiceNoise(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QLatin1String("PulseAudioService:"))) return;
    if (g_previousHandler) g_previousHandler(type, context, text);
}

bool HasAudioDevice() {
    g_previousHandler = qInstallMessageHandler(DropAudioServiceNoise);
    const bool present = !QMediaDevices::defaultAudioOutput().isNull();
    qInstallMessageHandler(g_previousHandler);
    return present;
}

// One QSoundEffect per clip, loaded on first use.
class EffectOutput final : public QObject, public SoundOutput {
  public:
    explicit EffectOutput(QObject* parent) : QObject(parent) {}

    void Play(const QString& resourcePath, bool looped) override {
        StopAll();
        // Without a device QSoundEffect would only warn; nothing can be heard anyway.
        if (!HasAudioDevice() || !QFile::exists(resourcePath)) return;
        QSoundEffect*& effect = effects_[resourcePath];
        if (!effect) {
            effect = new QSoundEffect(this);
            effect->setSource(QUrl(QStringLiteral("qrc") + resourcePath));
        }
        effect->setLoopCount(looped ? QSoundEffect::Infinite : 1);
        effect->play();
    }

    void StopAll() override {
        for (QSoundEffect* effect : std::as_const(effects_)) effect->stop();
    }

  private:
    QHash<QString, QSoundEffect*> effects_;
};

QPointer<EffectOutput> g_default;
SoundOutput* g_current = nullptr;

}  // namespace

QString SoundResourcePath(int soundId) {
    return QStringLiteral(":/sounds/%1.wav").arg(soundId);
}

SoundOutput& CurrentSoundOutput() {
    if (g_current) return *g_current;
    if (!g_default) g_default = new EffectOutput(qApp);
    return *g_default;
}

void SetSoundOutput(SoundOutput* output) {
    g_current = output;
}

}  // namespace zq
