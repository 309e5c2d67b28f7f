#include "CapturedAudioDataReceiver.h"

#include "State.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::uint32_t headerLength = 44;
const std::int16_t gain = 10;

void putLittleEndian(unsigned char* out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Created readable by the user alone, whatever the umask.
std::FILE* createPrivateFile(const std::string& path) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return nullptr;
    fchmod(descriptor, 0600);
    std::FILE* stream = fdopen(descriptor, "wb");
    if (stream == nullptr)
        close(descriptor);
    return stream;
}

} // namespace

CapturedAudioDataReceiver::CapturedAudioDataReceiver(State* state, sound::ISoundEngine* engine)
    : state(state), engine(engine), soundSource(nullptr), sizeBytes(0), file(nullptr),
      sizeBytesInHeader(0) {}

CapturedAudioDataReceiver::~CapturedAudioDataReceiver() {
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    deleteFile();
}

bool CapturedAudioDataReceiver::openFile(std::string path, sound::SAudioStreamFormat newFormat) {
    format = newFormat;
    sizeBytes = 0;
    sizeBytesInHeader = 0;
    if (soundSource != nullptr) {
        if (engine != nullptr)
            engine->removeSoundSource(soundSource);
        soundSource = nullptr;
    }
    if (file != nullptr) { // a recording that was never finished
        std::fclose(file);
        file = nullptr;
    }
    deleteFile();
    fileName = path;
    file = createPrivateFile(path);
    if (file == nullptr)
        return false;
    writeHeader();
    return true;
}

void CapturedAudioDataReceiver::writeHeader() {
    unsigned char number[4];
    const std::uint32_t frameSize = static_cast<std::uint32_t>(format.getFrameSize());
    writeData("RIFF", 4);
    putLittleEndian(number, 0, 4);
    writeData(number, 4);
    writeData("WAVE", 4);
    writeData("fmt ", 4);
    putLittleEndian(number, 16, 4);
    writeData(number, 4);
    putLittleEndian(number, 1, 2);
    writeData(number, 2);
    putLittleEndian(number, static_cast<std::uint32_t>(format.ChannelCount) & 0xFFFF, 2);
    writeData(number, 2);
    putLittleEndian(number, static_cast<std::uint32_t>(format.SampleRate), 4);
    writeData(number, 4);
    putLittleEndian(number, static_cast<std::uint32_t>(format.getBytesPerSecond()), 4);
    writeData(number, 4);
    putLittleEndian(number, frameSize, 2);
    writeData(number, 2);
    putLittleEndian(number, static_cast<std::uint32_t>(format.getSampleSize() * 8), 2);
    writeData(number, 2);
    writeData("data", 4);
    putLittleEndian(number, 0, 4);
    writeData(number, 4);
}

void CapturedAudioDataReceiver::OnReceiveAudioDataStreamChunk(unsigned char* audioData,
                                                              unsigned long lengthInBytes) {
    // Whole little-endian samples only: a trailing odd byte is written as it came.
    for (unsigned long i = 0; i + 1 < lengthInBytes; i += 2) {
        const std::uint16_t sample =
            static_cast<std::uint16_t>(audioData[i] | (audioData[i + 1] << 8));
        const std::uint16_t louder = static_cast<std::uint16_t>(sample * gain);
        audioData[i] = static_cast<unsigned char>(louder & 0xFF);
        audioData[i + 1] = static_cast<unsigned char>(louder >> 8);
    }
    sizeBytes +=
        static_cast<std::uint32_t>(writeData(audioData, static_cast<std::int32_t>(lengthInBytes)));
    // About once a second the header is made true, so that a recording cut off by a crash or a
    // power loss still plays up to its last second.
    if (sizeBytes - sizeBytesInHeader >= static_cast<std::uint32_t>(format.getBytesPerSecond()))
        writeLengthsInPlace();
}

void CapturedAudioDataReceiver::writeLengthsInPlace() {
    if (file == nullptr || std::fflush(file) != 0)
        return;
    const std::uint32_t frameSize = static_cast<std::uint32_t>(format.getFrameSize());
    const std::uint32_t dataLen = frameSize == 0 ? 0 : frameSize * (sizeBytes / frameSize);
    unsigned char number[4];
    const int descriptor = fileno(file);
    // Positioned writes leave the stream's append position where it is.
    putLittleEndian(number, dataLen + 36, 4);
    if (pwrite(descriptor, number, 4, 4) != 4)
        return;
    putLittleEndian(number, dataLen, 4);
    if (pwrite(descriptor, number, 4, 40) != 4)
        return;
    sizeBytesInHeader = sizeBytes;
}

std::int32_t CapturedAudioDataReceiver::writeData(const void* data, std::int32_t length) {
    const std::size_t written =
        file == nullptr ? 0 : std::fwrite(data, 1, static_cast<std::size_t>(length), file);
    if (written < static_cast<std::size_t>(length))
        state->reportError("There was a problem while saving the recording.");
    return static_cast<std::int32_t>(written);
}

void CapturedAudioDataReceiver::finishFile() {
    if (file == nullptr) {
        std::printf("No file pointer so recording length could not be written.\n");
        return;
    }
    const std::uint32_t frameSize = static_cast<std::uint32_t>(format.getFrameSize());
    format.FrameCount = frameSize == 0 ? 0 : static_cast<int>(sizeBytes / frameSize);
    const std::uint32_t dataLen = frameSize * static_cast<std::uint32_t>(format.FrameCount);
    const std::uint32_t totalLen = dataLen + 36;
    unsigned char number[4];
    if (std::fseek(file, 4, SEEK_SET) != 0) {
        state->reportError(
            "There was a problem while saving the recording. (failed to seek totalLen).");
    } else {
        putLittleEndian(number, totalLen, 4);
        writeData(number, 4);
    }
    if (std::fseek(file, 40, SEEK_SET) != 0) {
        state->reportError(
            "There was a problem while saving the recording. (failed to seek dataLen).");
    } else {
        putLittleEndian(number, dataLen, 4);
        writeData(number, 4);
    }
    std::printf("sizeBytes: %i (%i,%i)\n", static_cast<int>(sizeBytes), format.FrameCount,
                static_cast<int>(frameSize));
    if (std::fclose(file) != 0)
        state->reportError("There was a problem while saving the recording.");
    file = nullptr;
}

sound::ISoundSource* CapturedAudioDataReceiver::createSoundSource() {
    soundSource = engine != nullptr ? engine->addSoundSourceFromFile(fileName.c_str(),
                                                                     sound::ESM_AUTO_DETECT, false)
                                    : nullptr;
    return soundSource;
}

void CapturedAudioDataReceiver::deleteFile() {
    if (fileName.empty())
        return;
    std::remove(fileName.c_str());
    fileName.clear();
}
