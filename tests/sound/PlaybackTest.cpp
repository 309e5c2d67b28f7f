// Playback through the engine, written to a raw file by SDL's disk driver.

#include "SoundTestSupport.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace soundtest;

namespace {

// Owns an engine made against a fresh disk-driver folder.
class EngineFixture : public ::testing::Test {
protected:
    explicit EngineFixture(bool realTime) : disk(realTime) {}
    void SetUp() override {
        engine = sound::createSoundEngine();
        ASSERT_NE(engine, nullptr);
    }
    void TearDown() override {
        if (engine != nullptr) {
            engine->drop();
        }
    }

    sound::ISoundSource* loadWav(const std::vector<std::int16_t>& samples, int sampleRate = 16000,
                                 int channels = 1) {
        const std::string path = disk.path("sound.wav");
        writeWav(path, samples, sampleRate, channels);
        return engine->addSoundSourceFromFile(path.c_str());
    }

    DiskAudio disk;
    sound::ISoundEngine* engine = nullptr;
};

class FastPlayback : public EngineFixture {
protected:
    FastPlayback() : EngineFixture(false) {}
};

class RealTimePlayback : public EngineFixture {
protected:
    RealTimePlayback() : EngineFixture(true) {}
};

bool isReadable(int fd, int timeoutMs) {
    pollfd wake{fd, POLLIN, 0};
    return poll(&wake, 1, timeoutMs) == 1 && (wake.revents & POLLIN) != 0;
}

} // namespace

TEST_F(FastPlayback, PlaysTheWavSampleForSampleAndReportsTheEndOnceFromUpdate) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(8000, 3);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->getPlayLength(), 500u);

    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    int userData = 0;
    played->setSoundStopEventReceiver(&receiver, &userData);

    ASSERT_TRUE(updateUntilStopped(engine, receiver, 5000));
    ASSERT_EQ(receiver.records.size(), 1u);
    EXPECT_EQ(receiver.records[0].sound, played);
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_FINISHED_PLAYING);
    EXPECT_EQ(receiver.records[0].userData, &userData);
    EXPECT_TRUE(receiver.records[0].insideUpdate);
    EXPECT_TRUE(played->isFinished());

    // The device is closed once the notification is out, so the output file is complete.
    EXPECT_TRUE(playedExactlyOnce(readFile(disk.outputPath()), toBytes(samples)));

    // Nothing more: not from later updates, not from stopping a finished sound.
    for (int i = 0; i < 10; ++i) {
        updateMarked(engine, receiver);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stopMarked(played, receiver);
    EXPECT_EQ(receiver.records.size(), 1u);
    EXPECT_EQ(played->getReferenceCount(), 1);
    EXPECT_TRUE(played->drop());
}

TEST_F(FastPlayback, PlaysStereoInTheFilesOwnFormat) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(2 * 4410, 5);
    sound::ISoundSource* source = loadWav(samples, 22050, 2);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->getPlayLength(), 200u);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 5000));
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_FINISHED_PLAYING);
    EXPECT_TRUE(playedExactlyOnce(readFile(disk.outputPath()), toBytes(samples)));
    played->drop();
}

TEST_F(FastPlayback, WakeDescriptorTurnsReadableWhenASoundHasDrainedAndUpdateClearsIt) {
    const int wake = sound::getWakeDescriptor();
    ASSERT_GE(wake, 0);
    EXPECT_FALSE(isReadable(wake, 0));
    sound::ISoundSource* source = loadWav(makeNonZeroSamples(1600, 9));
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);

    ASSERT_TRUE(isReadable(wake, 5000));
    EXPECT_TRUE(played->isFinished());
    EXPECT_TRUE(receiver.records.empty());
    updateMarked(engine, receiver);
    EXPECT_EQ(receiver.records.size(), 1u);
    EXPECT_FALSE(isReadable(wake, 0));
    played->drop();
}

TEST_F(FastPlayback, ReferenceOfTheCallerIsTheLastOneAfterTheNotification) {
    sound::ISoundSource* source = loadWav(makeNonZeroSamples(1600, 13));
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->getReferenceCount(), 1);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    // The caller's and the engine's.
    EXPECT_EQ(played->getReferenceCount(), 2);
    // The sound keeps its source alive.
    EXPECT_EQ(source->getReferenceCount(), 2);

    StopReceiver receiver;
    int countInNotification = 0;
    // As the program does: give the reference back inside the notification.
    receiver.onStopped = [&](sound::ISound* sound) {
        countInNotification = sound->getReferenceCount();
        sound->drop();
    };
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 5000));
    EXPECT_GE(countInNotification, 2);
    // The sound is gone, and with it its reference on the source.
    EXPECT_EQ(source->getReferenceCount(), 1);
}

