// Creation of the engine and the recorder: they exist only when a device really opens.

#include "SoundTestSupport.h"

#include <cstdlib>

using namespace soundtest;

TEST(SoundCreation, EngineAndRecorderWithWorkingDevices) {
    DiskAudio disk(false);
    sound::ISoundEngine* engine = sound::createSoundEngine();
    ASSERT_NE(engine, nullptr);
    sound::IAudioRecorder* recorder = sound::createAudioRecorder(engine);
    ASSERT_NE(recorder, nullptr);
    EXPECT_EQ(recorder->getReferenceCount(), 1);
    EXPECT_EQ(engine->getReferenceCount(), 1);
    EXPECT_TRUE(recorder->drop());
    EXPECT_TRUE(engine->drop());
}

TEST(SoundCreation, NothingWithAnUnknownDriver) {
    DiskAudio disk(false);
    setenv("SDL_AUDIODRIVER", "nonexistent", 1);
    EXPECT_EQ(sound::createSoundEngine(), nullptr);
    EXPECT_EQ(sound::createAudioRecorder(nullptr), nullptr);
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
}

TEST(SoundCreation, NoEngineWhenTheOutputCannotBeOpened) {
    DiskAudio disk(false);
    // The driver starts fine; only opening the device fails.
    setenv("SDL_DISKAUDIOFILE", disk.path("missing-folder/output.raw").c_str(), 1);
    EXPECT_EQ(sound::createSoundEngine(), nullptr);
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
}

TEST(SoundCreation, NoRecorderWhenTheInputCannotBeOpened) {
    DiskAudio disk(false);
    setenv("SDL_DISKAUDIOFILEIN", disk.path("missing.raw").c_str(), 1);
    sound::ISoundEngine* engine = sound::createSoundEngine();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(sound::createAudioRecorder(engine), nullptr);
    EXPECT_EQ(sound::createAudioRecorder(nullptr), nullptr);
    // The engine still works after the failed recorder.
    sound::ISoundSource* source = nullptr;
    writeWav(disk.path("a.wav"), makeNonZeroSamples(800, 1), 16000, 1);
    source = engine->addSoundSourceFromFile(disk.path("a.wav").c_str());
    ASSERT_NE(source, nullptr);
    sound::ISound* played = engine->play2D(source, false, false, true, false);
    ASSERT_NE(played, nullptr);
    played->drop();
    engine->drop();
}

TEST(SoundCreation, RecorderWithoutEngine) {
    DiskAudio disk(false);
    sound::IAudioRecorder* recorder = sound::createAudioRecorder(nullptr);
    ASSERT_NE(recorder, nullptr);
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
    recorder->drop();
}

TEST(SoundCreation, WakeDescriptorLivesWithTheEngine) {
    DiskAudio disk(false);
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
    sound::ISoundEngine* engine = sound::createSoundEngine();
    ASSERT_NE(engine, nullptr);
    EXPECT_GE(sound::getWakeDescriptor(), 0);
    engine->drop();
    EXPECT_EQ(sound::getWakeDescriptor(), -1);
}

TEST(SoundCreation, EngineCanBeMadeAgainAfterTheLastOneIsGone) {
    for (int round = 0; round < 3; ++round) {
        DiskAudio disk(false);
        sound::ISoundEngine* engine = sound::createSoundEngine();
        ASSERT_NE(engine, nullptr) << "round " << round;
        sound::IAudioRecorder* recorder = sound::createAudioRecorder(engine);
        ASSERT_NE(recorder, nullptr) << "round " << round;
        engine->drop();
        recorder->drop();
    }
}
