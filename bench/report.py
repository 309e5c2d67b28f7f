"""The benchmark's results and the one table they are printed as."""

import os
import platform
import statistics

from procstat import TICKS_PER_SECOND


class Results:
    """Each figure's values from the program and from its reference."""

    def __init__(self):
        self.values = {}
        self.reference = {}
        self.notes = {}
        self.failures = []
        self.lost = []

    def add(self, key, value):
        self.values.setdefault(key, []).append(value)

    def add_cpu(self, key, measured):
        total, by_thread = measured
        self.add(key, total)
        threads = self.notes.setdefault(f"{key}_threads", {})
        for name, share in by_thread.items():
            threads.setdefault(name, []).append(share)

    def add_reference(self, key, value, what=None):
        self.reference.setdefault(key, []).append(value)
        if what:
            self.notes[key] = what


FIGURES = [
    # key, label, unit, target, higher is better, default reference
    ("idle", "idle CPU, % of one core (window shown, no input)", "%", 0.2, False,
     "reference window"),
    ("record_cpu", "CPU while recording (pulse redraws included), %", "%", 3.0, False, None),
    ("play_cpu", "CPU while playing back, %", "%", 1.0, False, None),
    ("startup", "start-up: exec to first complete frame on screen", "ms", 150.0, False,
     "reference window"),
    ("click", "click on record to stop button on screen", "ms", 16.0, False, "reference window"),
    ("hover", "mouse move to hover highlight on screen", "ms", 16.0, False, "reference window"),
    ("memory", "peak memory (VmHWM), record + play + send session", "MiB", 30.0, False,
     "reference window"),
    ("capture", "capture completeness: WAV samples / (elapsed x 16000)", "%", 99.9, True, None),
    ("gaps", "capture breaks (phase jumps, silences >= 1 ms)", "", 0, False, None),
    ("encode", "encoding 10 minutes of speech (encode.sh)", "s", 1.5, False, None),
]


def fmt(value, unit):
    if unit == "":
        return f"{value:g}"
    if unit == "%" and value >= 99:
        return f"{value:.3f}"
    return f"{value:.2f}"


def median(values):
    return statistics.median(values) if values else None


def table(results):
    lines = ["| figure | Murmelo, median (min-max), runs | reference (median) | ratio | target "
             "| met |", "|---|---|---|---|---|---|"]
    for key, label, unit, target, higher, default_ref in FIGURES:
        values = results.values.get(key, [])
        refs = results.reference.get(key, [])
        mine, theirs = median(values), median(refs)
        cell = "failed" if mine is None else (
            f"{fmt(mine, unit)} {unit} ({fmt(min(values), unit)}-{fmt(max(values), unit)}), "
            f"{len(values)}")
        what = results.notes.get(key, default_ref) or "-"
        ref_cell = "-" if theirs is None else f"{fmt(theirs, unit)} {unit}, {what}"
        ratio = "-"
        if mine is not None and theirs:
            ratio = f"{mine / theirs:.2f}"
        met = "?" if mine is None else (
            "yes" if (mine >= target if higher else mine <= target) else "NO")
        sign = ">=" if higher else "<="
        lines.append(f"| {label} | {cell} | {ref_cell} | {ratio} | {sign} {target:g} {unit} "
                     f"| {met} |")
    return "\n".join(lines)


def describe_machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        total_kb = int(f.readline().split()[1])
    load = os.getloadavg()[0]
    return (f"{os.cpu_count()} cores, {model}, {total_kb / 1024 / 1024:.1f} GiB, "
            f"kernel {platform.release()}, load average {load:.2f}")


def print_report(results, settings, seconds):
    """Prints the table and the details behind it; returns the exit status (1 when a run was
    lost)."""
    print(f"Machine: {describe_machine()} (at the end)")
    print(f"Runs: {settings.rounds} sessions ({settings.cpu_seconds:g} s CPU windows), "
          f"{settings.captures} capture(s) of about {settings.capture_seconds:g} s, "
          f"{settings.encodes} encoder runs; {seconds:.0f} s in all")
    print()
    print(table(results))
    print(f"\nCPU figures come from /proc/PID/stat in {1000 // TICKS_PER_SECOND} ms ticks: "
          f"{100.0 / TICKS_PER_SECOND / settings.cpu_seconds:.2f} % steps over a "
          f"{settings.cpu_seconds:g} s window.")
    if results.values.get("maxrss"):
        print(f"Peak memory cross-check, ru_maxrss at exit: "
              f"{median(results.values['maxrss']):.2f} MiB (median)")
    print("\nEvery run (Murmelo | reference):")
    for key, _, unit, *_ in FIGURES:
        mine = " ".join(fmt(v, unit) for v in results.values.get(key, []))
        theirs = " ".join(fmt(v, unit) for v in results.reference.get(key, []))
        print(f"- {key} [{unit or 'count'}]: {mine or '-'} | {theirs or '-'}")
    for key in ("idle", "record_cpu", "play_cpu"):
        threads = results.notes.get(f"{key}_threads", {})
        shares = ", ".join(f"{name} {median(values):.2f}" for name, values in
                           sorted(threads.items(), key=lambda item: -median(item[1])))
        if shares:
            print(f"- {key} by thread, median %: {shares}")
    for detail in results.notes.get("capture_detail", []):
        print(f"- capture: {detail}")
    if results.failures:
        print("\nFailed attempts:")
        for failure in results.failures:
            print(f"- {failure}")
    if results.lost:
        print(f"\nRuns lost after a second try: {', '.join(results.lost)}")
        return 1
    return 0
