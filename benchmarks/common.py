"""Helpers shared by the benchmarks: timing and peak-memory probes."""
import os
import time
from pathlib import Path


def best_of(fn, repeat=3):
    """Best wall time of `repeat` calls, in seconds (least disturbed by other load)."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def _status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def peak_extra_bytes(fn):
    """Peak resident memory that `fn` adds above what the process holds now.

    Resets the kernel's high-water mark first (Linux), so earlier peaks do not count.
    """
    Path("/proc/self/clear_refs").write_text("5")
    before = _status("VmRSS")
    result = fn()
    peak = _status("VmHWM")
    del result
    return max(peak - before, 0)


def mib(n):
    return n / 2**20


def machine():
    cpu = "unknown cpu"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return f"{cpu}, {os.cpu_count()} cores"
