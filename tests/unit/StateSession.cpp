#include "StateSession.h"

#include <chrono>
#include <thread>

namespace {
// Ten seconds of silence for the capture side of SDL's file driver.
std::string makeSilence(const TempFolder& folder) {
    const std::string path = folder / "silence.raw";
    writeText(path, std::string(320000, '\0'));
    return path;
}
} // namespace

StateSession::StateSession(const char* delay)
    : dataHome("XDG_DATA_HOME", data.path().c_str()), audioDriver("SDL_AUDIODRIVER", "disk"),
      audioIn("SDL_DISKAUDIOFILEIN", makeSilence(data).c_str()),
      audioOut("SDL_DISKAUDIOFILE", (data / "speaker.raw").c_str()),
      audioDelay("SDL_DISKAUDIODELAY", delay) {
    if (session.device == nullptr)
        return;
    engine = sound::createSoundEngine();
    recorder = sound::createAudioRecorder(engine);
    state = new State(session.device, engine, recorder);
    session.device->setEventReceiver(state);
    // The pulse follows the device timer; tests set its time by hand.
    session.device->getTimer()->stop();
}

StateSession::~StateSession() {
    shutDown();
}

void StateSession::shutDown() {
    if (recorder != nullptr)
        recorder->drop();
    recorder = nullptr;
    if (engine != nullptr)
        engine->drop();
    engine = nullptr;
    delete state;
    state = nullptr;
}

void StateSession::mouseEvent(irr::EMOUSE_INPUT_EVENT kind, irr::s32 x, irr::s32 y, bool* handled) {
    irr::SEvent event{};
    event.EventType = irr::EET_MOUSE_INPUT_EVENT;
    event.MouseInput.Event = kind;
    event.MouseInput.X = x;
    event.MouseInput.Y = y;
    const bool result = state->OnEvent(event);
    if (handled != nullptr)
        *handled = result;
}

void StateSession::leftClick(irr::s32 x, irr::s32 y) {
    mouseEvent(irr::EMIE_LMOUSE_PRESSED_DOWN, x, y);
    mouseEvent(irr::EMIE_LMOUSE_LEFT_UP, x, y);
}

void StateSession::moveMouse(irr::s32 x, irr::s32 y) {
    mouseEvent(irr::EMIE_MOUSE_MOVED, x, y);
}

bool StateSession::runUntilMode(State::Mode mode) {
    for (int pass = 0; pass < 400 && state->getMode() != mode; ++pass) {
        engine->update();
        state->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return state->getMode() == mode;
}
