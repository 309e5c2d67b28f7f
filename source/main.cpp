#include "State.h"
#include "Window.h"
#include "platform/FrameWaiter.h"
#include "platform/Log.h"
#include "platform/MainLoopWake.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "sound/SoundInterfaces.h"

#include <cstdio>
#include <irrlicht.h>
#include <string>
#include <unistd.h>

using namespace irr;

namespace {

const char* const noDisplayMessage = "Murmelo needs a graphical display (X11) to run.";
// Longest sleep of an idle frame loop: a backstop, since every source of work wakes it.
const int idleWaitMilliseconds = 250;

// media.zip in the current folder, as a run from the build folder has it; otherwise the one
// installed beside the program's data.
std::string findMediaArchive() {
    const std::string local = "media.zip";
    if (access(local.c_str(), R_OK) == 0)
        return local;
    const std::string installed = platform::executableFolder() + "/../../share/murmelo/media.zip";
    if (access(installed.c_str(), R_OK) == 0)
        return installed;
    return local;
}

void reportStartupError(State* state, const char* text) {
    std::string message = text;
    state->showError(message);
}

// Everything that can wake the frame loop: the engine's display connection (found as the
// socket that appeared while the device was made), ours, signals, other threads and the sound.
void watchWakeSources(platform::FrameWaiter& waiter, const std::set<int>& socketsBefore,
                      const std::set<int>& socketsAfter) {
    for (int descriptor : socketsAfter)
        if (socketsBefore.count(descriptor) == 0)
            waiter.watch(descriptor);
    waiter.watch(windowEventDescriptor());
    waiter.watch(platform::mainLoopWakeDescriptor());
    waiter.watch(sound::getWakeDescriptor());
}

int nextWaitMilliseconds(State* state, bool drewOutsideEvents) {
    // A frame drawn outside the engine's event handling may have pulled input into its queue
    // without the socket showing it: look again before sleeping.
    if (drewOutsideEvents)
        return 0;
    const int untilPulse = state->millisecondsUntilNextPulse();
    return untilPulse < 0 ? idleWaitMilliseconds : untilPulse;
}

} // namespace

int main() {
    platform::redirectStandardOutput("log1.txt");
    platform::installCloseSignalHandlers();

    SIrrlichtCreationParameters parameters;
    parameters.DriverType = video::EDT_BURNINGSVIDEO;
    parameters.WindowSize = core::dimension2d<u32>(368, 321);
    const std::set<int> socketsBefore = platform::openSocketDescriptors();
    IrrlichtDevice* device = createDeviceEx(parameters);
    if (device == nullptr) {
        std::printf("%s\n", noDisplayMessage);
        std::fprintf(stderr, "%s\n", noDisplayMessage);
        return 1;
    }
    // Without this every picture would be shrunk to a power-of-two size.
    device->getVideoDriver()->setTextureCreationFlag(video::ETCF_ALLOW_NON_POWER_2, true);
    const std::set<int> socketsOfDevice = platform::openSocketDescriptors();

    device->setWindowCaption(core::stringw("Murmelo").c_str());
    device->getFileSystem()->addFileArchive(findMediaArchive().c_str(), true, true, io::EFAT_ZIP);

    sound::ISoundEngine* soundEngine = sound::createSoundEngine();
    sound::IAudioRecorder* recorder = sound::createAudioRecorder(soundEngine);

    State* state = new State(device, soundEngine, recorder);
    if (soundEngine == nullptr)
        reportStartupError(state, "The sound engine could not be created.");
    if (recorder == nullptr)
        reportStartupError(state, "The sound recorder could not be created.");
    if (!state->mailProgramAvailable())
        reportStartupError(state, "Murmelo cannot find xdg-email (package xdg-utils), which it "
                                  "needs to hand messages to your mail program.");
    device->setEventReceiver(state);
    device->run();
    state->redraw();
    if (!decorateProgramWindow(device))
        reportStartupError(state, "Something peculiar happened.");
    // The window manager may have shown the window after that first frame, before anything
    // listened for the exposure that the engine drops.
    if (!state->isClosing())
        state->redraw();

    platform::FrameWaiter waiter;
    watchWakeSources(waiter, socketsBefore, socketsOfDevice);

    bool drewOutsideEvents = false;
    while (device->run()) {
        waiter.wait(nextWaitMilliseconds(state, drewOutsideEvents));
        platform::clearMainLoopWake();
        const unsigned framesBefore = state->getFrameCount();
        if (platform::closeRequestedBySignal())
            state->closeApplication();
        if (programWindowNeedsRedraw()) {
            SEvent exposed{};
            exposed.EventType = EET_USER_EVENT;
            exposed.UserEvent.UserData1 = 99;
            device->postEventFromUser(exposed);
        }
        if (soundEngine != nullptr)
            soundEngine->update();
        state->update();
        drewOutsideEvents = state->getFrameCount() != framesBefore;
    }

    if (recorder != nullptr)
        recorder->drop();
    if (soundEngine != nullptr)
        soundEngine->drop();
    delete state;
    closeWindowServices();
    device->drop();
    std::printf("Fin.\n");
    return 0;
}
