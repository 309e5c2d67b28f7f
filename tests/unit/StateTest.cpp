#include "Image.h"
#include "ImageManager.h"
#include "StateSession.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace irr;

namespace {

class StateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(s.state, nullptr) << "no X display or sound driver"; }

    std::wstring help() const { return s.state->getHelpText(); }
    void setTime(u32 milliseconds) { s.session.device->getTimer()->setTime(milliseconds); }
    Image* imageAt(s32 x, s32 y) {
        return s.state->getImageManager()->getImageAt(core::position2d<s32>(x, y));
    }
    bool fileExists(const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0;
    }

    StateSession s;
};

void expectColor(video::SColor actual, u32 red, u32 green, u32 blue) {
    EXPECT_EQ(actual.getAlpha(), 255u);
    EXPECT_EQ(actual.getRed(), red);
    EXPECT_EQ(actual.getGreen(), green);
    EXPECT_EQ(actual.getBlue(), blue);
}

} // namespace

TEST_F(StateTest, ErrorTextCarriesTheCodeAndEndsTheProgram) {
    std::string message = "Could not locate Application Data directory.";
    testing::internal::CaptureStdout();
    s.state->showError(message, true, -5);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(message, "Could not locate Application Data directory.\nError code -5.");
    ASSERT_EQ(s.boxes.texts.size(), 1u);
    EXPECT_EQ(s.boxes.texts[0], message);
    EXPECT_EQ(s.boxes.captions[0], "Murmelo Error");
    EXPECT_EQ(log, "Error: Could not locate Application Data directory.\nError code -5.\n"
                   "Closing Device...\n");
    EXPECT_TRUE(s.state->isClosing());
    EXPECT_FALSE(s.session.device->run());
}

TEST_F(StateTest, ErrorWithoutCodeKeepsTheText) {
    std::string message = "Failed to compress the message.";
    s.state->showError(message);
    EXPECT_EQ(message, "Failed to compress the message.");
    ASSERT_EQ(s.boxes.texts.size(), 1u);
    EXPECT_EQ(s.boxes.texts[0], "Failed to compress the message.");
}

TEST_F(StateTest, ClosePathRunsOnceButEveryErrorIsShown) {
    testing::internal::CaptureStdout();
    s.state->closeApplication();
    s.state->closeApplication();
    std::string second = "The sound recorder could not be created.";
    s.state->showError(second);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "Closing Device...\nError: The sound recorder could not be created.\n");
    EXPECT_EQ(s.boxes.texts.size(), 1u);
}

TEST_F(StateTest, UserEvent99RedrawsAndOthersDoNot) {
    SEvent event{};
    event.EventType = EET_USER_EVENT;
    event.UserEvent.UserData1 = 99;
    const unsigned frames = s.state->getFrameCount();
    EXPECT_FALSE(s.state->OnEvent(event));
    EXPECT_EQ(s.state->getFrameCount(), frames + 1);
    event.UserEvent.UserData1 = 98;
    EXPECT_FALSE(s.state->OnEvent(event));
    EXPECT_EQ(s.state->getFrameCount(), frames + 1);
}

TEST_F(StateTest, OtherButtonsAndTheWheelChangeNothing) {
    const unsigned frames = s.state->getFrameCount();
    for (EMOUSE_INPUT_EVENT kind : {EMIE_RMOUSE_PRESSED_DOWN, EMIE_MMOUSE_PRESSED_DOWN,
                                    EMIE_RMOUSE_LEFT_UP, EMIE_MOUSE_WHEEL}) {
        bool handled = true;
        s.mouseEvent(kind, 184, 135, &handled); // over the record button
        EXPECT_FALSE(handled);
    }
    EXPECT_EQ(s.state->getFrameCount(), frames);
    EXPECT_EQ(s.state->getMode(), State::MODE_READY);
    EXPECT_NE(imageAt(184, 135), nullptr) << "the record button is still there";
}

TEST_F(StateTest, StartScreenStandsWhereItShould) {
    EXPECT_EQ(imageAt(15, 12)->getRect(), core::rect<s32>(15, 12, 253, 45));
    EXPECT_EQ(imageAt(280, 20)->getRect(), core::rect<s32>(276, 12, 312, 48));
    EXPECT_EQ(imageAt(330, 20)->getRect(), core::rect<s32>(317, 12, 353, 48));
    EXPECT_EQ(imageAt(184, 135)->getRect(), core::rect<s32>(150, 101, 218, 169));
    EXPECT_EQ(s.state->getImageManager()->count(), 4u);
    expectColor(s.state->getBackgroundColor(), 202, 255, 112);
}

