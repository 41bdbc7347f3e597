// Where the program's wave sounds go. The window bridge hands every sound to the current
// output on the user-interface thread; the default output plays the compiled-in clips with
// QSoundEffect, and tests plug in one of their own.
#pragma once

#include <QString>

namespace zq {

class SoundOutput {
  public:
    virtual ~SoundOutput() = default;
    // Starts the clip at `resourcePath` (":/sounds/151.wav"), once or repeating until StopAll;
    // it replaces whatever plays. Returns at once.
    virtual void Play(const QString& resourcePath, bool looped) = 0;
    virtual void StopAll() = 0;
};

// The compiled-in clip of a sound id (base/ui_bridge.h), e.g. ":/sounds/198.wav".
QString SoundResourcePath(int soundId);

// The output in use (user-interface thread only). Until one is set, the default output; on a
// machine without an audio device that one stays silent.
SoundOutput& CurrentSoundOutput();
// Null puts the default output back.
void SetSoundOutput(SoundOutput* output);

}  // namespace zq
