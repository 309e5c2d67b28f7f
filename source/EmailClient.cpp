#include "EmailClient.h"

#include "platform/Process.h"

#include <cerrno>
#include <cstdio>

namespace {

// A mail program started cold may keep xdg-email waiting until it quits; once this much time
// has passed the message is in its hands.
const int handOverMilliseconds = 5000;
// Reported when xdg-email could not even be started (the shell's "cannot execute").
const unsigned notStartedCode = 126;

} // namespace

EmailClient::EmailClient() : xdgEmailPath(platform::findOnPath("xdg-email")) {}

EmailClient::~EmailClient() = default;

std::vector<std::string> EmailClient::makeArguments(const std::string& subject,
                                                    const std::string& noteText,
                                                    const std::string& attachmentPath) {
    return {"xdg-email", "--utf8", "--subject", subject,
            "--body",    noteText, "--attach",  attachmentPath};
}

unsigned EmailClient::sendMail(const std::string& subject, const std::string& noteText,
                               const std::string& attachmentPath) {
    const std::string attachment = attachmentPath;
    platform::SpawnOptions options;
    options.ownSession = true; // the mail program it starts must outlive us
    int error = 0;
    const pid_t pid = platform::spawnProgram(
        xdgEmailPath, makeArguments(subject, noteText, attachment), options, error);
    if (pid < 0) {
        std::printf("xdg-email could not be started (errno %i)\n", error);
        return notStartedCode;
    }
    std::printf("Waiting for the mail program...\n");
    int status = 0;
    switch (platform::waitForProgram(pid, handOverMilliseconds, status)) {
    case platform::WaitOutcome::Exited:
        std::printf("xdg-email exited with status %i\n", status);
        return static_cast<unsigned>(status);
    case platform::WaitOutcome::StillRunning:
        std::printf("xdg-email still running: the mail program has the message\n");
        return 0;
    case platform::WaitOutcome::Failed:
        break;
    }
    std::printf("xdg-email could not be waited for (errno %i)\n", errno);
    return notStartedCode;
}