TEST_F(StateTest, HelpLineFollowsTheMouseOnTheStartScreen) {
    s.moveMouse(100, 20);
    EXPECT_EQ(help(), L"Welcome to Murmelo.");
    s.moveMouse(290, 30);
    EXPECT_EQ(help(), L"Minimize.");
    s.moveMouse(335, 30);
    EXPECT_EQ(help(), L"Close.");
    s.moveMouse(184, 135);
    EXPECT_EQ(help(), L"Click the button to start recording!");
    s.moveMouse(5, 200);
    EXPECT_EQ(help(), L"Click the button to start recording!");
}

TEST_F(StateTest, EveryMouseMoveRedraws) {
    const unsigned frames = s.state->getFrameCount();
    s.moveMouse(5, 200);
    s.moveMouse(5, 200);
    EXPECT_EQ(s.state->getFrameCount(), frames + 2);
}

TEST_F(StateTest, PlaybackThatEndsReturnsToTheRecordedScreen) {
    s.leftClick(184, 135);
    s.leftClick(184, 135);
    testing::internal::CaptureStdout();
    s.leftClick(170, 130);
    ASSERT_EQ(s.state->getMode(), State::MODE_PLAYING);
    const bool back = s.runUntilMode(State::MODE_RECORDED);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(back);
    EXPECT_NE(log.find("SoundStopReason: 0\n"), std::string::npos) << log;
    EXPECT_EQ(s.state->getImageManager()->count(), 6u);
}

TEST_F(StateTest, BackgroundPulsesWhileRecording) {
    setTime(10000);
    s.leftClick(184, 135);
    setTime(10400);
    s.state->update();
    expectColor(s.state->getBackgroundColor(), 228, 127, 56);
    const unsigned frames = s.state->getFrameCount();
    setTime(10420);
    s.state->update();
    EXPECT_EQ(s.state->getFrameCount(), frames) << "at most one pulse redraw per 34 ms";
    setTime(10434);
    s.state->update();
    EXPECT_EQ(s.state->getFrameCount(), frames + 1);
    setTime(10800);
    s.state->update();
    expectColor(s.state->getBackgroundColor(), 255, 0, 0);
    setTime(11200);
    s.state->update();
    expectColor(s.state->getBackgroundColor(), 228, 127, 56);
    setTime(11600);
    s.state->update();
    expectColor(s.state->getBackgroundColor(), 202, 255, 112);
    setTime(12000);
    s.state->update();
    s.leftClick(184, 135);
    expectColor(s.state->getBackgroundColor(), 202, 255, 112);
}

