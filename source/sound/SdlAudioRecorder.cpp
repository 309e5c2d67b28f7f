#include "sound/SdlAudioRecorder.h"

#include "sound/SdlAudioSystem.h"

#include <chrono>
#include <cstdio>
#include <thread>

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

bool SdlAudioRecorder::startRecordingCustomHandledAudio(ICapturedAudioDataReceiver* target,
                                                        int sampleRate, ESampleFormat sampleFormat,
                                                        int channelCount) {
    stopRecordingAudio();
    if (target == nullptr || sampleRate <= 0 || channelCount < 1 || channelCount > 8) {
        return false;
    }
    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = toSdlFormat(sampleFormat);
    want.channels = static_cast<Uint8>(channelCount);
    want.samples = captureBufferFrames;
    want.callback = deliverChunk;
    want.userdata = this;
    receiver = target;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts whatever the device delivers into exactly this format.
    device = SDL_OpenAudioDevice(nullptr, 1, &want, &have, 0);
    if (device == 0) {
        std::printf("Sound input could not be opened: %s\n", SDL_GetError());
        return false;
    }
    std::printf("Capture device opened: %d Hz, %d ch, %d samples\n", have.freq, have.channels,
                have.samples);
    chunkMilliseconds = 1000 * have.samples / have.freq;
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void SdlAudioRecorder::stopRecordingAudio() {
    if (device == 0) {
        return;
    }
    awaitNextChunk();
    // Pausing waits for a running callback to return; closing then joins SDL's thread.
    SDL_PauseAudioDevice(device, 1);
    SDL_CloseAudioDevice(device);
    device = 0;
}

void SdlAudioRecorder::awaitNextChunk() {
    if (SDL_GetAudioDeviceStatus(device) != SDL_AUDIO_PLAYING)
        return;
    // The device hands over whole chunks only: without this the sound of the last fraction of
    // a chunk, up to one chunk long, would be dropped at every stop.
    const unsigned before = chunksDelivered.load();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * chunkMilliseconds + 40);
    while (chunksDelivered.load() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void SDLCALL SdlAudioRecorder::deliverChunk(void* self, Uint8* stream, int length) {
    auto* recorder = static_cast<SdlAudioRecorder*>(self);
    recorder->receiver->OnReceiveAudioDataStreamChunk(stream, static_cast<unsigned long>(length));
    recorder->chunksDelivered.fetch_add(1);
}

IAudioRecorder* createAudioRecorder(ISoundEngine*) {
    return SdlAudioRecorder::create();
}

} // namespace sound
