// The visible side of the controller: the help box and line, the rows of buttons of each mode,
// drawing, and the pulse of the background while recording.
#include "State.h"

#include "Image.h"
#include "ImageManager.h"
#include "ImageRow.h"

using namespace irr;

namespace {

const s32 rowCentreY = 135;
const s32 rowSpacing = 26;
const u32 pulseInterval = 33; // a pulse redraw needs more than this many milliseconds
const u32 pulsePeriod = 1600; // green, red at the half, green again
const video::SColor pulseColor(255, 255, 0, 0);

core::stringw programNameWide() {
    return core::stringw("Murmelo");
}

// `base` moved towards `target`: each channel target * (1 - weight) + base * weight, cut to an
// integer (the engine's own interpolation rounds instead).
video::SColor interpolate(video::SColor base, video::SColor target, f32 weight) {
    weight = core::clamp(weight, 0.f, 1.f);
    const f32 inverse = 1.0f - weight;
    auto channel = [&](u32 from, u32 to) { return static_cast<u32>(to * inverse + from * weight); };
    return video::SColor(
        channel(base.getAlpha(), target.getAlpha()), channel(base.getRed(), target.getRed()),
        channel(base.getGreen(), target.getGreen()), channel(base.getBlue(), target.getBlue()));
}

} // namespace

void State::createHelpBox() {
    gui::IGUIEnvironment* environment = device->getGUIEnvironment();
    gui::IGUISkin* skin = environment->getSkin();
    skin->setColor(gui::EGDC_BUTTON_TEXT, video::SColor(255, 0, 0, 0));
    skin->setColor(gui::EGDC_3D_FACE, video::SColor(255, 255, 255, 204));
    skin->setFont(environment->getFont("font.xml"));

    const s32 left = 11, top = 218, width = 343, height = 91, margin = 15;
    const s32 inset = margin / 2;
    environment->addStaticText(L"", core::rect<s32>(left, top, left + width, top + height), false,
                               true, nullptr, -1, true);
    helpText = environment->addStaticText(
        L"", core::rect<s32>(left + inset, top + inset, left + width - inset, top + height), false,
        true, nullptr, -1, false);
}

void State::showStopButton() {
    ImageRow row(device->getVideoDriver(), rowCentreY, rowSpacing);
    bstop = makeImage("bstop.png", 62, 62, HOVER_BRIGHTEN);
    row.add(bstop);
    row.arrange();
}

void State::showRecordedButtons() {
    ImageRow row(device->getVideoDriver(), rowCentreY, rowSpacing);
    brecagain = makeImage("brecagain.png", 68, 68, HOVER_BRIGHTEN);
    row.add(brecagain);
    bplay = makeImage("bplay.png", 65, 65, HOVER_BRIGHTEN);
    row.add(bplay);
    bmail = makeImage("bmail.png", 97, 67, HOVER_BRIGHTEN);
    row.add(bmail);
    row.arrange();
}

void State::clearHelpText() {
    helpText->setText(L"");
}

void State::showHelpFor(Image* image) {
    core::stringw text;
    if (image == nullptr || image == brec || image == bstop) {
        switch (mode) {
        case MODE_READY:
            text = L"Click the button to start recording!";
            break;
        case MODE_RECORDING:
            text = L"Recording... Click to stop.";
            break;
        case MODE_PLAYING:
            text = L"Click to stop playback.";
            break;
        case MODE_RECORDED:
            text = L"Move the mouse over a button for help.";
            break;
        }
    } else if (image == title) {
        text = core::stringw(L"Welcome to ") + programNameWide() + core::stringw(L".");
    } else if (image == bclose) {
        text = L"Close.";
    } else if (image == bmini) {
        text = L"Minimize.";
    } else if (image == brecagain) {
        text = L"Discard this message and record again.";
    } else if (image == bplay) {
        text = L"Listen to your message before sending.";
    } else if (image == bmail) {
        text = L"Send using your default email client (such as Thunderbird or Evolution).";
    }
    helpText->setText(text.c_str());
}

void State::refreshHelpText() {
    clearHelpText();
    showHelpFor(imageManager->getImageAt(mousePos));
}

void State::redraw() {
    refreshHelpText();
    video::IVideoDriver* driver = device->getVideoDriver();
    driver->beginScene(true, false, backgroundColor, video::SExposedVideoData(), nullptr);
    device->getGUIEnvironment()->drawAll();
    driver->endScene();
    ++frameCount;
}

void State::update() {
    showPendingError();
    if (playbackFailed) {
        // No sound could be played: come back to the recorded screen as a finished playback
        // would.
        playbackFailed = false;
        if (mode == MODE_PLAYING && bstop != nullptr)
            onClick(bstop);
    }
    if (mode != MODE_RECORDING)
        return;
    const u32 now = device->getTimer()->getTime();
    if (now - lastPulseTime <= pulseInterval)
        return;
    u32 phase = (now - recordStartTime) % pulsePeriod;
    if (phase > pulsePeriod / 2)
        phase = pulsePeriod - phase;
    const f32 weight = static_cast<f32>(1.0 - (phase * 0.002) / (1600 * 0.001));
    backgroundColor = interpolate(baseBackgroundColor, pulseColor, weight);
    redraw();
    lastPulseTime = now;
}

int State::millisecondsUntilNextPulse() const {
    if (mode != MODE_RECORDING)
        return -1;
    const u32 sinceLast = device->getTimer()->getTime() - lastPulseTime;
    return sinceLast > pulseInterval ? 0 : static_cast<int>(pulseInterval + 1 - sinceLast);
}

void State::startPulse() {
    lastPulseTime = recordStartTime = device->getTimer()->getTime();
}

void State::resetBackground() {
    backgroundColor = baseBackgroundColor;
}
