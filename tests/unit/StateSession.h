#pragma once

#include "State.h"
#include "TestSupport.h"

#include <memory>

// A controller as the program builds it: real window, pictures and font, the sound layer on
// SDL's file driver (silence in, output to a file), messages in a private data folder, and the
// message boxes caught.
class StateSession {
public:
    // `audioDelay`: SDL_DISKAUDIODELAY; "0" runs the sound as fast as it can go, nullptr at
    // the pace of a real device.
    explicit StateSession(const char* audioDelay = "0");
    ~StateSession();

    // Releases recorder, engine and controller in the program's shut-down order.
    void shutDown();
    void leftClick(irr::s32 x, irr::s32 y);
    void mouseEvent(irr::EMOUSE_INPUT_EVENT kind, irr::s32 x, irr::s32 y, bool* handled = nullptr);
    void moveMouse(irr::s32 x, irr::s32 y);
    // Runs frame-loop passes until the mode is reached or about two seconds pass.
    bool runUntilMode(State::Mode mode);
    std::string messageFolder() const { return data / "Murmelo/Messages/"; }

    TempFolder data;
    ScopedEnvironment dataHome;
    ScopedEnvironment audioDriver;
    ScopedEnvironment audioIn;
    ScopedEnvironment audioOut;
    ScopedEnvironment audioDelay;
    DeviceSession session;
    MessageBoxCatcher boxes;
    sound::ISoundEngine* engine = nullptr;
    sound::IAudioRecorder* recorder = nullptr;
    State* state = nullptr;
};
