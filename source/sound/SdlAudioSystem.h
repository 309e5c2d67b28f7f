#pragma once
// Shared start-up of SDL's audio subsystem for the engine and the recorder, and the device
// probe both use to find out whether sound really works on this machine.

#include "sound/SoundInterfaces.h"

#include <SDL.h>

namespace sound {

// Starts SDL audio for its first user; later calls only count. False, with the reason logged,
// when SDL cannot start it (the count is then unchanged).
bool acquireSdlAudio();
// Gives back one acquireSdlAudio; the last one shuts SDL audio down.
void releaseSdlAudio();

// Opens and closes the default output (or capture) device. SDL_Init succeeds without any sound
// hardware, so this is the only reliable test. Logs the reason when it fails.
bool canOpenDefaultDevice(bool capture);

SDL_AudioFormat toSdlFormat(ESampleFormat format);

} // namespace sound
