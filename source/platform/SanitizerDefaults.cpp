// Built into sanitizer builds only: what the leak checker may ignore, with the reason for each.
// Every entry names a system library; leaks in our own code are always reported.
extern "C" const char* __lsan_default_suppressions() {
    return
        // D-Bus keeps its per-process connection data until exit by design; PulseAudio's
        // client opens it when SDL connects to the sound server.
        "leak:libdbus-1.so\n"
        // The PulseAudio client library caches its configuration for the life of the process.
        "leak:libpulse.so\n"
        "leak:libpulsecommon\n"
        // Xlib keeps per-display tables (locale, XIM) that XCloseDisplay does not free.
        "leak:libX11.so\n";
}

extern "C" const char* __asan_default_options() { return "detect_leaks=1"; }

// The program's standard error stays as a user would see it unless something is found.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }
