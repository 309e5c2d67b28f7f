#include "sound/SdlSoundSource.h"

#include <cstdio>

namespace sound {

SdlSoundSource* SdlSoundSource::load(const char* fileName) {
    if (fileName == nullptr) {
        return nullptr;
    }
    SDL_AudioSpec spec{};
    Uint8* pcm = nullptr;
    Uint32 length = 0;
    if (SDL_LoadWAV(fileName, &spec, &pcm, &length) == nullptr) {
        std::printf("Sound file could not be loaded: %s\n", SDL_GetError());
        return nullptr;
    }
    return new SdlSoundSource(fileName, spec, pcm, length);
}

SdlSoundSource::SdlSoundSource(const char* fileName, const SDL_AudioSpec& spec, Uint8* pcm,
                               Uint32 length)
    : name(fileName), spec(spec), pcm(pcm), length(length) {}

SdlSoundSource::~SdlSoundSource() {
    SDL_FreeWAV(pcm);
}

unsigned SdlSoundSource::getPlayLength() const {
    const Uint32 frameSize = SDL_AUDIO_BITSIZE(spec.format) / 8 * spec.channels;
    if (frameSize == 0 || spec.freq <= 0) {
        return 0;
    }
    const unsigned long long frames = length / frameSize;
    return static_cast<unsigned>(frames * 1000ULL / static_cast<unsigned>(spec.freq));
}

} // namespace sound
