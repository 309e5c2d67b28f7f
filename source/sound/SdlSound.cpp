#include "sound/SdlSound.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sound {
namespace {

// About 50-85 ms of audio: long enough that a busy machine never lets the device run dry
// (32 ms buffers did, now and then), short enough that the end is heard soon after it comes.
Uint16 bufferFramesFor(int sampleRate) {
    Uint16 frames = 256;
    while (frames < 4096 && frames * 2 <= sampleRate / 12) {
        frames *= 2;
    }
    return frames;
}

// The device asks for the next buffer about one buffer before the previous one is heard, so
// the first silent callback means "the last data is about to be heard" and the second means
// it has been.
constexpr int silentCallbacksUntilDrained = 2;

} // namespace

SdlSound::SdlSound(SdlSoundSource* source, bool looped, const WakeSignal& wake, SoundOwner* owner)
    : source(source), looped(looped), wake(wake), owner(owner) {
    source->grab();
}

SdlSound::~SdlSound() {
    closeDevice();
    source->drop();
}

bool SdlSound::start() {
    SDL_AudioSpec want = source->format();
    want.samples = bufferFramesFor(want.freq);
    want.callback = feedDevice;
    want.userdata = this;
    SDL_AudioSpec have{};
    device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        std::printf("Sound output could not be opened: %s\n", SDL_GetError());
        return false;
    }
    silence = have.silence;
    SDL_PauseAudioDevice(device, 0);
    return true;
}

bool SdlSound::hasReachedEnd() const {
    if (drained.load(std::memory_order_acquire)) {
        return true;
    }
    // A sound server that went away leaves the device stopped; waiting for the callback to
    // run out of data would then take as long as the whole sound.
    return device != 0 && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED;
}

void SdlSound::end(E_STOP_EVENT_CAUSE cause) {
    if (ended) {
        return;
    }
    ended = true;
    // The receiver usually drops its reference, and the owner drops its own below.
    grab();
    if (device != 0) {
        // Silence at once; closing may take a couple of buffers.
        SDL_PauseAudioDevice(device, 1);
    }
    if (stopReceiver != nullptr) {
        stopReceiver->OnSoundStopped(this, cause, stopReceiverData);
    }
    closeDevice();
    if (owner != nullptr) {
        SoundOwner* former = owner;
        owner = nullptr;
        former->onSoundEnded(this);
    }
    drop();
}

void SdlSound::abandon() {
    ended = true;
    owner = nullptr;
    closeDevice();
}

bool SdlSound::isFinished() {
    return ended || drained.load(std::memory_order_acquire);
}

void SdlSound::stop() {
    end(ESEC_SOUND_STOPPED_BY_USER);
}

void SdlSound::setSoundStopEventReceiver(ISoundStopEventReceiver* receiver, void* userData) {
    stopReceiver = receiver;
    stopReceiverData = userData;
}

void SDLCALL SdlSound::feedDevice(void* self, Uint8* stream, int length) {
    static_cast<SdlSound*>(self)->fill(stream, length);
}

void SdlSound::fill(Uint8* stream, int length) {
    const Uint8* samples = source->samples();
    const Uint32 total = source->sizeBytes();
    const Uint32 wanted = static_cast<Uint32>(length);
    Uint32 written = 0;
    while (written < wanted) {
        if (position >= total) {
            if (!looped || total == 0) {
                break;
            }
            position = 0;
        }
        const Uint32 count = std::min(total - position, wanted - written);
        std::memcpy(stream + written, samples + position, count);
        position += count;
        written += count;
    }
    if (written < wanted) {
        std::memset(stream + written, silence, wanted - written);
    }
    if (written == 0 && silentCallbacks < silentCallbacksUntilDrained &&
        ++silentCallbacks == silentCallbacksUntilDrained) {
        drained.store(true, std::memory_order_release);
        wake.signal();
    }
}

void SdlSound::closeDevice() {
    if (device == 0) {
        return;
    }
    SDL_PauseAudioDevice(device, 1);
    SDL_CloseAudioDevice(device);
    device = 0;
}

} // namespace sound
