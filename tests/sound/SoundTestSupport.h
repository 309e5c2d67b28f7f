#pragma once
// Helpers for the sound tests: a private folder for SDL's disk audio driver, test signals,
// WAV files and receivers that record what the sound layer tells them.

#include "sound/SoundInterfaces.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace soundtest {

using Bytes = std::vector<std::uint8_t>;

// Points SDL's disk driver at files in a fresh temporary folder for the life of the object:
// capture reads input.raw (created empty), playback writes output.raw. With realTime false
// the driver runs as fast as it can instead of at the pace of the audio clock.
class DiskAudio {
public:
    explicit DiskAudio(bool realTime);
    ~DiskAudio();
    DiskAudio(const DiskAudio&) = delete;
    DiskAudio& operator=(const DiskAudio&) = delete;

    const std::string& folder() const { return dir; }
    std::string inputPath() const { return dir + "/input.raw"; }
    std::string outputPath() const { return dir + "/output.raw"; }
    std::string path(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Pseudo-random 16-bit samples, none of them zero, so silence can be told apart from data.
std::vector<std::int16_t> makeNonZeroSamples(std::size_t count, std::uint32_t seed);
Bytes toBytes(const std::vector<std::int16_t>& samples);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
// A 16-bit PCM WAV file with the given interleaved samples.
void writeWav(const std::string& path, const std::vector<std::int16_t>& samples, int sampleRate,
              int channels);

// Output of the disk driver: any whole number of silent samples, then exactly `data`, then
// only silence.
::testing::AssertionResult playedExactlyOnce(const Bytes& output, const Bytes& data);
// Output of a sound stopped early: silence, then a non-empty proper prefix of `data`, then
// silence.
::testing::AssertionResult playedProperPrefix(const Bytes& output, const Bytes& data);

// Calls fn every few milliseconds until it returns true or timeoutMs have passed.
bool waitUntil(const std::function<bool()>& fn, int timeoutMs);

struct StopRecord {
    sound::ISound* sound;
    sound::E_STOP_EVENT_CAUSE reason;
    void* userData;
    bool insideUpdate;
    bool insideStop;
};

// Records every stop notification and where it came from.
class StopReceiver : public sound::ISoundStopEventReceiver {
public:
    void OnSoundStopped(sound::ISound* sound, sound::E_STOP_EVENT_CAUSE reason,
                        void* userData) override;

    std::vector<StopRecord> records;
    bool insideUpdate = false;
    bool insideStop = false;
    // Called from inside the notification, for example to drop the caller's reference there.
    std::function<void(sound::ISound*)> onStopped;
};

// engine->update() with the receiver's insideUpdate flag set around it.
void updateMarked(sound::ISoundEngine* engine, StopReceiver& receiver);
// stop() with the receiver's insideStop flag set around it.
void stopMarked(sound::ISound* sound, StopReceiver& receiver);
// Waits on the wake descriptor and runs updates until the receiver has a notification.
bool updateUntilStopped(sound::ISoundEngine* engine, StopReceiver& receiver, int timeoutMs);

// Collects captured chunks, and notices a chunk that arrives while it is told none may.
class ChunkCollector : public sound::ICapturedAudioDataReceiver {
public:
    void OnReceiveAudioDataStreamChunk(unsigned char* audioData,
                                       unsigned long lengthInBytes) override;

    std::vector<Bytes> chunks() const;
    Bytes concatenated() const;

    std::atomic<int> chunkCount{0};
    std::atomic<long> byteCount{0};
    std::atomic<int> running{0};
    // Microseconds each delivery lingers, to widen the window in which stop could race it.
    int lingerMicroseconds = 0;
    // Only the first chunks are kept: a driver without pacing delivers silence very fast.
    std::size_t keepChunks = 64;

private:
    mutable std::mutex mutex;
    std::vector<Bytes> received;
};

} // namespace soundtest
