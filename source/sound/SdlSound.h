#pragma once
// One playback of a sound source on its own SDL output device, fed from the audio callback.
// The audio thread only reads the source and sets the drained flag; every notification and
// every device close happens on the main thread.

#include "sound/SdlSoundSource.h"
#include "sound/SoundInterfaces.h"
#include "sound/WakeSignal.h"

#include <SDL.h>
#include <atomic>

namespace sound {

class SdlSound;

// Whoever keeps a playing sound alive (the engine) and wants to hear when it has ended.
class SoundOwner {
public:
    virtual void onSoundEnded(SdlSound* sound) = 0;

protected:
    ~SoundOwner() = default;
};

class SdlSound final : public ISound {
public:
    SdlSound(SdlSoundSource* source, bool looped, const WakeSignal& wake, SoundOwner* owner);
    ~SdlSound() override;

    // Opens the default output device in the source's format and starts playing. False (with
    // the reason logged) when no device can be opened.
    bool start();
    // True once the last samples have been heard, or the device has died.
    bool hasReachedEnd() const;
    // Ends the sound: the stop receiver is told, the device closed, the owner informed.
    // Does nothing when the sound has already ended.
    void end(E_STOP_EVENT_CAUSE cause);
    // Ends the sound without telling anyone; for an owner that is going away.
    void abandon();

    bool isFinished() override;
    void stop() override;
    void setSoundStopEventReceiver(ISoundStopEventReceiver* receiver,
                                   void* userData = nullptr) override;

private:
    static void SDLCALL feedDevice(void* self, Uint8* stream, int length);
    void fill(Uint8* stream, int length);
    void closeDevice();

    SdlSoundSource* source;
    const bool looped;
    const WakeSignal& wake;
    SoundOwner* owner;
    SDL_AudioDeviceID device = 0;
    Uint8 silence = 0;

    // Touched only by the audio callback while the device is open.
    Uint32 position = 0;
    int silentCallbacks = 0;

    std::atomic<bool> drained{false};

    bool ended = false;
    ISoundStopEventReceiver* stopReceiver = nullptr;
    void* stopReceiverData = nullptr;
};

} // namespace sound
