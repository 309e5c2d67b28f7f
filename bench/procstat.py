"""CPU time and peak memory of a running process, read from /proc."""

import os
import threading
import time

TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    """utime + stime of the whole process (every thread, living or ended), in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (the stat file's third field): utime and stime are the 14th and
    # 15th.
    return int(fields[11]) + int(fields[12])


def thread_ticks(pid):
    """{thread id: (name, utime + stime)} of the threads alive now."""
    threads = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return threads
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        threads[tid] = (name, int(fields[11]) + int(fields[12]))
    return threads


def cpu_percent(pid, seconds, start_at=None):
    """Share of one core the process used over `seconds`, from `start_at` (monotonic) on.
    Returns (whole process, {thread name: share}); a thread that ends within the window is
    missing from the second."""
    if start_at is not None:
        time.sleep(max(0.0, start_at - time.monotonic()))
    before = cpu_ticks(pid)
    threads_before = thread_ticks(pid)
    began = time.monotonic()
    time.sleep(seconds)
    after = cpu_ticks(pid)
    threads_after = thread_ticks(pid)
    elapsed = time.monotonic() - began
    scale = 100.0 / TICKS_PER_SECOND / elapsed
    by_name = {}
    for tid, (name, ticks) in threads_after.items():
        spent = ticks - threads_before.get(tid, (name, 0))[1]
        by_name[name] = by_name.get(name, 0.0) + spent * scale
    return (after - before) * scale, by_name


def peak_memory_kb(pid):
    """VmHWM: the largest resident set so far; None once the process has gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


class PeakMemoryWatch:
    """Reads VmHWM every `interval` seconds until stopped or the process is gone, so that the
    figure from just before the end is kept."""

    def __init__(self, pid, interval=0.05):
        self.pid = pid
        self.interval = interval
        self.peak_kb = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            value = peak_memory_kb(self.pid)
            if value is None:
                return
            self.peak_kb = max(self.peak_kb, value)
            self._stop.wait(self.interval)

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.peak_kb
