#pragma once

namespace platform {

// One descriptor that wakes the waiting frame loop: signal handlers and other threads poke it.
// Safe to call from a signal handler once created.
void createMainLoopWake();
int mainLoopWakeDescriptor();
void wakeMainLoop();
void clearMainLoopWake();

} // namespace platform
