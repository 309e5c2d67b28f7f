// The message folder, the names of a message's files, the encoder and the hand-off to the
// user's mail program.
#include "State.h"

#include "EmailClient.h"
#include "platform/Process.h"
#include "platform/UserFolders.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

namespace {

const char* const productName = "Murmelo";
const char* const productWebPage = "https://murmelo.example.org/";
const char* const encoderScript = "encode.sh";

bool isNonEmptyFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

} // namespace

bool State::locateMessageFolder(std::string& folder) {
    std::string dataFolder;
    const int error = platform::locateUserDataFolder(dataFolder);
    if (error != 0) {
        std::string message = "Could not locate Application Data directory.";
        showError(message, true, error);
        return false;
    }
    folder = dataFolder + "/" + productName;
    makeDirectory(folder);
    folder += "/Messages/";
    makeDirectory(folder);
    return true;
}

void makeDirectory(const std::string& path) {
    errno = 0;
    mkdir(path.c_str(), 0700);
    std::printf("mkdir:errno: %i\n", errno);
}

std::string makeTimeStamp() {
    // Fixed English names: the stamp must not change with the user's locale.
    static const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s %02d %02d:%02d:%02d %d\n",
                  weekdays[local.tm_wday % 7], months[local.tm_mon % 12], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, 1900 + local.tm_year);
    std::string stamp(text);
    makeFileNameSafe(stamp);
    return stamp;
}

void makeFileNameSafe(std::string& text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            text[i] = '_';
            ++i;
        } else if (text[i] == ':') {
            text.erase(i, 1);
        } else {
            ++i;
        }
    }
}

bool runAppWait(const std::string& program, const std::vector<std::string>& arguments,
                int& exitStatus) {
    int error = 0;
    const pid_t pid = platform::spawnProgram(program, arguments, platform::SpawnOptions{}, error);
    if (pid < 0) {
        std::printf("runAppWait: %s could not be started (errno %i)\n", program.c_str(), error);
        return false;
    }
    std::printf("runAppWait: Started waiting...\n");
    const platform::WaitOutcome outcome = platform::waitForProgram(pid, -1, exitStatus);
    std::printf("runAppWait: Finished waiting!\n");
    return outcome == platform::WaitOutcome::Exited;
}

std::vector<std::string> makeEncoderArguments(const std::string& inFile,
                                              const std::string& outFile) {
    return {encoderScript, inFile, outFile};
}

std::string makeNoteText() {
    return std::string("Attached is a voice message for you, created with ") + productName +
           ".\nTry " + productName + " here: " + productWebPage + "\n";
}

bool State::encodeMessage() {
    const std::vector<std::string> arguments = makeEncoderArguments(inFile, outFile);
    std::printf("Encoding...\n");
    const std::string program = platform::executableFolder() + "/" + encoderScript;
    int exitStatus = -1;
    const bool ran = runAppWait(program, arguments, exitStatus);
    // An encoder that fails, or leaves no message behind, must not lead to an empty mail.
    if (ran && exitStatus != 0)
        std::printf("The encoder ended with status %i.\n", exitStatus);
    if (!ran || exitStatus != 0 || !isNonEmptyFile(outFile)) {
        std::string message = "Failed to compress the message.";
        showError(message);
        return false;
    }
    return true;
}

void State::sendMessage() {
    if (!encodeMessage())
        return;
    const std::string noteText = makeNoteText();
    const unsigned result = emailClient->sendMail("Voice Message", noteText, outFile);
    if (result != 0) {
        std::string message = "Failed to send message.";
        showError(message, true, static_cast<int>(result));
    }
}
