// Recording into the message folder and playing the recording back.
#include "State.h"

#include "CapturedAudioDataReceiver.h"

#include <cassert>
#include <cstdio>

namespace {

sound::SAudioStreamFormat recordingFormat() {
    sound::SAudioStreamFormat format;
    format.ChannelCount = 1;
    format.SampleRate = 16000;
    format.SampleFormat = sound::ESF_S16;
    return format;
}

} // namespace

void State::startRecording() {
    const std::string stamp = makeTimeStamp();
    std::string folder;
    if (!locateMessageFolder(folder))
        return;
    inFile = folder + "Temp_" + stamp + ".wav";
    outFile = folder + "Message_" + stamp + ".mp2";
    std::printf("inFile: %s\n", inFile.c_str());
    std::printf("outFile: %s\n", outFile.c_str());
    if (!captureReceiver->openFile(inFile, recordingFormat())) {
        std::string message = "The recording could not be started, disk access failed.";
        showError(message);
        return;
    }
    if (recorder == nullptr ||
        !recorder->startRecordingCustomHandledAudio(captureReceiver, 16000, sound::ESF_S16, 1))
        std::printf("The microphone could not be opened; the recording stays empty.\n");
    startPulse();
}

void State::stopRecording() {
    if (recorder != nullptr)
        recorder->stopRecordingAudio();
    captureReceiver->finishFile();
    if (captureReceiver->createSoundSource() != nullptr) {
        resetBackground();
    } else {
        std::string message = "Creation of the sound source failed.";
        showError(message);
    }
}

void State::startPlayback() {
    sound::ISoundSource* source = captureReceiver->getSoundSource();
    playback =
        soundEngine != nullptr ? soundEngine->play2D(source, false, false, true, false) : nullptr;
    if (playback == nullptr) {
        // Leaves the stop button up; the next frame brings the recorded screen back.
        std::printf("Playback could not be started.\n");
        playbackFailed = true;
        return;
    }
    playback->setSoundStopEventReceiver(this, nullptr);
    std::printf("Started Playing\n");
}

void State::stopPlayback() {
    if (playback != nullptr && !playback->isFinished())
        playback->stop();
}

void State::OnSoundStopped(sound::ISound* sound, sound::E_STOP_EVENT_CAUSE reason, void*) {
    assert(sound == playback);
    assert(playback);
    if (playback == nullptr || sound != playback)
        return;
    playback->drop();
    playback = nullptr;
    std::printf("SoundStopReason: %i\n", static_cast<int>(reason));
    onClick(bstop);
}
