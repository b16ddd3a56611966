"""Helpers shared by the benchmarks: timing and peak-memory probes."""
import os
import shutil
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


def best_interleaved(fns, rounds=5):
    """Best wall time and best CPU time of this process (every thread) of each of
    `fns` (name -> callable), as {name: (wall, cpu)}, the calls taken in turn
    `rounds` times: on a shared machine, load that comes and goes falls on each alike."""
    best = {name: (float("inf"), float("inf")) for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            wall, cpu = time.perf_counter() - t0, time.process_time() - c0
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    return best


def interleaved_medians(fns, rounds):
    """Median CPU time of this process and median wall time of each of `fns` (name ->
    callable), as {name: (cpu, wall)}, the calls taken in turn `rounds` times."""
    import statistics

    cpu, wall = {name: [] for name in fns}, {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            cpu[name].append(time.process_time() - c0)
            wall[name].append(time.perf_counter() - t0)
    return {name: (statistics.median(cpu[name]), statistics.median(wall[name])) for name in fns}


def load_average():
    return "load average " + ", ".join(f"{v:.1f}" for v in os.getloadavg())


def timed(fn):
    """`fn()`'s result and the wall time of that one call, in seconds."""
    t0 = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t0


def report(*lines):
    """Prints the machine, then each line of a benchmark's result; 0, its exit status."""
    print(machine())
    for line in lines:
        print(line)
    return 0


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


# Resolves once the graph page has drawn (its script sets zelqViewer.ready).
_VIEWER_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"


def viewer_ready_seconds(path, viewport=(1280, 800), repeat=3):
    """Median seconds until a graph page in Chromium is ready (its own zelqViewer.readyAt)."""
    from playwright.sync_api import sync_playwright
    from tests.support.browser import CHROMIUM_FLAGS
    times = []
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=CHROMIUM_FLAGS)
        for _ in range(repeat):
            page = browser.new_page(viewport={"width": viewport[0], "height": viewport[1]})
            page.goto(Path(path).resolve().as_uri())
            page.evaluate(_VIEWER_READY)
            times.append(page.evaluate("zelqViewer.readyAt") / 1000)
            page.close()
        browser.close()
    return sorted(times)[len(times) // 2]
