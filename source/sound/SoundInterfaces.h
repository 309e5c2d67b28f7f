#pragma once
// The sound service the program is written against: a sound engine that plays WAV files and
// reports when a sound has stopped, and an audio recorder that hands captured PCM chunks to a
// receiver. The implementation lives in this folder, over SDL2 audio.

namespace sound {

enum ESampleFormat { ESF_U8 = 0, ESF_S16 = 1 };

enum E_STREAM_MODE { ESM_AUTO_DETECT = 0, ESM_STREAMING = 1, ESM_NO_STREAMING = 2 };

enum E_STOP_EVENT_CAUSE {
    ESEC_SOUND_FINISHED_PLAYING = 0,
    ESEC_SOUND_STOPPED_BY_USER = 1,
    ESEC_SOUND_STOPPED_BY_SOURCE_REMOVAL = 2
};

struct SAudioStreamFormat {
    int ChannelCount = 0;
    int FrameCount = 0;
    int SampleRate = 0;
    ESampleFormat SampleFormat = ESF_S16;

    int getSampleSize() const { return SampleFormat == ESF_U8 ? 1 : 2; }
    int getFrameSize() const { return ChannelCount * getSampleSize(); }
    int getBytesPerSecond() const { return getFrameSize() * SampleRate; }
};

// Reference counted: an object starts with one reference; drop() releases one and deletes the
// object when none is left.
class IRefCounted {
public:
    IRefCounted() = default;
    IRefCounted(const IRefCounted&) = delete;
    IRefCounted& operator=(const IRefCounted&) = delete;
    virtual ~IRefCounted() = default;

    void grab() { ++referenceCount; }
    bool drop() {
        if (--referenceCount == 0) {
            delete this;
            return true;
        }
        return false;
    }
    int getReferenceCount() const { return referenceCount; }

private:
    int referenceCount = 1;
};

class ISoundSource : public IRefCounted {
public:
    virtual const char* getName() const = 0;
    // Length of the decoded sound in milliseconds.
    virtual unsigned getPlayLength() const = 0;
};

class ISound;

class ISoundStopEventReceiver {
public:
    virtual ~ISoundStopEventReceiver() = default;
    virtual void OnSoundStopped(ISound* sound, E_STOP_EVENT_CAUSE reason, void* userData) = 0;
};

class ISound : public IRefCounted {
public:
    virtual bool isFinished() = 0;
    // Ends the sound; its stop receiver is told before this returns (reason 1).
    virtual void stop() = 0;
    virtual void setSoundStopEventReceiver(ISoundStopEventReceiver* receiver,
                                           void* userData = nullptr) = 0;
};

class ICapturedAudioDataReceiver : public IRefCounted {
public:
    // Called on the capture thread with each chunk as delivered by the device.
    virtual void OnReceiveAudioDataStreamChunk(unsigned char* audioData,
                                               unsigned long lengthInBytes) = 0;
};

class ISoundEngine : public IRefCounted {
public:
    // Runs the engine's work on the calling thread: stop notifications of sounds that have
    // played to their end are delivered from here.
    virtual void update() = 0;
    // A source made from a WAV file, or null when the file cannot be read.
    virtual ISoundSource* addSoundSourceFromFile(const char* fileName,
                                                 E_STREAM_MODE mode = ESM_AUTO_DETECT,
                                                 bool preload = false) = 0;
    virtual void removeSoundSource(ISoundSource* source) = 0;
    // With track set, returns the playing sound with one reference held by the caller; null
    // when it cannot be played.
    virtual ISound* play2D(ISoundSource* source, bool playLooped = false, bool startPaused = false,
                           bool track = false, bool enableSoundEffects = false) = 0;
};

class IAudioRecorder : public IRefCounted {
public:
    virtual bool startRecordingCustomHandledAudio(ICapturedAudioDataReceiver* receiver,
                                                  int sampleRate = 16000,
                                                  ESampleFormat sampleFormat = ESF_S16,
                                                  int channelCount = 1) = 0;
    // When this returns, no chunk is being delivered and none will be.
    virtual void stopRecordingAudio() = 0;
};

// The engine, or null when no sound output device can be opened.
ISoundEngine* createSoundEngine();
// The recorder, or null when no capture device can be opened. The engine may be null.
IAudioRecorder* createAudioRecorder(ISoundEngine* engine);

// A descriptor that becomes readable when the engine has work for update() (a sound reached
// its end) so that a waiting frame loop wakes at once. -1 when there is none.
int getWakeDescriptor();

} // namespace sound
