#pragma once

namespace platform {

// Turns SIGTERM, SIGINT and SIGHUP into a request to close, noticed by the frame loop, which
// is woken at once.
void installCloseSignalHandlers();
bool closeRequestedBySignal();

} // namespace platform
