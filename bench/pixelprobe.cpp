// Times what a user sees, to the millisecond: start a program and wait for its first frame, or
// move / click the pointer and wait until a pixel of the window takes the expected colour.
//
//   pixelprobe launch --window NAME --pixel X,Y --expect R,G,B[/R,G,B...] [--cwd DIR]
//                     [--output FILE] [--timeout MS] [--tolerance N] -- PROGRAM [ARG...]
//       Starts PROGRAM, prints "pid", "window_ms" and "startup_ms" (exec to the pixel on the
//       screen), then stays its parent until it ends and prints "exit" and "maxrss_kb".
//       SIGTERM to the probe is passed on to the program, SIGINT kills it.
//   pixelprobe act --window NAME [--move X,Y | --click X,Y] [--pixel X,Y --expect ...]
//       Moves or clicks (client coordinates) and prints "action_at" (CLOCK_MONOTONIC seconds)
//       and "latency_ms" until the pixel shows one of the expected colours. Without an action
//       it only waits for the colour; without a pixel it only acts.
//   pixelprobe get --window NAME --pixel X,Y
//   pixelprobe park --root X,Y      Moves the pointer to root coordinates.
//
// Exit status: 0 done, 2 bad arguments or no display, 3 timed out, 4 the pixel already had the
// expected colour before the action (nothing would be timed), 5 the program ended first.
#include "ProbeDisplay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct Point {
    int x = 0, y = 0;
};

struct Options {
    std::string command;
    std::string window;
    Point pixel;
    bool hasPixel = false;
    std::vector<Rgb> expected;
    int tolerance = 2;
    int timeoutMs = 5000;
    std::string action; // "", "move" or "click"
    Point actionAt;
    std::string cwd;
    std::string output = "/dev/null";
    std::vector<std::string> program;
};

// Between two reads of the pixel: short enough for sub-millisecond resolution, long enough
// not to keep the X server from serving the program under test.
const long pollPauseNs = 200000;

double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

void pause(long nanoseconds) {
    timespec time{0, nanoseconds};
    nanosleep(&time, nullptr);
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr, "pixelprobe: %s (see the comment at the top of pixelprobe.cpp)\n",
                 problem);
    std::exit(2);
}

bool parseNumbers(const char* text, std::vector<int>& numbers, char separator) {
    numbers.clear();
    const char* cursor = text;
    while (true) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(cursor, &end, 10);
        if (end == cursor || errno != 0)
            return false;
        numbers.push_back(static_cast<int>(value));
        if (*end == '\0')
            return true;
        if (*end != separator)
            return false;
        cursor = end + 1;
    }
}

Point parsePoint(const char* text) {
    std::vector<int> numbers;
    if (!parseNumbers(text, numbers, ',') || numbers.size() != 2)
        usage("a point is X,Y");
    return Point{numbers[0], numbers[1]};
}

std::vector<Rgb> parseColours(const char* text) {
    std::vector<Rgb> colours;
    std::string rest = text;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string one = rest.substr(0, slash);
        std::vector<int> numbers;
        if (!parseNumbers(one.c_str(), numbers, ',') || numbers.size() != 3)
            usage("a colour is R,G,B; several are separated by /");
        colours.push_back(Rgb{numbers[0], numbers[1], numbers[2]});
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    return colours;
}

Options parse(int argc, char** argv) {
    if (argc < 2)
        usage("no command");
    Options options;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--") {
            for (int j = i + 1; j < argc; ++j)
                options.program.push_back(argv[j]);
            break;
        }
        if (i + 1 >= argc)
            usage("a flag without its value");
        const char* value = argv[++i];
        if (flag == "--window") {
            options.window = value;
        } else if (flag == "--pixel") {
            options.pixel = parsePoint(value);
            options.hasPixel = true;
        } else if (flag == "--expect") {
            options.expected = parseColours(value);
        } else if (flag == "--tolerance") {
            options.tolerance = std::atoi(value);
        } else if (flag == "--timeout") {
            options.timeoutMs = std::atoi(value);
        } else if (flag == "--move" || flag == "--click") {
            options.action = flag.substr(2);
            options.actionAt = parsePoint(value);
        } else if (flag == "--root") {
            options.actionAt = parsePoint(value);
        } else if (flag == "--cwd") {
            options.cwd = value;
        } else if (flag == "--output") {
            options.output = value;
        } else {
            usage(("unknown flag " + flag).c_str());
        }
    }
    return options;
}

