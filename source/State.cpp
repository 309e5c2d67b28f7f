#include "State.h"

#include "CapturedAudioDataReceiver.h"
#include "EmailClient.h"
#include "Image.h"
#include "ImageManager.h"
#include "ImageRow.h"
#include "Window.h"
#include "platform/MainLoopWake.h"
#include "platform/MessageBox.h"
#include "platform/X11Connection.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

using namespace irr;

namespace {
const char* const programName = "Murmelo";
const char* const picturesMissingMessage =
    "The program's pictures could not be loaded (media.zip).";
} // namespace

State::State(IrrlichtDevice* device, sound::ISoundEngine* soundEngine,
             sound::IAudioRecorder* recorder)
    : device(device), soundEngine(soundEngine), closing(false), recorder(recorder),
      imageManager(nullptr), emailClient(nullptr), captureReceiver(nullptr), playback(nullptr),
      dragging(false), mousePos(0, 0), lastCursorPos(0, 0), lastPulseTime(0), recordStartTime(0),
      mode(MODE_READY), helpText(nullptr), title(nullptr), bmini(nullptr), bclose(nullptr),
      brec(nullptr), bstop(nullptr), brecagain(nullptr), bplay(nullptr), bmail(nullptr),
      mainThread(std::this_thread::get_id()) {
    emailClient = new EmailClient();
    imageManager = new ImageManager(device);
    dragging = false;
    mode = MODE_READY;
    baseBackgroundColor = video::SColor(255, 202, 255, 112);
    backgroundColor = baseBackgroundColor;
    captureReceiver = new CapturedAudioDataReceiver(this, soundEngine);

    title = makeImage("title.png", 238, 33, HOVER_BRIGHTEN);
    title->setPosition(15, 12);
    title->setHoverEnabled(false);
    bmini = makeImage("bmini.png", 36, 36, HOVER_FADE);
    bmini->setPositionFromRight(56, 12);
    bclose = makeImage("bclose.png", 36, 36, HOVER_FADE);
    bclose->setPositionFromRight(15, 12);

    createHelpBox();

    ImageRow row(device->getVideoDriver(), 135, 26);
    brec = makeImage("brec.png", 68, 68, HOVER_BRIGHTEN);
    row.add(brec);
    row.arrange();
}

State::~State() {
    delete captureReceiver;
    delete imageManager;
    delete emailClient;
    // Closed while a playback ran: the engine has already let the sound go without telling
    // us, so our reference is the last one.
    if (playback != nullptr)
        playback->drop();
}

Image* State::makeImage(const char* fileName, u16 width, u16 height, int effect) {
    Image* image = imageManager->add(new Image(device, fileName, width, height, effect));
    if (!image->isLoaded() && !picturesReported) {
        picturesReported = true;
        std::printf("Picture missing: %s\n", fileName);
        std::string message = picturesMissingMessage;
        showError(message);
    }
    return image;
}

bool State::OnEvent(const SEvent& event) {
    if (event.EventType == EET_USER_EVENT && event.UserEvent.UserData1 == 99)
        redraw();
    if (event.EventType != EET_MOUSE_INPUT_EVENT)
        return false;
    const core::position2d<s32> point(event.MouseInput.X, event.MouseInput.Y);
    switch (event.MouseInput.Event) {
    case EMIE_LMOUSE_PRESSED_DOWN: {
        Image* image = imageManager->getImageAt(point);
        if (image != nullptr) {
            onClick(image);
            if (image != title)
                break;
        }
        dragging = true;
        break;
    }
    case EMIE_LMOUSE_LEFT_UP:
        dragging = false;
        break;
    case EMIE_MOUSE_MOVED: {
        mousePos = point;
        imageManager->clearMouseOver();
        clearHelpText();
        if (Image* image = imageManager->getImageAt(point)) {
            image->setMouseOver(true);
            showHelpFor(image);
        }
        const core::position2d<s32> cursor = getCursorScreenPos();
        if (dragging)
            moveWindow(cursor - lastCursorPos);
        lastCursorPos = cursor;
        redraw();
        break;
    }
    default:
        break;
    }
    return false;
}

void State::onClick(Image* image) {
    imageManager->clearMouseOver();
    if (image == nullptr)
        return;
    if (image == bclose) {
        closeApplication();
        return;
    }
    if (image == bmini) {
        minimizeWindow();
    } else if (image == brec) {
        imageManager->remove(brec);
        showStopButton();
        startRecording();
        mode = MODE_RECORDING;
    } else if (image == bstop) {
        imageManager->remove(bstop);
        if (mode == MODE_RECORDING)
            stopRecording();
        else if (mode == MODE_PLAYING)
            stopPlayback();
        showRecordedButtons();
        mode = MODE_RECORDED;
    } else if (image == brecagain || image == bplay || image == bmail) {
        const bool play = image == bplay;
        const bool send = image == bmail;
        imageManager->remove(brecagain);
        imageManager->remove(bplay);
        imageManager->remove(bmail);
        if (send) {
            assert(programWindowExists() && "hwnd");
            hideWindow();
            sendMessage();
            std::printf("Mail client closed.\n");
            closeApplication();
            return;
        }
        showStopButton();
        if (play) {
            startPlayback();
            mode = MODE_PLAYING;
        } else {
            startRecording();
            mode = MODE_RECORDING;
        }
    }
    redraw();
}

void State::showError(std::string& message, bool withCode, int code) {
    if (withCode) {
        message += "\nError code ";
        message += std::to_string(code);
        message += ".";
    }
    std::printf("Error: %s\n", message.c_str());
    shownErrors.push_back(message);
    platform::showWarningBox(std::string(programName) + " Error", message);
    closeApplication();
}

void State::reportError(const std::string& message) {
    if (std::this_thread::get_id() != mainThread) {
        std::lock_guard<std::mutex> lock(pendingErrorMutex);
        if (errorPending || pendingError == message)
            return;
        pendingError = message;
        errorPending = true;
        platform::wakeMainLoop();
        return;
    }
    if (std::find(shownErrors.begin(), shownErrors.end(), message) != shownErrors.end())
        return;
    std::string text = message;
    showError(text);
}

void State::showPendingError() {
    if (!errorPending)
        return;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(pendingErrorMutex);
        message = pendingError;
        errorPending = false;
    }
    reportError(message);
}

void State::closeApplication() {
    if (closing)
        return;
    hideWindow();
    std::printf("Closing Device...\n");
    device->closeDevice();
    closing = true;
}

bool State::mailProgramAvailable() const {
    return emailClient->isAvailable();
}

const wchar_t* State::getHelpText() const {
    return helpText->getText();
}

core::position2d<s32> getCursorScreenPos() {
    int x = 0, y = 0;
    platform::X11Connection::instance().cursorPosition(x, y);
    return core::position2d<s32>(x, y);
}
