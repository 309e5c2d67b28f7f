#include "sound/SdlAudioSystem.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace sound {
namespace {

std::mutex usersMutex;
int users = 0;

void SDLCALL logToStdout(void*, int, SDL_LogPriority, const char* message) {
    std::printf("SDL: %s\n", message);
}

void SDLCALL fillSilence(void*, Uint8* stream, int length) {
    std::memset(stream, 0, static_cast<size_t>(length));
}

} // namespace

bool acquireSdlAudio() {
    std::lock_guard<std::mutex> lock(usersMutex);
    if (users == 0) {
        // SDL would otherwise turn SIGINT/SIGTERM into an SDL_QUIT event that nobody reads.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        SDL_LogSetOutputFunction(logToStdout, nullptr);
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            std::printf("Sound system could not be started: %s\n", SDL_GetError());
            return false;
        }
    }
    ++users;
    return true;
}

void releaseSdlAudio() {
    std::lock_guard<std::mutex> lock(usersMutex);
    if (users > 0 && --users == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
}

bool canOpenDefaultDevice(bool capture) {
    SDL_AudioSpec want{};
    want.freq = 16000;
    want.format = AUDIO_S16LSB;
    want.channels = 1;
    // Tiny: closing an output device waits two buffers, and this runs at start-up.
    want.samples = 32;
    want.callback = fillSilence;
    SDL_AudioSpec have{};
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &want, &have, 0);
    if (device == 0) {
        std::printf("Sound %s could not be opened: %s\n", capture ? "input" : "output",
                    SDL_GetError());
        return false;
    }
    SDL_CloseAudioDevice(device);
    return true;
}

SDL_AudioFormat toSdlFormat(ESampleFormat format) {
    return format == ESF_U8 ? AUDIO_U8 : AUDIO_S16LSB;
}

} // namespace sound