TEST_F(StateTest, RecordingNamesBothFilesFromOneStamp) {
    testing::internal::CaptureStdout();
    s.leftClick(184, 135);
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string inFile = s.state->getInFile();
    const std::string outFile = s.state->getOutFile();
    const std::string folder = s.messageFolder();
    ASSERT_EQ(inFile.substr(0, folder.size()), folder);
    const std::string stamp = inFile.substr(folder.size() + 5, 22);
    EXPECT_EQ(inFile, folder + "Temp_" + stamp + ".wav");
    EXPECT_EQ(outFile, folder + "Message_" + stamp + ".mp2");
    EXPECT_NE(log.find("mkdir:errno: 0\nmkdir:errno: 0\ninFile: " + inFile +
                       "\noutFile: " + outFile + "\n"),
              std::string::npos)
        << log;
    struct stat info {};
    ASSERT_EQ(stat(inFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(StateTest, RecordAgainReplacesThePreviousRecording) {
    s.leftClick(184, 135);
    s.leftClick(184, 135);
    const std::string first = s.state->getInFile();
    ASSERT_TRUE(fileExists(first));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // a new stamp
    testing::internal::CaptureStdout();
    s.leftClick(60, 130);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s.state->getMode(), State::MODE_RECORDING);
    EXPECT_NE(s.state->getInFile(), first);
    EXPECT_FALSE(fileExists(first));
    EXPECT_TRUE(fileExists(s.state->getInFile()));
    EXPECT_NE(log.find("mkdir:errno: 17\nmkdir:errno: 17\n"), std::string::npos) << log;
}

TEST_F(StateTest, ShutDownDeletesTheLastRecording) {
    s.leftClick(184, 135);
    s.leftClick(184, 135);
    const std::string recording = s.state->getInFile();
    ASSERT_TRUE(fileExists(recording));
    s.shutDown();
    EXPECT_FALSE(fileExists(recording));
}

TEST_F(StateTest, NoMessageFolderMeansNoRecording) {
    writeText(s.data / "file", "x");
    const std::string blocked = s.data / "file/data";
    ScopedEnvironment dataHome("XDG_DATA_HOME", blocked.c_str());
    s.leftClick(184, 135);
    ASSERT_EQ(s.boxes.texts.size(), 1u);
    EXPECT_EQ(s.boxes.texts[0], "Could not locate Application Data directory.\nError code 20.");
    EXPECT_TRUE(s.state->getInFile().empty());
    EXPECT_TRUE(s.state->isClosing());
}

TEST_F(StateTest, AMessageFolderTakenByAFileStopsTheRecording) {
    ASSERT_EQ(mkdir((s.data / "Murmelo").c_str(), 0700), 0);
    writeText(s.data / "Murmelo/Messages", "not a folder");
    s.leftClick(184, 135);
    ASSERT_EQ(s.boxes.texts.size(), 1u);
    EXPECT_EQ(s.boxes.texts[0], "The recording could not be started, disk access failed.");
    EXPECT_EQ(s.state->getMode(), State::MODE_RECORDING) << "the click completes its screen";
}

TEST_F(StateTest, ClickingTheTitleOrNothingKeepsTheScreen) {
    const unsigned frames = s.state->getFrameCount();
    s.leftClick(100, 20);
    s.leftClick(5, 200);
    EXPECT_EQ(s.state->getMode(), State::MODE_READY);
    EXPECT_EQ(s.state->getImageManager()->count(), 4u);
    EXPECT_EQ(s.state->getFrameCount(), frames + 1) << "the title click redraws";
}

// At a real device's pace, so that the playback is still running when stop is clicked.
TEST(PacedStateTest, RecordStopPlayStopWalksThroughTheModes) {
    StateSession s(nullptr);
    ASSERT_NE(s.state, nullptr) << "no X display or sound driver";
    auto help = [&s] { return std::wstring(s.state->getHelpText()); };
    auto imageAt = [&s](s32 x, s32 y) {
        return s.state->getImageManager()->getImageAt(core::position2d<s32>(x, y));
    };
    s.leftClick(184, 135);
    EXPECT_EQ(s.state->getMode(), State::MODE_RECORDING);
    EXPECT_EQ(help(), L"Recording... Click to stop.") << "no mouse move needed";
    ASSERT_NE(imageAt(184, 135), nullptr);
    EXPECT_EQ(imageAt(184, 135)->getRect(), core::rect<s32>(153, 104, 215, 166));

    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    s.leftClick(184, 135);
    EXPECT_EQ(s.state->getMode(), State::MODE_RECORDED);
    EXPECT_EQ(help(), L"Move the mouse over a button for help.");
    EXPECT_EQ(imageAt(50, 110)->getRect(), core::rect<s32>(43, 101, 111, 169));
    EXPECT_EQ(imageAt(150, 110)->getRect(), core::rect<s32>(137, 103, 202, 168));
    EXPECT_EQ(imageAt(250, 110)->getRect(), core::rect<s32>(228, 102, 325, 169));
    s.moveMouse(60, 130);
    EXPECT_EQ(help(), L"Discard this message and record again.");
    s.moveMouse(170, 130);
    EXPECT_EQ(help(), L"Listen to your message before sending.");
    s.moveMouse(270, 130);
    EXPECT_EQ(help(), L"Send using your default email client (such as Thunderbird or Evolution).");

    testing::internal::CaptureStdout();
    s.leftClick(170, 130);
    EXPECT_EQ(s.state->getMode(), State::MODE_PLAYING);
    s.moveMouse(5, 200);
    EXPECT_EQ(help(), L"Click to stop playback.");
    s.leftClick(184, 135);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s.state->getMode(), State::MODE_RECORDED);
    EXPECT_NE(log.find("Started Playing\nSoundStopReason: 1\n"), std::string::npos) << log;
    EXPECT_TRUE(s.boxes.texts.empty());
}

// Closed in the middle of a playback, as a signal or the close button can do: shutting down
// must release the playing sound (the sanitizer build's leak check sees to that) and still
// remove the recording.
TEST(PacedStateTest, ShutDownDuringPlaybackReleasesEverything) {
    StateSession s(nullptr);
    ASSERT_NE(s.state, nullptr) << "no X display or sound driver";
    s.leftClick(184, 135);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    s.leftClick(184, 135);
    s.leftClick(170, 130);
    ASSERT_EQ(s.state->getMode(), State::MODE_PLAYING);
    const std::string recording = s.state->getInFile();
    s.shutDown();
    struct stat info {};
    EXPECT_NE(stat(recording.c_str(), &info), 0);
}