TEST_F(FastPlayback, UntrackedSoundPlaysToItsEndAndIsReleased) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(1600, 17);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(engine->play2D(source, false, false, false, false), nullptr);
    EXPECT_EQ(source->getReferenceCount(), 2);
    ASSERT_TRUE(isReadable(sound::getWakeDescriptor(), 5000));
    engine->update();
    EXPECT_EQ(source->getReferenceCount(), 1);
    EXPECT_TRUE(playedExactlyOnce(readFile(disk.outputPath()), toBytes(samples)));
}

TEST_F(FastPlayback, RemovingTheSourceLetsAPlayingSoundFinish) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(4000, 19);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    engine->removeSoundSource(source);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 5000));
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_FINISHED_PLAYING);
    EXPECT_TRUE(playedExactlyOnce(readFile(disk.outputPath()), toBytes(samples)));
    EXPECT_TRUE(played->drop());
}

TEST_F(FastPlayback, MissingFileGivesNoSource) {
    EXPECT_EQ(engine->addSoundSourceFromFile(disk.path("missing.wav").c_str()), nullptr);
    writeFile(disk.path("garbage.wav"), Bytes(100, 0x55));
    EXPECT_EQ(engine->addSoundSourceFromFile(disk.path("garbage.wav").c_str()), nullptr);
    EXPECT_EQ(engine->play2D(nullptr, false, false, true, false), nullptr);
}

TEST_F(FastPlayback, EachPlayOfOneSourceIsANewSound) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(1600, 23);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    for (int round = 0; round < 3; ++round) {
        sound::ISound* played = engine->play2D(source, false, false, true, false);
        ASSERT_NE(played, nullptr);
        StopReceiver receiver;
        played->setSoundStopEventReceiver(&receiver);
        ASSERT_TRUE(updateUntilStopped(engine, receiver, 5000)) << "round " << round;
        EXPECT_EQ(receiver.records.size(), 1u);
        EXPECT_TRUE(playedExactlyOnce(readFile(disk.outputPath()), toBytes(samples)));
        EXPECT_TRUE(played->drop());
    }
}

TEST_F(RealTimePlayback, HeaderOnlyWavEndsAtOnce) {
    sound::ISoundSource* source = loadWav({});
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->getPlayLength(), 0u);
    const auto started = std::chrono::steady_clock::now();
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_FINISHED_PLAYING);
    EXPECT_TRUE(receiver.records[0].insideUpdate);
    EXPECT_TRUE(played->drop());
}

TEST_F(RealTimePlayback, EndIsReportedOnlyAfterTheWholeSoundHasPlayed) {
    sound::ISoundSource* source = loadWav(makeNonZeroSamples(4800, 29));
    ASSERT_NE(source, nullptr);
    const auto started = std::chrono::steady_clock::now();
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    EXPECT_FALSE(played->isFinished());
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 3000));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    // 300 ms of sound, and then one more device buffer (32 ms at 16000 Hz).
    EXPECT_GE(elapsed, std::chrono::milliseconds(300 + 32));
    EXPECT_LT(elapsed, std::chrono::milliseconds(300 + 400));
    played->drop();
}

// Reads what the disk driver writes into a FIFO as it is written, and notes when the last
// byte of a known sound has come through.
class FifoListener {
public:
    FifoListener(std::string path, std::size_t soundBytes)
        : path(std::move(path)), soundBytes(soundBytes) {
        if (mkfifo(this->path.c_str(), 0600) != 0) {
            ADD_FAILURE() << "mkfifo failed";
        }
        reader = std::thread([this] { listen(); });
    }
    ~FifoListener() {
        if (!finished) {
            // Nobody opened the FIFO for writing: do it, so that the reader's open returns.
            const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                close(fd);
            }
        }
        reader.join();
    }

    std::atomic<bool> soundComplete{false};
    std::chrono::steady_clock::time_point soundCompleteAt;

private:
    void listen() {
        const int fd = open(path.c_str(), O_RDONLY);
        std::size_t seen = 0;
        bool started = false;
        std::uint8_t buffer[65536];
        ssize_t got = 0;
        while (fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i + 1 < got; i += 2) {
                started = started || buffer[i] != 0 || buffer[i + 1] != 0;
                seen += started ? 2 : 0;
            }
            if (started && seen >= soundBytes && !soundComplete) {
                soundCompleteAt = std::chrono::steady_clock::now();
                soundComplete = true;
            }
        }
        if (fd >= 0) {
            close(fd);
        }
        finished = true;
    }

    std::string path;
    std::size_t soundBytes;
    std::atomic<bool> finished{false};
    std::thread reader;
};

TEST_F(RealTimePlayback, EndIsReportedOneBufferAfterTheLastDataWentOut) {
    // A device asks for the next buffer about one buffer before it has played the previous
    // one, so the end must be reported one buffer after the data ran out, not at once. The
    // disk driver has no such latency, which makes the extra buffer visible here: at 16000 Hz
    // the engine uses 512-frame (32 ms) buffers. Eight channels make each buffer 8 kB, which
    // the driver's stdio stream passes through unbuffered.
    const std::vector<std::int16_t> samples = makeNonZeroSamples(8 * 512 * 5, 47);
    sound::ISoundSource* source = loadWav(samples, 16000, 8);
    ASSERT_NE(source, nullptr);
    const std::string fifo = disk.path("output.fifo");
    FifoListener listener(fifo, samples.size() * 2);
    setenv("SDL_DISKAUDIOFILE", fifo.c_str(), 1);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    std::chrono::steady_clock::time_point notifiedAt;
    receiver.onStopped = [&](sound::ISound*) { notifiedAt = std::chrono::steady_clock::now(); };
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 3000));
    ASSERT_TRUE(listener.soundComplete.load());
    // The second silent buffer is asked for two buffers (64 ms) after the last data; the
    // first one would be 32 ms.
    const auto gapMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(notifiedAt - listener.soundCompleteAt)
            .count();
    EXPECT_GE(gapMs, 48);
    EXPECT_LT(gapMs, 250);
    played->drop();
}

TEST_F(RealTimePlayback, StopReportsOnceFromInsideStop) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(32000, 31);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    for (int i = 0; i < 10; ++i) {
        updateMarked(engine, receiver);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(receiver.records.empty());
    EXPECT_FALSE(played->isFinished());

    stopMarked(played, receiver);
    ASSERT_EQ(receiver.records.size(), 1u);
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_STOPPED_BY_USER);
    EXPECT_TRUE(receiver.records[0].insideStop);
    EXPECT_FALSE(receiver.records[0].insideUpdate);
    EXPECT_TRUE(played->isFinished());
    EXPECT_EQ(played->getReferenceCount(), 1);

    stopMarked(played, receiver);
    for (int i = 0; i < 15; ++i) {
        updateMarked(engine, receiver);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(receiver.records.size(), 1u);
    EXPECT_TRUE(playedProperPrefix(readFile(disk.outputPath()), toBytes(samples)));
    EXPECT_TRUE(played->drop());
}

TEST_F(RealTimePlayback, DroppingTheEngineEndsPlayingSoundsSilently) {
    sound::ISoundSource* source = loadWav(makeNonZeroSamples(32000, 37));
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(engine->drop());
    engine = nullptr;
    EXPECT_TRUE(receiver.records.empty());
    EXPECT_TRUE(played->isFinished());
    played->stop();
    EXPECT_TRUE(receiver.records.empty());
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
    EXPECT_TRUE(played->drop());
}

TEST_F(RealTimePlayback, LoopedSoundRepeatsUntilStopped) {
    const std::vector<std::int16_t> samples = makeNonZeroSamples(800, 41);
    sound::ISoundSource* source = loadWav(samples);
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, true, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    // Five times the sound's length.
    for (int i = 0; i < 25; ++i) {
        updateMarked(engine, receiver);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(receiver.records.empty());
    stopMarked(played, receiver);
    ASSERT_EQ(receiver.records.size(), 1u);
    const Bytes output = readFile(disk.outputPath());
    const Bytes once = toBytes(samples);
    Bytes twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_NE(std::search(output.begin(), output.end(), twice.begin(), twice.end()), output.end());
    played->drop();
}

// A device that dies while playing (here: the output file cannot take any more data) must
// end the sound promptly instead of waiting out its length.
class DeadDevicePlayback : public ::testing::Test {};

TEST_F(DeadDevicePlayback, EndsPromptlyWithTheFinishedReason) {
    DiskAudio disk(true);
    setenv("SDL_DISKAUDIOFILE", "/dev/full", 1);
    sound::ISoundEngine* engine = sound::createSoundEngine();
    ASSERT_NE(engine, nullptr);
    writeWav(disk.path("long.wav"), makeNonZeroSamples(5 * 16000, 43), 16000, 1);
    sound::ISoundSource* source = engine->addSoundSourceFromFile(disk.path("long.wav").c_str());
    ASSERT_NE(source, nullptr);
    const auto started = std::chrono::steady_clock::now();
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    StopReceiver receiver;
    played->setSoundStopEventReceiver(&receiver);
    ASSERT_TRUE(updateUntilStopped(engine, receiver, 4000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
    EXPECT_EQ(receiver.records[0].reason, sound::ESEC_SOUND_FINISHED_PLAYING);
    EXPECT_TRUE(receiver.records[0].insideUpdate);
    played->drop();
    engine->drop();
}
