#pragma once

#include "platform/MessageBox.h"

#include <cstdint>
#include <irrlicht.h>
#include <string>
#include <vector>

// A device with the real window and renderer, and the pictures of the build mounted.
class DeviceSession {
public:
    DeviceSession();
    ~DeviceSession();
    irr::IrrlichtDevice* device = nullptr;
};

// Catches the program's message boxes for as long as it lives.
class MessageBoxCatcher {
public:
    MessageBoxCatcher();
    ~MessageBoxCatcher();
    std::vector<std::string> captions;
    std::vector<std::string> texts;
};

// A fresh folder under /tmp, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& path() const { return folder; }
    std::string operator/(const std::string& name) const { return folder + "/" + name; }

private:
    std::string folder;
};

// Sets an environment variable (or unsets it with nullptr) and restores it afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value);
    ~ScopedEnvironment();

private:
    std::string name;
    bool hadValue;
    std::string oldValue;
};

std::vector<unsigned char> readBytes(const std::string& path);
std::uint32_t littleEndian32(const std::vector<unsigned char>& bytes, std::size_t offset);
std::uint16_t littleEndian16(const std::vector<unsigned char>& bytes, std::size_t offset);
void writeText(const std::string& path, const std::string& text, unsigned mode = 0644);
std::string readText(const std::string& path);
// Standard output of a shell command (for independent tools such as soxi).
std::string commandOutput(const std::string& command);
