#include "sound/SdlAudioRecorder.h"

#include "sound/SdlAudioSystem.h"

#include <cstdio>

namespace sound {
namespace {

// 64 ms at 16000 Hz: chunks come often enough for a live level, rarely enough to be cheap.
constexpr Uint16 captureBufferFrames = 1024;

} // namespace

SdlAudioRecorder* SdlAudioRecorder::create() {
    if (!acquireSdlAudio()) {
        return nullptr;
    }
    if (!canOpenDefaultDevice(true)) {
        releaseSdlAudio();
        return nullptr;
    }
    return new SdlAudioRecorder();
}

SdlAudioRecorder::~SdlAudioRecorder() {
    stopRecordingAudio();
    releaseSdlAudio();
}

bool SdlAudioRecorder::startRecordingCustomHandledAudio(ICapturedAudioDataReceiver* receiver,
                                                        int sampleRate, ESampleFormat sampleFormat,
                                                        int channelCount) {
    stopRecordingAudio();
    if (receiver == nullptr || sampleRate <= 0 || channelCount < 1 || channelCount > 8) {
        return false;
    }
    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = toSdlFormat(sampleFormat);
    want.channels = static_cast<Uint8>(channelCount);
    want.samples = captureBufferFrames;
    want.callback = deliverChunk;
    want.userdata = receiver;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts whatever the device delivers into exactly this format.
    device = SDL_OpenAudioDevice(nullptr, 1, &want, &have, 0);
    if (device == 0) {
        std::printf("Sound input could not be opened: %s\n", SDL_GetError());
        return false;
    }
    std::printf("Capture device opened: %d Hz, %d ch, %d samples\n", have.freq, have.channels,
                have.samples);
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void SdlAudioRecorder::stopRecordingAudio() {
    if (device == 0) {
        return;
    }
    // Pausing waits for a running callback to return; closing then joins SDL's thread.
    SDL_PauseAudioDevice(device, 1);
    SDL_CloseAudioDevice(device);
    device = 0;
}

void SDLCALL SdlAudioRecorder::deliverChunk(void* receiver, Uint8* stream, int length) {
    static_cast<ICapturedAudioDataReceiver*>(receiver)->OnReceiveAudioDataStreamChunk(
        stream, static_cast<unsigned long>(length));
}

IAudioRecorder* createAudioRecorder(ISoundEngine*) {
    return SdlAudioRecorder::create();
}

} // namespace sound
