#pragma once
// A WAV file decoded into memory with its format, as SDL_LoadWAV gives it.

#include "sound/SoundInterfaces.h"

#include <SDL.h>
#include <string>

namespace sound {

class SdlSoundSource final : public ISoundSource {
public:
    // Null when the file cannot be read as a WAV file (the reason is logged).
    static SdlSoundSource* load(const char* fileName);
    ~SdlSoundSource() override;

    const char* getName() const override { return name.c_str(); }
    unsigned getPlayLength() const override;

    const SDL_AudioSpec& format() const { return spec; }
    const Uint8* samples() const { return pcm; }
    Uint32 sizeBytes() const { return length; }

private:
    SdlSoundSource(const char* fileName, const SDL_AudioSpec& spec, Uint8* pcm, Uint32 length);

    std::string name;
    SDL_AudioSpec spec;
    Uint8* pcm;
    Uint32 length;
};

} // namespace sound
