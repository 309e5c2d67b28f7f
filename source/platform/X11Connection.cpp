#include "platform/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace platform {

namespace {

// A window can vanish between two requests; such an error must not end the program, which is
// what Xlib's default handler does. Vanished windows are expected while searching the tree, so
// only other errors are logged.
int logXError(Display* display, XErrorEvent* event) {
    if (event->error_code == BadWindow)
        return 0;
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::printf("X11 error: %s (request %d, resource 0x%lx)\n", text, event->request_code,
                event->resourceid);
    return 0;
}

std::string windowName(Display* display, Window window) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr)
        return {};
    std::string result(name);
    XFree(name);
    return result;
}

bool readClass(Display* display, Window window, std::string& className) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) == 0)
        return false;
    className = hint.res_class != nullptr ? hint.res_class : "";
    if (hint.res_name != nullptr)
        XFree(hint.res_name);
    if (hint.res_class != nullptr)
        XFree(hint.res_class);
    return true;
}

long windowPid(Display* display, Window window) {
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &remaining, &data) == Success &&
        data != nullptr) {
        if (format == 32 && count == 1)
            pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
        XFree(data);
    }
    return pid;
}

bool matches(Display* display, Window window, const std::string& caption,
             const std::string& className) {
    if (windowName(display, window) != caption)
        return false;
    std::string actualClass;
    const bool hasClass = readClass(display, window, actualClass);
    if (className.empty())
        return !hasClass;
    return hasClass && actualClass == className && windowPid(display, window) == getpid();
}

Window search(Display* display, Window parent, const std::string& caption,
              const std::string& className, int depth) {
    Window root = 0, parentOfParent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, parent, &root, &parentOfParent, &children, &count) == 0)
        return 0;
    Window found = 0;
    // Topmost first: the newest window of that name is the likeliest.
    for (unsigned i = count; i-- > 0 && found == 0;) {
        if (matches(display, children[i], caption, className))
            found = children[i];
    }
    for (unsigned i = count; i-- > 0 && found == 0 && depth > 1;)
        found = search(display, children[i], caption, className, depth - 1);
    if (children != nullptr)
        XFree(children);
    return found;
}

void setUtf8Property(Display* display, Window window, const char* name, const std::string& value) {
    XChangeProperty(display, window, XInternAtom(display, name, False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(value.data()),
                    static_cast<int>(value.size()));
}

void setCardinals(Display* display, Window window, const char* name, const unsigned long* values,
                  std::size_t count) {
    XChangeProperty(display, window, XInternAtom(display, name, False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(values),
                    static_cast<int>(count));
}

} // namespace

X11Connection& X11Connection::instance() {
    static X11Connection connection;
    return connection;
}

X11Connection::X11Connection() {
    display = XOpenDisplay(nullptr);
    if (display != nullptr)
        XSetErrorHandler(logXError);
}

X11Connection::~X11Connection() {
    close();
}

void X11Connection::close() {
    if (display != nullptr)
        XCloseDisplay(display);
    display = nullptr;
}

int X11Connection::descriptor() const {
    return display != nullptr ? ConnectionNumber(display) : -1;
}

NativeWindow X11Connection::findWindow(const std::string& caption, const std::string& className) {
    if (display == nullptr)
        return 0;
    return search(display, DefaultRootWindow(display), caption, className, 3);
}

void X11Connection::describe(NativeWindow window, const WindowDescription& description) {
    if (display == nullptr || window == 0)
        return;
    XClassHint hint{};
    std::string instanceName = description.instanceName;
    std::string className = description.className;
    hint.res_name = instanceName.data();
    hint.res_class = className.data();
    XSetClassHint(display, window, &hint);
    setUtf8Property(display, window, "_NET_WM_NAME", description.title);
    const unsigned long pid = static_cast<unsigned long>(getpid());
    setCardinals(display, window, "_NET_WM_PID", &pid, 1);
    if (description.fixedWidth > 0 && description.fixedHeight > 0) {
        XSizeHints* hints = XAllocSizeHints();
        hints->flags = PMinSize | PMaxSize;
        hints->min_width = hints->max_width = description.fixedWidth;
        hints->min_height = hints->max_height = description.fixedHeight;
        XSetWMNormalHints(display, window, hints);
        XFree(hints);
    }
    if (!description.icon.empty())
        setCardinals(display, window, "_NET_WM_ICON", description.icon.data(),
                     description.icon.size());
    XFlush(display);
}

void X11Connection::watchExposure(NativeWindow window) {
    if (display == nullptr || window == 0)
        return;
    XSelectInput(display, window, ExposureMask | StructureNotifyMask);
    XFlush(display);
}

bool X11Connection::takeExposure() {
    if (display == nullptr)
        return false;
    bool exposed = false;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if ((event.type == Expose && event.xexpose.count == 0) || event.type == MapNotify)
            exposed = true;
    }
    return exposed;
}

void X11Connection::iconify(NativeWindow window) {
    if (display == nullptr || window == 0)
        return;
    XIconifyWindow(display, window, DefaultScreen(display));
    XFlush(display);
}

void X11Connection::withdraw(NativeWindow window) {
    if (display == nullptr || window == 0)
        return;
    XWithdrawWindow(display, window, DefaultScreen(display));
    XFlush(display);
}

bool X11Connection::outerOrigin(NativeWindow window, int& x, int& y) {
    if (display == nullptr || window == 0)
        return false;
    // The outer frame is the ancestor that is a child of the root.
    Window frame = window;
    while (true) {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, frame, &root, &parent, &children, &count) == 0)
            return false;
        if (children != nullptr)
            XFree(children);
        if (parent == root || parent == 0)
            break;
        frame = parent;
    }
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, frame, &attributes) == 0)
        return false;
    Window child = 0;
    return XTranslateCoordinates(display, frame, attributes.root, -attributes.border_width,
                                 -attributes.border_width, &x, &y, &child) != 0;
}

void X11Connection::moveAndRaise(NativeWindow window, int x, int y) {
    if (display == nullptr || window == 0)
        return;
    XWindowChanges changes{};
    changes.x = x;
    changes.y = y;
    changes.stack_mode = Above;
    XConfigureWindow(display, window, CWX | CWY | CWStackMode, &changes);
    XFlush(display);
}

bool X11Connection::cursorPosition(int& x, int& y) {
    if (display == nullptr)
        return false;
    Window root = 0, child = 0;
    int windowX = 0, windowY = 0;
    unsigned mask = 0;
    return XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX,
                         &windowY, &mask) != 0;
}

} // namespace platform
