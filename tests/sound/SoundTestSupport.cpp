#include "SoundTestSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <thread>

namespace soundtest {

DiskAudio::DiskAudio(bool realTime) {
    char pattern[] = "/tmp/sound-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    dir = made;
    writeFile(inputPath(), Bytes{});
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", outputPath().c_str(), 1);
    setenv("SDL_DISKAUDIOFILEIN", inputPath().c_str(), 1);
    if (realTime) {
        unsetenv("SDL_DISKAUDIODELAY");
    } else {
        setenv("SDL_DISKAUDIODELAY", "0", 1);
    }
}

DiskAudio::~DiskAudio() {
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    unsetenv("SDL_DISKAUDIOFILEIN");
    unsetenv("SDL_DISKAUDIODELAY");
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

std::vector<std::int16_t> makeNonZeroSamples(std::size_t count, std::uint32_t seed) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t state = seed;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(state >> 16);
        if (sample == 0) {
            sample = 1;
        }
    }
    return samples;
}

Bytes toBytes(const std::vector<std::int16_t>& samples) {
    Bytes bytes;
    bytes.reserve(samples.size() * 2);
    for (std::int16_t sample : samples) {
        const auto value = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        ADD_FAILURE() << "could not write " << path;
    }
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

void put32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putTag(Bytes& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

// Index of the first sample of `output` that is not zero; output.size() when all are.
std::size_t firstNonZeroSample(const Bytes& output) {
    std::size_t at = 0;
    while (at + 1 < output.size() && output[at] == 0 && output[at + 1] == 0) {
        at += 2;
    }
    return at + 1 < output.size() ? at : output.size();
}

bool allZeroFrom(const Bytes& output, std::size_t from) {
    for (std::size_t i = from; i < output.size(); ++i) {
        if (output[i] != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

void writeWav(const std::string& path, const std::vector<std::int16_t>& samples, int sampleRate,
              int channels) {
    const Bytes data = toBytes(samples);
    Bytes file;
    putTag(file, "RIFF");
    put32(file, static_cast<std::uint32_t>(36 + data.size()));
    putTag(file, "WAVE");
    putTag(file, "fmt ");
    put32(file, 16);
    put16(file, 1);
    put16(file, static_cast<std::uint16_t>(channels));
    put32(file, static_cast<std::uint32_t>(sampleRate));
    put32(file, static_cast<std::uint32_t>(sampleRate * channels * 2));
    put16(file, static_cast<std::uint16_t>(channels * 2));
    put16(file, 16);
    putTag(file, "data");
    put32(file, static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    writeFile(path, file);
}

::testing::AssertionResult playedExactlyOnce(const Bytes& output, const Bytes& data) {
    const std::size_t start = firstNonZeroSample(output);
    if (output.size() - start < data.size()) {
        return ::testing::AssertionFailure()
               << "output has " << output.size() - start << " bytes after the leading silence, "
               << data.size() << " expected";
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (output[start + i] != data[i]) {
            return ::testing::AssertionFailure() << "output differs at data byte " << i;
        }
    }
    if (!allZeroFrom(output, start + data.size())) {
        return ::testing::AssertionFailure() << "something other than silence after the data";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult playedProperPrefix(const Bytes& output, const Bytes& data) {
    const std::size_t start = firstNonZeroSample(output);
    std::size_t played = 0;
    while (start + played + 1 < output.size() &&
           (output[start + played] != 0 || output[start + played + 1] != 0)) {
        played += 2;
    }
    if (played == 0) {
        return ::testing::AssertionFailure() << "nothing was played";
    }
    if (played >= data.size()) {
        return ::testing::AssertionFailure() << "the whole sound was played";
    }
    for (std::size_t i = 0; i < played; ++i) {
        if (output[start + i] != data[i]) {
            return ::testing::AssertionFailure() << "output differs at data byte " << i;
        }
    }
    if (!allZeroFrom(output, start + played)) {
        return ::testing::AssertionFailure() << "data resumed after silence";
    }
    return ::testing::AssertionSuccess() << played << " bytes played";
}

bool waitUntil(const std::function<bool()>& fn, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!fn()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void StopReceiver::OnSoundStopped(sound::ISound* sound, sound::E_STOP_EVENT_CAUSE reason,
                                  void* userData) {
    records.push_back(StopRecord{sound, reason, userData, insideUpdate, insideStop});
    if (onStopped) {
        onStopped(sound);
    }
}

void updateMarked(sound::ISoundEngine* engine, StopReceiver& receiver) {
    receiver.insideUpdate = true;
    engine->update();
    receiver.insideUpdate = false;
}

void stopMarked(sound::ISound* sound, StopReceiver& receiver) {
    receiver.insideStop = true;
    sound->stop();
    receiver.insideStop = false;
}

bool updateUntilStopped(sound::ISoundEngine* engine, StopReceiver& receiver, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (receiver.records.empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        // As the program's frame loop does: sleep until woken or a frame has passed.
        pollfd wake{sound::getWakeDescriptor(), POLLIN, 0};
        poll(&wake, 1, 20);
        updateMarked(engine, receiver);
    }
    return true;
}

void ChunkCollector::OnReceiveAudioDataStreamChunk(unsigned char* audioData,
                                                   unsigned long lengthInBytes) {
    ++running;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (received.size() < keepChunks) {
            received.emplace_back(audioData, audioData + lengthInBytes);
        }
    }
    if (lingerMicroseconds > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(lingerMicroseconds));
    }
    byteCount += static_cast<long>(lengthInBytes);
    ++chunkCount;
    --running;
}

std::vector<Bytes> ChunkCollector::chunks() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

Bytes ChunkCollector::concatenated() const {
    Bytes all;
    for (const Bytes& chunk : chunks()) {
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

} // namespace soundtest
