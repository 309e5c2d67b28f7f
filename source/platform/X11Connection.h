#pragma once

#include <string>
#include <vector>

struct _XDisplay; // Xlib's Display, kept out of this header

namespace platform {

// An X11 window id; 0 means none.
using NativeWindow = unsigned long;

// What the window manager and desktop learn about the program window.
struct WindowDescription {
    std::string instanceName; // WM_CLASS, first part
    std::string className;    // WM_CLASS, second part
    std::string title;        // _NET_WM_NAME, UTF-8
    int fixedWidth = 0;
    int fixedHeight = 0;
    // _NET_WM_ICON: width, height, then ARGB pixels, for each size back to back.
    std::vector<unsigned long> icon;
};

// A display connection of our own beside the one the rendering engine keeps to itself: it finds
// the program window and does what the engine offers no call for.
class X11Connection {
public:
    static X11Connection& instance();

    bool isOpen() const { return display != nullptr; }
    int descriptor() const;

    // A top-level client window with that caption (WM_NAME). With a class name, its WM_CLASS
    // class and _NET_WM_PID must match this process; without one, it must have no WM_CLASS yet.
    NativeWindow findWindow(const std::string& caption, const std::string& className);

    void describe(NativeWindow window, const WindowDescription& description);
    // From now on Expose and map events of the window reach this connection.
    void watchExposure(NativeWindow window);
    // Reads the pending events; true when the window was uncovered or mapped and needs drawing.
    bool takeExposure();

    void iconify(NativeWindow window);
    void withdraw(NativeWindow window);
    // Top-left corner of the window's outer frame in root coordinates.
    bool outerOrigin(NativeWindow window, int& x, int& y);
    // Moves the window so that its outer frame starts at (x, y), and raises it.
    void moveAndRaise(NativeWindow window, int x, int y);
    bool cursorPosition(int& x, int& y);

    void close();

private:
    X11Connection();
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    ::_XDisplay* display = nullptr;
};

} // namespace platform
