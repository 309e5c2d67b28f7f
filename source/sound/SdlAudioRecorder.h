#pragma once
// The audio recorder over SDL2: captures the default input device in the wanted format and
// hands each chunk to the receiver on SDL's audio thread.

#include "sound/SoundInterfaces.h"

#include <SDL.h>
#include <atomic>

namespace sound {

class SdlAudioRecorder final : public IAudioRecorder {
public:
    // Null when SDL audio cannot start or no capture device can be opened.
    static SdlAudioRecorder* create();
    ~SdlAudioRecorder() override;

    // The receiver is borrowed: it must stay alive until the capture is stopped.
    bool startRecordingCustomHandledAudio(ICapturedAudioDataReceiver* receiver,
                                          int sampleRate = 16000,
                                          ESampleFormat sampleFormat = ESF_S16,
                                          int channelCount = 1) override;
    void stopRecordingAudio() override;

private:
    SdlAudioRecorder() = default;
    static void SDLCALL deliverChunk(void* self, Uint8* stream, int length);
    // Lets the chunk being filled arrive, so that a recording keeps its last moments.
    void awaitNextChunk();

    SDL_AudioDeviceID device = 0;
    ICapturedAudioDataReceiver* receiver = nullptr;
    int chunkMilliseconds = 0;
    std::atomic<unsigned> chunksDelivered{0};
};

} // namespace sound
