#include "Window.h"

#include "platform/X11Connection.h"

#include <cassert>
#include <chrono>

namespace {

const char* const programCaption = "Murmelo";
const char* const programClass = "Murmelo";
const char* const programInstance = "murmelo";
const irr::s32 windowWidth = 368;
const irr::s32 windowHeight = 321;
const char* const iconFiles[] = {"icon48.png", "icon40.png", "icon32.png", "icon16.png"};

// Set once the window carries our class: from then on it is told apart from any other window
// of the same caption by class and process id.
bool classAssigned = false;

// The window manager applies a move a little later, so during a drag the frame the server
// reports can still stand where an earlier step left it; adding the next step to that would
// lose the earlier one. Within this time of the last move, the position asked for counts.
const auto moveSettleTime = std::chrono::milliseconds(500);
struct RequestedMove {
    platform::NativeWindow window = 0;
    int x = 0;
    int y = 0;
    std::chrono::steady_clock::time_point when;
} lastMove;

platform::NativeWindow findProgramWindow() {
    platform::X11Connection& x11 = platform::X11Connection::instance();
    return x11.findWindow(programCaption, classAssigned ? programClass : "");
}

void appendIcon(irr::video::IVideoDriver* driver, const char* fileName,
                std::vector<unsigned long>& icon) {
    irr::video::IImage* image = driver->createImageFromFile(fileName);
    if (image == nullptr)
        return;
    const irr::core::dimension2d<irr::u32> size = image->getDimension();
    icon.push_back(size.Width);
    icon.push_back(size.Height);
    for (irr::u32 y = 0; y < size.Height; ++y)
        for (irr::u32 x = 0; x < size.Width; ++x)
            icon.push_back(image->getPixel(x, y).color);
    image->drop();
}

} // namespace

bool decorateProgramWindow(irr::IrrlichtDevice* device) {
    platform::X11Connection& x11 = platform::X11Connection::instance();
    const platform::NativeWindow window = findProgramWindow();
    if (window == 0)
        return false;
    platform::WindowDescription description;
    description.instanceName = programInstance;
    description.className = programClass;
    description.title = programCaption;
    description.fixedWidth = windowWidth;
    description.fixedHeight = windowHeight;
    for (const char* fileName : iconFiles)
        appendIcon(device->getVideoDriver(), fileName, description.icon);
    x11.describe(window, description);
    x11.watchExposure(window);
    classAssigned = true;
    return true;
}

bool programWindowExists() {
    return findProgramWindow() != 0;
}

void minimizeWindow() {
    const platform::NativeWindow window = findProgramWindow();
    assert(window && "hwnd");
    platform::X11Connection::instance().iconify(window);
}

void moveWindow(irr::core::position2d<irr::s32> offset) {
    const platform::NativeWindow window = findProgramWindow();
    assert(window && "hwnd");
    platform::X11Connection& x11 = platform::X11Connection::instance();
    int left = 0, top = 0;
    const bool found = x11.outerOrigin(window, left, top);
    assert(found && "GetWindowInfo(hwnd, &info)");
    if (!found)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (lastMove.window == window && now - lastMove.when < moveSettleTime) {
        left = lastMove.x;
        top = lastMove.y;
    }
    lastMove = RequestedMove{window, left + offset.X, top + offset.Y, now};
    x11.moveAndRaise(window, lastMove.x, lastMove.y);
}

void hideWindow() {
    const platform::NativeWindow window = findProgramWindow();
    if (window != 0)
        platform::X11Connection::instance().withdraw(window);
}

bool programWindowNeedsRedraw() {
    return platform::X11Connection::instance().takeExposure();
}

int windowEventDescriptor() {
    return platform::X11Connection::instance().descriptor();
}

void closeWindowServices() { platform::X11Connection::instance().close(); }
