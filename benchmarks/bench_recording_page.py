"""How fast a one-hour recording page at the 100 MB budget opens in Chromium.

    python benchmarks/bench_recording_page.py [--mb 100] [--seconds 3600] [--page HOUR.html]
    python benchmarks/bench_recording_page.py --recording HOUR.raw [--page HOUR.html]

Times the page that `export_recording_html` writes for a recording: the given
one, or the hour that benchmarks/synth_recording.py's preset h describes
(1280 x 720, 180 M events; --seconds scales it down at the same event rate),
synthesized into a temporary folder (about 500 MB for the hour). --page keeps
the page, and reuses one written before.

"Opens" is the time from navigation until the page has drawn its first view
(what it holds, timeline, heat map, first frame) and says so (`data-state` =
"ready"), read from the page's own clock. Printed beside it: the time until the
parser has read every image block (`data-loaded`), and the floor: the time
Chromium takes to parse a page of the same bytes in a comment with no script.
Target: opens in under 3 s; the page is at most the budget. Written first: the page with its
health and space-time pass apart and gathered by the page pass, wall and CPU time.
"""
import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))
from common import machine  # noqa: E402

FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"]
HOUR_S, HOUR_EVENTS = 3600.0, 180e6


def synthesized(folder, seconds):
    from synth_recording import write_recording

    path = folder / "hour.raw"
    t0 = time.perf_counter()
    count = write_recording(path, seconds, HOUR_EVENTS / HOUR_S)
    print(f"synthesized {count:,} events over {seconds:g} s in {time.perf_counter() - t0:.0f} s")
    return path


def recording_page(recording, page, max_mb):
    from zelq.viz.stream import export_recording_html

    if not page.exists():
        t0 = time.perf_counter()
        export_recording_html(recording, page, max_page_mb=max_mb)
        print(f"page written in {time.perf_counter() - t0:.1f} s")
        inspection_share(recording, max_mb, 2)
    return page


def inspection_share(recording, max_mb, repeat):
    """The page's health and space-time pass alone, and the page written with that pass before
    the page pass (as it was) and gathered by it (as it is now where it can be), interleaved in
    the same run; wall and CPU time (all threads), best of `repeat`, beside a read pass."""
    import resource

    import numpy as np
    from zelq.viz import recording_inspection as inspection
    from zelq.viz.recording_page import folding
    from zelq.viz.recording_page.span import span_of
    from zelq.viz.recordings import _sources
    from zelq.viz.stream import export_recording_html

    def timed(fn):
        use = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        fn()
        after = resource.getrusage(resource.RUSAGE_SELF)
        return time.perf_counter() - t0, after.ru_utime + after.ru_stime - use.ru_utime - use.ru_stime

    src = _sources.open_source(recording, "refuse", _sources.options_arg(None, None, None))
    span = span_of(src, 0, None, None)
    read = timed(lambda: np.frombuffer(Path(recording).read_bytes(), np.uint8).max())
    alone = timed(lambda: inspection.gathered_parts(src, span.sensor, span.t0, span.t1, (None, None, ()),
                                                    int(max_mb * 1e6)))
    folds = folding.foldable
    best = {"separate": (float("inf"),) * 2, "gathered": (float("inf"),) * 2}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(repeat):
            for name, rule in (("separate", lambda *a: False), ("gathered", folds)):
                folding.foldable = rule
                try:
                    t = timed(lambda: export_recording_html(recording, Path(tmp) / "page.html", max_page_mb=max_mb))
                finally:
                    folding.foldable = folds
                best[name] = tuple(map(min, best[name], t))
    (sw, sc), (gw, gc) = best["separate"], best["gathered"]
    print(f"read pass {read[0]:.2f} s; health + space-time pass alone {alone[0]:.2f} s wall, {alone[1]:.2f} s CPU")
    print(f"page with that pass of its own {sw:.1f} s wall, {sc:.2f} s CPU; gathered by the page pass "
          f"{gw:.1f} s wall, {gc:.2f} s CPU ({gw / sw:.2f}x wall, {gc / sc:.2f}x CPU)")


def describe(page_path):
    from zelq.viz.recording_page import read_recording_document

    doc = read_recording_document(page_path.read_text(encoding="utf-8"))
    segments, ov, budget = doc["frames"]["segments"], doc["overview"], doc["budget"]
    frames = sum(len(s["images"]) - s["lead"] for s in segments)
    size = page_path.stat().st_size
    text = (f"page {size / 1e6:.1f} MB of a {budget['max_bytes'] / 1e6:.0f} MB budget "
            f"({'within' if size <= budget['max_bytes'] else 'OVER'}; it states {budget['bytes'] / 1e6:.1f} MB): "
            f"{frames:,} full-rate frames of {doc['frames']['period_us'] / 1e3:g} ms")
    if ov:
        span = doc["source"]["t_last"] + 1 - doc["source"]["t_first"] if doc["window"] is None else \
            doc["window"]["end"] - doc["window"]["start"]
        text += (f", {len(ov['images']):,} overview images of {ov['width']} x {ov['height']}, one every "
                 f"{ov['period_us'] / 1e6:g} s over {span / 1e6:,.0f} s, "
                 f"{sum(map(len, ov['images'])) / len(ov['images']) / 1e3:.1f} kB each")
    return text, size


def timings(browser, path, repeat):
    """Best (ready, loaded) of `repeat` openings, in seconds on the page's own clock."""
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        page = browser.new_page(viewport={"width": 1280, "height": 900})
        page.goto(path.as_uri(), wait_until="commit", timeout=120_000)
        page.wait_for_function("() => document.documentElement.dataset.state === 'ready'", timeout=120_000, polling=20)
        ready = page.evaluate("() => Number(document.documentElement.dataset.readyMs)")
        page.wait_for_function("() => document.documentElement.dataset.loaded === 'true'", timeout=120_000, polling=50)
        loaded = page.evaluate("() => Number(document.documentElement.dataset.loadedMs)")
        best = [min(best[0], ready / 1e3), min(best[1], loaded / 1e3)]
        page.close()
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=100)
    ap.add_argument("--recording", type=Path, help="a recording file (default: the synthetic hour)")
    ap.add_argument("--seconds", type=float, default=HOUR_S, help="the synthetic recording's length")
    ap.add_argument("--page", type=Path, help="where the page goes (kept; reused when present)")
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    from playwright.sync_api import sync_playwright

    tmp = Path(tempfile.mkdtemp())
    try:
        if args.page is None or not args.page.exists():
            recording = args.recording or synthesized(tmp, args.seconds)
        else:
            recording = args.recording
        page_path = recording_page(recording, args.page or tmp / "page.html", args.mb)
        text, size = describe(page_path)
        plain = tmp / "plain.html"
        plain.write_text("<!DOCTYPE html><html><body><div hidden><!-- " + "x" * size + " --></div><script>"
                         "const r = document.documentElement; r.dataset.readyMs = r.dataset.loadedMs = "
                         "performance.now(); r.dataset.state = 'ready'; r.dataset.loaded = 'true'</script></body></html>")
        print(f"{machine()}; {text}")
        with sync_playwright() as pw:
            browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=FLAGS)
            floor, _ = timings(browser, plain, args.repeat)
            ready, loaded = timings(browser, page_path, args.repeat)
            browser.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"bare page of the same bytes parsed in {floor:5.2f} s (the floor)")
    print(f"recording page opens in {ready:5.2f} s ({ready / floor:.2f} of the floor; target < 3 s), "
          f"every image block read in {loaded:5.2f} s ({loaded / floor:.2f} of the floor)")


if __name__ == "__main__":
    main()
