#pragma once

#include "sound/SoundInterfaces.h"

#include <cstdint>
#include <cstdio>
#include <string>

class State;

// Writes the captured microphone stream, amplified, into a WAV file, and makes the playback
// source from the finished file. Owns the file on disk: the previous recording is deleted when
// a new one starts and when the writer goes.
class CapturedAudioDataReceiver : public sound::ICapturedAudioDataReceiver {
public:
    CapturedAudioDataReceiver(State* state, sound::ISoundEngine* engine);
    ~CapturedAudioDataReceiver() override;

    bool openFile(std::string path, sound::SAudioStreamFormat format);
    void OnReceiveAudioDataStreamChunk(unsigned char* audioData,
                                       unsigned long lengthInBytes) override;
    std::int32_t writeData(const void* data, std::int32_t length);
    void finishFile();
    sound::ISoundSource* createSoundSource();
    sound::ISoundSource* getSoundSource() const { return soundSource; }
    void deleteFile();

    const std::string& getFileName() const { return fileName; }

private:
    void writeHeader();
    void writeLengthsInPlace();

    State* state;
    sound::ISoundEngine* engine;
    std::string fileName;
    sound::ISoundSource* soundSource;
    sound::SAudioStreamFormat format;
    std::uint32_t sizeBytes;
    std::FILE* file;
    // Bytes written when the header lengths were last brought up to date while recording.
    std::uint32_t sizeBytesInHeader;
};
