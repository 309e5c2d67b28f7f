#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

DeviceSession::DeviceSession() {
    irr::SIrrlichtCreationParameters parameters;
    parameters.DriverType = irr::video::EDT_BURNINGSVIDEO;
    parameters.WindowSize = irr::core::dimension2d<irr::u32>(368, 321);
    device = irr::createDeviceEx(parameters);
    if (device == nullptr)
        return;
    device->getVideoDriver()->setTextureCreationFlag(irr::video::ETCF_ALLOW_NON_POWER_2, true);
    device->setWindowCaption(L"Murmelo");
    device->getFileSystem()->addFileArchive(MURMELO_MEDIA_ZIP, true, true, irr::io::EFAT_ZIP);
}

DeviceSession::~DeviceSession() {
    if (device != nullptr)
        device->drop();
}

MessageBoxCatcher::MessageBoxCatcher() {
    platform::setWarningBoxPresenter([this](const std::string& caption, const std::string& text) {
        captions.push_back(caption);
        texts.push_back(text);
    });
}

MessageBoxCatcher::~MessageBoxCatcher() {
    platform::setWarningBoxPresenter(nullptr);
}

TempFolder::TempFolder() {
    char pattern[] = "/tmp/murmelo-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    folder = made != nullptr ? made : "/tmp";
}

TempFolder::~TempFolder() {
    const std::string command =
        "chmod -R u+rwx '" + folder + "' 2>/dev/null; rm -rf '" + folder + "'";
    if (folder != "/tmp" && std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", folder.c_str());
}

ScopedEnvironment::ScopedEnvironment(const char* variable, const char* value) : name(variable) {
    const char* old = std::getenv(variable);
    hadValue = old != nullptr;
    if (hadValue)
        oldValue = old;
    if (value != nullptr)
        setenv(variable, value, 1);
    else
        unsetenv(variable);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (hadValue)
        setenv(name.c_str(), oldValue.c_str(), 1);
    else
        unsetenv(name.c_str());
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

std::uint32_t littleEndian32(const std::vector<unsigned char>& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes.at(offset)) |
           static_cast<std::uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
}

std::uint16_t littleEndian16(const std::vector<unsigned char>& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

void writeText(const std::string& path, const std::string& text, unsigned mode) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        pclose(pipe);
    }
    return output;
}