bool matchesAny(const Rgb& colour, const Options& options) {
    for (const Rgb& wanted : options.expected)
        if (std::abs(colour.r - wanted.r) <= options.tolerance &&
            std::abs(colour.g - wanted.g) <= options.tolerance &&
            std::abs(colour.b - wanted.b) <= options.tolerance)
            return true;
    return false;
}

void printColour(const char* label, const Rgb& colour) {
    std::printf("%s %d,%d,%d\n", label, colour.r, colour.g, colour.b);
}

// Polls the pixel until it matches or the deadline passes; `seen` holds the last colour read.
bool waitForColour(ProbeDisplay& display, Window window, const Options& options, double deadline,
                   Rgb& seen) {
    while (true) {
        if (display.readPixel(window, options.pixel.x, options.pixel.y, seen) &&
            matchesAny(seen, options))
            return true;
        if (now() >= deadline)
            return false;
        pause(pollPauseNs);
    }
}

// True once the child has ended; it is left for reportEnd to collect.
bool hasEnded(pid_t child) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == child;
}

Window waitForWindow(ProbeDisplay& display, const std::string& name, double deadline, pid_t child) {
    while (true) {
        if (const Window window = display.findWindow(name))
            return window;
        if (now() >= deadline)
            return 0;
        if (child > 0 && hasEnded(child))
            return 0;
        pause(1000000);
    }
}

[[noreturn]] void startChild(const Options& options, pid_t parent) {
    // Ends with the probe, which ends with the benchmark.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(126);
    // A group of its own, so that whatever it starts can be ended with it.
    setpgid(0, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
        _exit(126);
    const int input = open("/dev/null", O_RDONLY);
    const int output = open(options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (input < 0 || output < 0)
        _exit(126);
    dup2(input, 0);
    dup2(output, 1);
    dup2(output, 2);
    std::vector<char*> arguments;
    for (const std::string& argument : options.program)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    execv(arguments[0], arguments.data());
    _exit(127);
}

// The launched program, while it is there to be signalled: the probe's SIGTERM is passed on to
// it, its SIGINT becomes a SIGKILL. Whoever runs the probe never needs the program's PID, which
// another process may have taken once the program is gone.
volatile std::sig_atomic_t signalTarget = 0;

void passOnSignal(int signalNumber) {
    const pid_t target = static_cast<pid_t>(signalTarget);
    if (target > 0)
        kill(target, signalNumber == SIGINT ? SIGKILL : SIGTERM);
}

void passSignalsTo(pid_t child) {
    signalTarget = child;
    struct sigaction action {};
    action.sa_handler = passOnSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGTERM, SIGINT})
        sigaction(signalNumber, &action, nullptr);
}

int reportEnd(pid_t child) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    // Until it is collected its process group cannot pass to anyone else: end what it left.
    killpg(child, SIGKILL);
    sigset_t passed, previous;
    sigemptyset(&passed);
    sigaddset(&passed, SIGTERM);
    sigaddset(&passed, SIGINT);
    sigprocmask(SIG_BLOCK, &passed, &previous);
    signalTarget = 0;
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("exit %d\nmaxrss_kb %ld\n", code, usage.ru_maxrss);
    std::fflush(stdout);
    return code;
}

int launch(ProbeDisplay& display, const Options& options) {
    if (options.program.empty() || options.window.empty() || !options.hasPixel ||
        options.expected.empty())
        usage("launch needs --window, --pixel, --expect and a program");
    const pid_t parent = getpid();
    std::fflush(stdout);
    const double started = now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("pixelprobe: fork");
        return 2;
    }
    if (child == 0)
        startChild(options, parent);
    passSignalsTo(child);
    std::printf("pid %d\n", static_cast<int>(child));
    std::fflush(stdout);

    const double deadline = started + options.timeoutMs / 1000.0;
    const Window window = waitForWindow(display, options.window, deadline, child);
    if (window == 0) {
        const bool ended = hasEnded(child);
        std::printf("%s\n", ended ? "ended" : "timeout window");
        std::fflush(stdout);
        if (!ended)
            kill(child, SIGTERM);
        reportEnd(child);
        return ended ? 5 : 3;
    }
    std::printf("window 0x%lx\nwindow_ms %.3f\n", window, (now() - started) * 1000.0);
    Rgb seen;
    if (!waitForColour(display, window, options, deadline, seen)) {
        printColour("timeout", seen);
        std::fflush(stdout);
        kill(child, SIGTERM);
        reportEnd(child);
        return 3;
    }
    std::printf("startup_ms %.3f\n", (now() - started) * 1000.0);
    printColour("colour", seen);
    std::fflush(stdout);
    reportEnd(child);
    return 0;
}

