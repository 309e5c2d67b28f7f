#include "platform/Signals.h"

#include "platform/MainLoopWake.h"

#include <csignal>
#include <initializer_list>

namespace platform {

namespace {

volatile std::sig_atomic_t closeRequested = 0;

void onCloseSignal(int) {
    closeRequested = 1;
    wakeMainLoop();
}

} // namespace

void installCloseSignalHandlers() {
    createMainLoopWake();
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signalNumber, &action, nullptr);
}

bool closeRequestedBySignal() {
    return closeRequested != 0;
}

} // namespace platform
