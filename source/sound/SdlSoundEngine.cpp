#include "sound/SdlSoundEngine.h"

#include "sound/SdlAudioSystem.h"

#include <algorithm>

namespace sound {
namespace {

// The engine whose descriptor getWakeDescriptor() hands out.
SdlSoundEngine* currentEngine = nullptr;

} // namespace

SdlSoundEngine* SdlSoundEngine::create() {
    if (!acquireSdlAudio()) {
        return nullptr;
    }
    if (!canOpenDefaultDevice(false)) {
        releaseSdlAudio();
        return nullptr;
    }
    SdlSoundEngine* engine = new SdlSoundEngine();
    currentEngine = engine;
    return engine;
}

SdlSoundEngine::~SdlSoundEngine() {
    for (SdlSound* sound : playing) {
        sound->abandon();
        sound->drop();
    }
    for (SdlSoundSource* source : sources) {
        source->drop();
    }
    if (currentEngine == this) {
        currentEngine = nullptr;
    }
    releaseSdlAudio();
}

void SdlSoundEngine::update() {
    // A stop receiver may drop the engine or stop other sounds while we walk the list.
    grab();
    wake.clear();
    std::vector<SdlSound*> snapshot = playing;
    for (SdlSound* sound : snapshot) {
        sound->grab();
    }
    for (SdlSound* sound : snapshot) {
        if (sound->hasReachedEnd()) {
            sound->end(ESEC_SOUND_FINISHED_PLAYING);
        }
    }
    for (SdlSound* sound : snapshot) {
        sound->drop();
    }
    drop();
}

ISoundSource* SdlSoundEngine::addSoundSourceFromFile(const char* fileName, E_STREAM_MODE, bool) {
    SdlSoundSource* source = SdlSoundSource::load(fileName);
    if (source != nullptr) {
        sources.push_back(source);
    }
    return source;
}

void SdlSoundEngine::removeSoundSource(ISoundSource* source) {
    const auto found = std::find(sources.begin(), sources.end(), source);
    if (found == sources.end()) {
        return;
    }
    SdlSoundSource* removed = *found;
    sources.erase(found);
    // Sounds still playing it hold their own reference.
    removed->drop();
}

ISound* SdlSoundEngine::play2D(ISoundSource* source, bool playLooped, bool, bool track, bool) {
    auto* sdlSource = dynamic_cast<SdlSoundSource*>(source);
    if (sdlSource == nullptr) {
        return nullptr;
    }
    auto* sound = new SdlSound(sdlSource, playLooped, wake, this);
    if (!sound->start()) {
        sound->drop();
        return nullptr;
    }
    playing.push_back(sound);
    if (!track) {
        return nullptr;
    }
    sound->grab();
    return sound;
}

void SdlSoundEngine::onSoundEnded(SdlSound* sound) {
    const auto found = std::find(playing.begin(), playing.end(), sound);
    if (found == playing.end()) {
        return;
    }
    playing.erase(found);
    sound->drop();
}

ISoundEngine* createSoundEngine() {
    return SdlSoundEngine::create();
}

int getWakeDescriptor() {
    return currentEngine != nullptr ? currentEngine->wakeDescriptor() : -1;
}

} // namespace sound
