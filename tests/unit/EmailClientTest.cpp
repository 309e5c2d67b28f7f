#include "EmailClient.h"
#include "State.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Paths a user's folder may really have.
const std::vector<std::string> awkwardPaths = {
    "/tmp/with space/Message_Mon.mp2", "/tmp/quote\"s and 'apostrophes'.mp2",
    "/tmp/$(touch /tmp/murmelo-pwned)`id`.mp2", "-leading-dash.mp2", "/tmp/Grüße/ñ.mp2"};

// A stand-in program that writes its arguments, NUL-separated, to the file named in
// ARGUMENTS_FILE and exits with EXIT_STATUS (or sleeps SLEEP seconds first).
std::string fakeProgram(const TempFolder& folder, const std::string& name) {
    const std::string path = folder / name;
    writeText(path,
              "#!/bin/sh\n"
              "[ -n \"${SLEEP:-}\" ] && /bin/sleep \"$SLEEP\"\n"
              "printf '%s\\0' \"$0\" \"$@\" > \"$ARGUMENTS_FILE\"\n"
              "exit \"${EXIT_STATUS:-0}\"\n",
              0755);
    return path;
}

std::vector<std::string> recordedArguments(const std::string& file) {
    const std::string text = readText(file);
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(text.substr(start, end - start));
    return arguments;
}

} // namespace

TEST(NoteText, IsTwoLinesEndingInLineFeeds) {
    EXPECT_EQ(makeNoteText(), "Attached is a voice message for you, created with Murmelo.\n"
                              "Try Murmelo here: https://murmelo.example.org/\n");
}

TEST(EmailClient, FindsXdgEmailOnThePath) {
    TempFolder bin;
    fakeProgram(bin, "xdg-email");
    {
        ScopedEnvironment path("PATH", bin.path().c_str());
        EXPECT_TRUE(EmailClient().isAvailable());
    }
    TempFolder empty;
    ScopedEnvironment path("PATH", empty.path().c_str());
    EXPECT_FALSE(EmailClient().isAvailable());
}

TEST(EmailClient, HandsEveryTextOverAsOneUnchangedArgument) {
    TempFolder bin;
    fakeProgram(bin, "xdg-email");
    ScopedEnvironment path("PATH", bin.path().c_str());
    ScopedEnvironment output("ARGUMENTS_FILE", (bin / "arguments").c_str());
    EmailClient client;
    for (const std::string& attachment : awkwardPaths) {
        ASSERT_EQ(client.sendMail("Voice Message", makeNoteText(), attachment), 0u);
        const std::vector<std::string> expected = {bin / "xdg-email", "--utf8",  "--subject",
                                                   "Voice Message",   "--body",  makeNoteText(),
                                                   "--attach",        attachment};
        EXPECT_EQ(recordedArguments(bin / "arguments"), expected);
    }
    EXPECT_NE(access("/tmp/murmelo-pwned", F_OK), 0) << "nothing went through a shell";
}

TEST(EmailClient, ExitStatusIsTheFailureCode) {
    TempFolder bin;
    fakeProgram(bin, "xdg-email");
    ScopedEnvironment path("PATH", bin.path().c_str());
    ScopedEnvironment output("ARGUMENTS_FILE", (bin / "arguments").c_str());
    EmailClient client;
    for (int status : {0, 1, 2, 3, 4, 5}) {
        ScopedEnvironment exitStatus("EXIT_STATUS", std::to_string(status).c_str());
        EXPECT_EQ(client.sendMail("s", "t\n", "/tmp/a.mp2"), static_cast<unsigned>(status));
    }
}

TEST(EmailClient, AHandlerStillRunningHasTheMessage) {
    TempFolder bin;
    fakeProgram(bin, "xdg-email");
    ScopedEnvironment path("PATH", bin.path().c_str());
    ScopedEnvironment output("ARGUMENTS_FILE", (bin / "arguments").c_str());
    ScopedEnvironment sleep("SLEEP", "8");
    ScopedEnvironment exitStatus("EXIT_STATUS", "3");
    EmailClient client;
    EXPECT_EQ(client.sendMail("s", "t\n", "/tmp/a.mp2"), 0u);
}

TEST(RunAppWait, PassesArgumentsUnchangedAndReportsTheExitStatus) {
    TempFolder bin;
    const std::string program = fakeProgram(bin, "encode.sh");
    ScopedEnvironment output("ARGUMENTS_FILE", (bin / "arguments").c_str());
    ScopedEnvironment exitStatus("EXIT_STATUS", "7");
    for (const std::string& path : awkwardPaths) {
        const std::vector<std::string> arguments = makeEncoderArguments(path + ".wav", path);
        ASSERT_EQ(arguments.size(), 3u);
        EXPECT_EQ(arguments[0], "encode.sh");
        int status = 0;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(runAppWait(program, arguments, status));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "runAppWait: Started waiting...\nrunAppWait: Finished waiting!\n");
        EXPECT_EQ(status, 7);
        const std::vector<std::string> expected = {program, path + ".wav", path};
        EXPECT_EQ(recordedArguments(bin / "arguments"), expected);
    }
}

TEST(RunAppWait, AProgramThatCannotStartFails) {
    TempFolder bin;
    writeText(bin / "not-runnable.sh", "#!/bin/sh\nexit 0\n", 0644);
    int status = -1;
    EXPECT_FALSE(runAppWait(bin / "missing.sh", {"missing.sh"}, status));
    EXPECT_FALSE(runAppWait(bin / "not-runnable.sh", {"not-runnable.sh"}, status));
}
