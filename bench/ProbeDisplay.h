#pragma once

#include <X11/Xlib.h>
#include <string>

// What the benchmark needs of the X server: find a window by caption, read one of its pixels,
// and press or move the pointer through XTest, each as one cheap request.
struct Rgb {
    int r = 0, g = 0, b = 0;
};

class ProbeDisplay {
public:
    ProbeDisplay();
    ~ProbeDisplay();
    ProbeDisplay(const ProbeDisplay&) = delete;
    ProbeDisplay& operator=(const ProbeDisplay&) = delete;

    bool isOpen() const { return display != nullptr; }
    bool hasXTest() const { return xtest; }

    // The viewable window with exactly this caption, searched three levels below the root (a
    // window manager puts the client into a frame); 0 when there is none.
    Window findWindow(const std::string& caption);
    // The colour of the window's pixel at (x, y); false when the window cannot be read (being
    // unmapped, for instance).
    bool readPixel(Window window, int x, int y, Rgb& colour);
    // Client coordinates to root coordinates; false when the window is gone.
    bool toRoot(Window window, int x, int y, int& rootX, int& rootY);
    bool pointerAt(int& rootX, int& rootY);

    void movePointer(int rootX, int rootY);
    void pressButton();
    void releaseButton();
    // Sends what is queued without waiting for a reply.
    void flush();
    // Waits until the server has handled every request sent so far.
    void sync();

private:
    Window search(Window parent, const std::string& caption, int depth);

    Display* display = nullptr;
    bool xtest = false;
};