// Moves or clicks without timing anything: to put the pointer somewhere first.
int actUntimed(ProbeDisplay& display, Window window, const Options& options) {
    int rootX = 0, rootY = 0;
    if (!display.toRoot(window, options.actionAt.x, options.actionAt.y, rootX, rootY))
        return 3;
    display.movePointer(rootX, rootY);
    if (options.action == "click") {
        display.pressButton();
        display.releaseButton();
    }
    display.sync();
    return 0;
}

int act(ProbeDisplay& display, const Options& options) {
    const bool timed = options.hasPixel;
    if (options.window.empty() || (timed && options.expected.empty()) ||
        (!timed && options.action.empty()))
        usage("act needs --window and an action or --pixel and --expect");
    if (!options.action.empty() && !display.hasXTest())
        usage("the X server has no XTest extension");
    double deadline = now() + options.timeoutMs / 1000.0;
    const Window window = waitForWindow(display, options.window, deadline, 0);
    if (window == 0) {
        std::printf("timeout window\n");
        return 3;
    }
    if (!timed)
        return actUntimed(display, window, options);
    Rgb seen;
    if (!options.action.empty()) {
        if (display.readPixel(window, options.pixel.x, options.pixel.y, seen) &&
            matchesAny(seen, options)) {
            printColour("matched_before", seen);
            return 4;
        }
        int rootX = 0, rootY = 0, pointerX = 0, pointerY = 0;
        if (!display.toRoot(window, options.actionAt.x, options.actionAt.y, rootX, rootY)) {
            std::printf("timeout window\n");
            return 3;
        }
        if (options.action == "click") {
            // Get there first, so that only the press is timed.
            if (!display.pointerAt(pointerX, pointerY) || pointerX != rootX || pointerY != rootY) {
                display.movePointer(rootX, rootY);
                display.sync();
            }
        }
        const double actionAt = now();
        if (options.action == "move") {
            display.movePointer(rootX, rootY);
        } else {
            display.pressButton();
            display.releaseButton();
        }
        display.flush();
        deadline = actionAt + options.timeoutMs / 1000.0;
        std::printf("action_at %.6f\n", actionAt);
        if (!waitForColour(display, window, options, deadline, seen)) {
            printColour("timeout", seen);
            return 3;
        }
        std::printf("latency_ms %.3f\n", (now() - actionAt) * 1000.0);
    } else {
        const double startedAt = now();
        if (!waitForColour(display, window, options, deadline, seen)) {
            printColour("timeout", seen);
            return 3;
        }
        std::printf("latency_ms %.3f\n", (now() - startedAt) * 1000.0);
    }
    printColour("colour", seen);
    return 0;
}

int get(ProbeDisplay& display, const Options& options) {
    if (options.window.empty() || !options.hasPixel)
        usage("get needs --window and --pixel");
    const Window window = display.findWindow(options.window);
    Rgb seen;
    if (window == 0 || !display.readPixel(window, options.pixel.x, options.pixel.y, seen)) {
        std::printf("no window\n");
        return 3;
    }
    printColour("colour", seen);
    return 0;
}

int park(ProbeDisplay& display, const Options& options) {
    if (!display.hasXTest())
        usage("the X server has no XTest extension");
    display.movePointer(options.actionAt.x, options.actionAt.y);
    display.sync();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    ProbeDisplay display;
    if (!display.isOpen())
        usage("cannot open the display named by DISPLAY");
    int status = 2;
    if (options.command == "launch")
        status = launch(display, options);
    else if (options.command == "act")
        status = act(display, options);
    else if (options.command == "get")
        status = get(display, options);
    else if (options.command == "park")
        status = park(display, options);
    else
        usage("the command is launch, act, get or park");
    std::fflush(stdout);
    return status;
}
