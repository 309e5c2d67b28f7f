#pragma once

#include "sound/SoundInterfaces.h"

#include <atomic>
#include <irrlicht.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Image;
class ImageManager;
class EmailClient;
class CapturedAudioDataReceiver;

// The program's one controller: it takes every input event and the end of each playback, holds
// the mode, builds the screens, records, plays back, sends, reports errors and closes.
class State : public irr::IEventReceiver, public sound::ISoundStopEventReceiver {
public:
    enum Mode { MODE_READY = 0, MODE_RECORDING = 1, MODE_PLAYING = 2, MODE_RECORDED = 3 };

    State(irr::IrrlichtDevice* device, sound::ISoundEngine* soundEngine,
          sound::IAudioRecorder* recorder);
    ~State() override;
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    bool OnEvent(const irr::SEvent& event) override;
    void OnSoundStopped(sound::ISound* sound, sound::E_STOP_EVENT_CAUSE reason,
                        void* userData) override;

    void onClick(Image* image);
    // Shows the message in a box, then closes the program. With a code, the message (changed
    // in place) ends in "\nError code N.".
    void showError(std::string& message, bool withCode = false, int code = 0);
    void closeApplication();

    // Screens, help line and drawing.
    void redraw();
    void update();
    void startPulse();
    void resetBackground();
    void showStopButton();
    void showRecordedButtons();
    void clearHelpText();
    void refreshHelpText();
    void showHelpFor(Image* image);

    // Recording and playback.
    void startRecording();
    void stopRecording();
    void startPlayback();
    void stopPlayback();

    // Message files and sending.
    bool locateMessageFolder(std::string& folder);
    void sendMessage();

    // The error display for code that may run on the capture thread: there the report waits
    // for the main thread, which shows it on its next pass. A message is shown once at most.
    void reportError(const std::string& message);
    // Shows a report that another thread left. Called by update().
    void showPendingError();

    // False when there is no program to hand a message to the user's mail program.
    bool mailProgramAvailable() const;
    Mode getMode() const { return mode; }
    bool isClosing() const { return closing; }
    unsigned getFrameCount() const { return frameCount; }
    // Milliseconds the frame loop may sleep before update() has work to do.
    int millisecondsUntilNextPulse() const;
    const std::string& getInFile() const { return inFile; }
    const std::string& getOutFile() const { return outFile; }
    irr::video::SColor getBackgroundColor() const { return backgroundColor; }
    const wchar_t* getHelpText() const;
    ImageManager* getImageManager() const { return imageManager; }

private:
    Image* makeImage(const char* fileName, irr::u16 width, irr::u16 height, int effect);
    void createHelpBox();
    bool encodeMessage();

    irr::IrrlichtDevice* device;
    sound::ISoundEngine* soundEngine;
    bool closing;
    sound::IAudioRecorder* recorder;
    ImageManager* imageManager;
    EmailClient* emailClient;
    CapturedAudioDataReceiver* captureReceiver;
    std::string inFile;
    std::string outFile;
    sound::ISound* playback;
    bool dragging;
    irr::core::position2d<irr::s32> mousePos;
    irr::core::position2d<irr::s32> lastCursorPos;
    irr::video::SColor backgroundColor;
    irr::video::SColor baseBackgroundColor;
    irr::u32 lastPulseTime;
    irr::u32 recordStartTime;
    Mode mode;
    irr::gui::IGUIStaticText* helpText;
    Image* title;
    Image* bmini;
    Image* bclose;
    Image* brec;
    Image* bstop;
    Image* brecagain;
    Image* bplay;
    Image* bmail;

    // Bookkeeping: frames drawn, the thread that owns the window, messages already
    // shown, and a report waiting for the main thread.
    unsigned frameCount = 0;
    std::thread::id mainThread;
    std::vector<std::string> shownErrors;
    std::mutex pendingErrorMutex;
    std::string pendingError;
    std::atomic<bool> errorPending{false};
    bool picturesReported = false;
    bool playbackFailed = false;
};

irr::core::position2d<irr::s32> getCursorScreenPos();

// Message folder, names and the encoder.
void makeDirectory(const std::string& path);
std::string makeTimeStamp();
void makeFileNameSafe(std::string& text);
// Runs the program with these arguments (arguments[0] names it) and waits for its end. False
// when it could not be started or waited for; otherwise `exitStatus` holds its exit code.
bool runAppWait(const std::string& program, const std::vector<std::string>& arguments,
                int& exitStatus);
// The text of the mail that carries a message.
std::string makeNoteText();
// The encoder's argument vector for one message.
std::vector<std::string> makeEncoderArguments(const std::string& inFile,
                                              const std::string& outFile);
