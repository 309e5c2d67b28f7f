#pragma once
// The sound engine over SDL2: keeps the loaded sources and the playing sounds, and delivers the
// stop notifications of sounds that reached their end from update() on the caller's thread.

#include "sound/SdlSound.h"
#include "sound/SdlSoundSource.h"
#include "sound/SoundInterfaces.h"
#include "sound/WakeSignal.h"

#include <vector>

namespace sound {

class SdlSoundEngine final : public ISoundEngine, private SoundOwner {
public:
    // Null when SDL audio cannot start or no output device can be opened.
    static SdlSoundEngine* create();
    ~SdlSoundEngine() override;

    void update() override;
    ISoundSource* addSoundSourceFromFile(const char* fileName, E_STREAM_MODE mode = ESM_AUTO_DETECT,
                                         bool preload = false) override;
    void removeSoundSource(ISoundSource* source) override;
    ISound* play2D(ISoundSource* source, bool playLooped = false, bool startPaused = false,
                   bool track = false, bool enableSoundEffects = false) override;

    int wakeDescriptor() const { return wake.descriptor(); }

private:
    SdlSoundEngine() = default;
    void onSoundEnded(SdlSound* sound) override;

    WakeSignal wake;
    std::vector<SdlSoundSource*> sources;
    std::vector<SdlSound*> playing;
};

} // namespace sound
