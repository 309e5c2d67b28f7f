#pragma once
// An eventfd that the audio thread makes readable so that a frame loop blocked in poll() wakes
// as soon as the engine has work for update().

namespace sound {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // -1 when no eventfd could be made; signal and clear then do nothing.
    int descriptor() const { return fd; }
    // Async-signal-safe: a single write, callable from the audio callback.
    void signal() const;
    // Makes the descriptor unreadable again.
    void clear() const;

private:
    int fd;
};

} // namespace sound
