// Capture through the recorder, fed from a raw file by SDL's disk driver.

#include "SoundTestSupport.h"

#include <algorithm>
#include <chrono>
#include <thread>

using namespace soundtest;

namespace {

constexpr unsigned long chunkBytes = 1024 * 2;

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder = sound::createAudioRecorder(nullptr);
        ASSERT_NE(recorder, nullptr);
    }
    void TearDown() override {
        if (recorder != nullptr) {
            recorder->drop();
        }
    }

    DiskAudio disk{false};
    sound::IAudioRecorder* recorder = nullptr;
};

} // namespace

TEST_F(RecorderTest, ChunksCarryTheInputExactly) {
    // Ten and a half chunks: the last one is partly data and partly silence.
    const Bytes input = toBytes(makeNonZeroSamples(10 * 1024 + 512, 7));
    writeFile(disk.inputPath(), input);
    ChunkCollector collector;
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
    EXPECT_TRUE(waitUntil(
        [&] { return collector.byteCount.load() >= static_cast<long>(input.size() + chunkBytes); },
        5000));
    recorder->stopRecordingAudio();

    const std::vector<Bytes> chunks = collector.chunks();
    ASSERT_GE(chunks.size(), 12u);
    for (const Bytes& chunk : chunks) {
        EXPECT_EQ(chunk.size(), chunkBytes);
    }
    const Bytes all = collector.concatenated();
    ASSERT_GE(all.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), all.begin()));
    for (std::size_t i = input.size(); i < all.size(); ++i) {
        ASSERT_EQ(all[i], 0) << "at byte " << i;
    }
}

TEST_F(RecorderTest, UnsignedEightBitChunksHaveOneBytePerSample) {
    Bytes input(3000);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<std::uint8_t>(1 + i % 250);
    }
    writeFile(disk.inputPath(), input);
    ChunkCollector collector;
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_U8, 1));
    EXPECT_TRUE(waitUntil([&] { return collector.chunkCount.load() >= 4; }, 5000));
    recorder->stopRecordingAudio();

    const std::vector<Bytes> chunks = collector.chunks();
    ASSERT_GE(chunks.size(), 4u);
    EXPECT_EQ(chunks[0].size(), 1024u);
    const Bytes all = collector.concatenated();
    EXPECT_TRUE(std::equal(input.begin(), input.end(), all.begin()));
    // Silence of unsigned 8-bit audio is the middle value.
    EXPECT_EQ(all[input.size()], 0x80);
}

TEST_F(RecorderTest, NoChunkAfterStopReturns) {
    ChunkCollector collector;
    collector.keepChunks = 0;
    collector.lingerMicroseconds = 200;
    for (int cycle = 0; cycle < 20; ++cycle) {
        const int before = collector.chunkCount.load();
        ASSERT_TRUE(
            recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
        ASSERT_TRUE(waitUntil([&] { return collector.chunkCount.load() > before; }, 2000))
            << "cycle " << cycle;
        recorder->stopRecordingAudio();
        EXPECT_EQ(collector.running.load(), 0) << "a chunk was being delivered, cycle " << cycle;
        const int atStop = collector.chunkCount.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(collector.chunkCount.load(), atStop) << "late chunk, cycle " << cycle;
    }
}

TEST_F(RecorderTest, StartingAgainStopsThePreviousCapture) {
    ChunkCollector first;
    first.keepChunks = 0;
    ChunkCollector second;
    second.keepChunks = 0;
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&first, 16000, sound::ESF_S16, 1));
    ASSERT_TRUE(waitUntil([&] { return first.chunkCount.load() > 0; }, 2000));
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&second, 16000, sound::ESF_S16, 1));
    const int firstAtRestart = first.chunkCount.load();
    EXPECT_EQ(first.running.load(), 0);
    EXPECT_TRUE(waitUntil([&] { return second.chunkCount.load() > 10; }, 2000));
    EXPECT_EQ(first.chunkCount.load(), firstAtRestart);
    recorder->stopRecordingAudio();
}

TEST_F(RecorderTest, DroppingTheRecorderStopsTheCapture) {
    ChunkCollector collector;
    collector.keepChunks = 0;
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
    ASSERT_TRUE(waitUntil([&] { return collector.chunkCount.load() > 0; }, 2000));
    EXPECT_TRUE(recorder->drop());
    recorder = nullptr;
    const int atDrop = collector.chunkCount.load();
    EXPECT_EQ(collector.running.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(collector.chunkCount.load(), atDrop);
}

TEST_F(RecorderTest, StopWithoutARunningCaptureIsHarmless) {
    recorder->stopRecordingAudio();
    ChunkCollector collector;
    collector.keepChunks = 0;
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
    recorder->stopRecordingAudio();
    recorder->stopRecordingAudio();
    EXPECT_EQ(collector.running.load(), 0);
}

TEST_F(RecorderTest, StartFailsWhenTheDeviceIsGone) {
    // The recorder was made while input.raw existed; now the device cannot open any more.
    std::remove(disk.inputPath().c_str());
    ChunkCollector collector;
    EXPECT_FALSE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(collector.chunkCount.load(), 0);
    recorder->stopRecordingAudio();
}

TEST_F(RecorderTest, RealTimeCaptureIsPacedAndExact) {
    // With the driver's pacing on, chunks arrive at the audio clock's rate (1024 samples at
    // 16000 Hz: 64 ms each).
    const Bytes input = toBytes(makeNonZeroSamples(4 * 1024, 11));
    writeFile(disk.inputPath(), input);
    unsetenv("SDL_DISKAUDIODELAY");
    ChunkCollector collector;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder->startRecordingCustomHandledAudio(&collector, 16000, sound::ESF_S16, 1));
    EXPECT_TRUE(waitUntil([&] { return collector.chunkCount.load() >= 4; }, 3000));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    recorder->stopRecordingAudio();
    EXPECT_GE(elapsed, std::chrono::milliseconds(4 * 64 - 20));
    const Bytes all = collector.concatenated();
    ASSERT_GE(all.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), all.begin()));
}
