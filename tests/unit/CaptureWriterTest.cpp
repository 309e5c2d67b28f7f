#include "CapturedAudioDataReceiver.h"
#include "StateSession.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

sound::SAudioStreamFormat mono16k() {
    sound::SAudioStreamFormat format;
    format.ChannelCount = 1;
    format.SampleRate = 16000;
    format.SampleFormat = sound::ESF_S16;
    return format;
}

std::vector<unsigned char> samplesToBytes(const std::vector<std::int16_t>& samples) {
    std::vector<unsigned char> bytes;
    for (std::int16_t sample : samples) {
        bytes.push_back(static_cast<unsigned char>(sample & 0xFF));
        bytes.push_back(static_cast<unsigned char>((sample >> 8) & 0xFF));
    }
    return bytes;
}

class CaptureWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(s.state, nullptr) << "no X display or sound driver";
        writer = new CapturedAudioDataReceiver(s.state, s.engine);
    }
    void TearDown() override { delete writer; }
    void chunk(std::vector<unsigned char> bytes) {
        writer->OnReceiveAudioDataStreamChunk(bytes.data(), bytes.size());
    }
    bool exists(const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0;
    }

    StateSession s;
    CapturedAudioDataReceiver* writer = nullptr;
};

} // namespace

TEST_F(CaptureWriterTest, EmptyRecordingIsAHeaderOnly) {
    const std::string path = s.data / "empty.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    writer->finishFile();
    const std::vector<unsigned char> file = readBytes(path);
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(littleEndian32(file, 4), 36u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(littleEndian32(file, 16), 16u);
    EXPECT_EQ(littleEndian16(file, 20), 1u);
    EXPECT_EQ(littleEndian16(file, 22), 1u);
    EXPECT_EQ(littleEndian32(file, 24), 16000u);
    EXPECT_EQ(littleEndian32(file, 28), 32000u);
    EXPECT_EQ(littleEndian16(file, 32), 2u);
    EXPECT_EQ(littleEndian16(file, 34), 16u);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(littleEndian32(file, 40), 0u);
}

TEST_F(CaptureWriterTest, OneChunkFillsInBothLengths) {
    const std::string path = s.data / "chunk.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    chunk(std::vector<unsigned char>(3200, 1));
    testing::internal::CaptureStdout();
    writer->finishFile();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sizeBytes: 3200 (1600,2)\n");
    const std::vector<unsigned char> file = readBytes(path);
    EXPECT_EQ(file.size(), 3244u);
    EXPECT_EQ(littleEndian32(file, 40), 3200u);
    EXPECT_EQ(littleEndian32(file, 4), 3236u);
    // An independent reader agrees: 1600 samples at 16 kHz, one channel, 16 bits.
    const std::string info = commandOutput("soxi '" + path + "' 2>&1");
    EXPECT_NE(info.find("Channels       : 1"), std::string::npos) << info;
    EXPECT_NE(info.find("Sample Rate    : 16000"), std::string::npos) << info;
    EXPECT_NE(info.find("1600 samples"), std::string::npos) << info;
    EXPECT_NE(info.find("16-bit Signed Integer PCM"), std::string::npos) << info;
}

TEST_F(CaptureWriterTest, GainOfTenWrapsAround) {
    const std::string path = s.data / "gain.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    chunk(samplesToBytes({1000, -1000, 3276, 4000, -3277, 0, -1}));
    writer->finishFile();
    const std::vector<unsigned char> file = readBytes(path);
    const std::vector<unsigned char> data(file.begin() + 44, file.end());
    EXPECT_EQ(data, samplesToBytes({10000, -10000, 32760, -25536, 32766, 0, -10}));
}

TEST_F(CaptureWriterTest, TrailingHalfSampleIsKeptButNotCounted) {
    const std::string path = s.data / "odd.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    std::vector<unsigned char> bytes = samplesToBytes({100, 200});
    bytes.push_back(7);
    chunk(bytes);
    writer->finishFile();
    const std::vector<unsigned char> file = readBytes(path);
    ASSERT_EQ(file.size(), 49u);
    EXPECT_EQ(littleEndian32(file, 40), 4u);
    EXPECT_EQ(littleEndian32(file, 4), 40u);
    EXPECT_EQ(file[48], 7) << "a lone byte is not amplified";
    EXPECT_EQ(littleEndian16(file, 44), 1000u);
}

TEST_F(CaptureWriterTest, FinishingTwiceClosesOnce) {
    const std::string path = s.data / "twice.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    writer->finishFile();
    testing::internal::CaptureStdout();
    writer->finishFile();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "No file pointer so recording length could not be written.\n");
    EXPECT_EQ(readBytes(path).size(), 44u);
}

TEST_F(CaptureWriterTest, DestroyingAnOpenWriterDeletesItsFile) {
    const std::string path = s.data / "open.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    chunk(std::vector<unsigned char>(640, 0));
    ASSERT_TRUE(exists(path));
    delete writer;
    writer = nullptr;
    EXPECT_FALSE(exists(path));
}

TEST_F(CaptureWriterTest, NewRecordingDeletesThePreviousOneEvenWhenItFails) {
    const std::string first = s.data / "first.wav";
    ASSERT_TRUE(writer->openFile(first, mono16k()));
    writer->finishFile();
    ASSERT_NE(writer->createSoundSource(), nullptr);
    const std::string impossible = s.data / "no/such/folder/second.wav";
    EXPECT_FALSE(writer->openFile(impossible, mono16k()));
    EXPECT_FALSE(exists(first));
    EXPECT_EQ(writer->getSoundSource(), nullptr);
    EXPECT_EQ(writer->getFileName(), impossible);
}

TEST_F(CaptureWriterTest, FileIsPrivateToItsOwner) {
    const std::string path = s.data / "private.wav";
    const mode_t old = umask(0);
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    umask(old);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(CaptureWriterTest, LengthsStayTrueWhileRecording) {
    const std::string path = s.data / "growing.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    for (int i = 0; i < 20; ++i) // 1.28 s of 64 ms chunks
        chunk(std::vector<unsigned char>(2048, 0));
    // Read while the file is still open, as after a crash.
    const std::vector<unsigned char> file = readBytes(path);
    const std::uint32_t dataLen = littleEndian32(file, 40);
    EXPECT_GE(dataLen, 32000u);
    EXPECT_EQ(dataLen % 2048, 0u);
    EXPECT_EQ(littleEndian32(file, 4), dataLen + 36);
    EXPECT_GE(file.size(), 44u + dataLen) << "the header never claims unwritten data";
    writer->finishFile();
    EXPECT_EQ(littleEndian32(readBytes(path), 40), 20u * 2048u);
}

TEST_F(CaptureWriterTest, ShortWriteIsReportedOnceFromTheCaptureThread) {
    const std::string path = s.data / "full.wav";
    ASSERT_TRUE(writer->openFile(path, mono16k()));
    // A file size limit stands in for a full disk.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit limit = oldLimit;
    limit.rlim_cur = 16384;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::thread capture([this] {
        for (int i = 0; i < 40; ++i)
            chunk(std::vector<unsigned char>(2048, 0));
    });
    capture.join();
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_TRUE(s.boxes.texts.empty()) << "no box on the capture thread";
    s.state->update();
    s.state->update();
    ASSERT_EQ(s.boxes.texts.size(), 1u);
    EXPECT_EQ(s.boxes.texts[0], "There was a problem while saving the recording.");
    EXPECT_TRUE(s.state->isClosing());
}
