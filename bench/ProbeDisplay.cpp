#include "ProbeDisplay.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace {

// Windows come and go while they are probed: an error must make a request fail, not end the
// tool, which is what Xlib's default handler does.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

int channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0)
        ++shift;
    const unsigned long value = (pixel & mask) >> shift;
    const unsigned long maximum = mask >> shift;
    return static_cast<int>(value * 255 / maximum);
}

std::string windowName(Display* display, Window window) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr)
        return {};
    std::string result(name);
    XFree(name);
    return result;
}

} // namespace

ProbeDisplay::ProbeDisplay() : display(XOpenDisplay(nullptr)) {
    if (display == nullptr)
        return;
    XSetErrorHandler(ignoreXError);
    int event = 0, error = 0, major = 0, minor = 0;
    xtest = XTestQueryExtension(display, &event, &error, &major, &minor) != 0;
}

ProbeDisplay::~ProbeDisplay() {
    if (display != nullptr)
        XCloseDisplay(display);
}

Window ProbeDisplay::findWindow(const std::string& caption) {
    return search(DefaultRootWindow(display), caption, 3);
}

Window ProbeDisplay::search(Window parent, const std::string& caption, int depth) {
    Window root = 0, grandParent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, parent, &root, &grandParent, &children, &count) == 0)
        return 0;
    Window found = 0;
    for (unsigned i = count; i-- > 0 && found == 0;) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable)
            continue;
        if (windowName(display, children[i]) == caption)
            found = children[i];
        else if (depth > 1)
            found = search(children[i], caption, depth - 1);
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

bool ProbeDisplay::readPixel(Window window, int x, int y, Rgb& colour) {
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
        return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    colour.r = channel(pixel, image->red_mask);
    colour.g = channel(pixel, image->green_mask);
    colour.b = channel(pixel, image->blue_mask);
    XDestroyImage(image);
    return true;
}

bool ProbeDisplay::toRoot(Window window, int x, int y, int& rootX, int& rootY) {
    Window child = 0;
    return XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rootX, &rootY,
                                 &child) != 0;
}

bool ProbeDisplay::pointerAt(int& rootX, int& rootY) {
    Window root = 0, child = 0;
    int winX = 0, winY = 0;
    unsigned mask = 0;
    return XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX,
                         &winY, &mask) != 0;
}

void ProbeDisplay::movePointer(int rootX, int rootY) {
    XTestFakeMotionEvent(display, DefaultScreen(display), rootX, rootY, CurrentTime);
}

void ProbeDisplay::pressButton() {
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
}

void ProbeDisplay::releaseButton() {
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
}

void ProbeDisplay::flush() {
    XFlush(display);
}

void ProbeDisplay::sync() {
    XSync(display, False);
}
