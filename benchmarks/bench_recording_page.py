"""How fast a one-hour recording page at the 100 MB budget opens in Chromium.

    python benchmarks/bench_recording_page.py [--mb 100] [--keep PAGE.html]
    python benchmarks/bench_recording_page.py --recording HOUR.raw [--page HOUR.html]

With --recording, the page is what `export_recording_html` writes for that file
(benchmarks/synth_recording.py --preset h makes the hour: 1280 x 720, 180 M
events); --page reuses a page written before. Without, it builds the document an
hour of 1280 x 720 gives at the budget from a few dozen distinct images of a
synthetic scene repeated (the page decodes only what it shows, so repeats cost
what new images cost): a 2,000-bin timeline, the heat map, 3,600 overview
images and full-rate frames of 20 ms filling the rest.

"Opens" is the time from navigation until the page has drawn its first view
(what it holds, timeline, heat map, first frame) and says so (`data-state` =
"ready"), read from the page's own clock. Printed beside it: the time until the
parser has read every image block (`data-loaded`), and the floor: the time
Chromium takes to parse a page of the same bytes in a comment with no script.
Target: opens in under 3 s; the page is at most the budget.
"""
import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
from common import machine  # noqa: E402

W, H = 1280, 720
HOUR = 3_600_000_000
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"]


def document(max_mb):
    import recording_reference as rr
    from bench_video import synthetic

    ev = synthetic(60, 3e5)  # a quieter hour than the video benchmark's 12 s: what a long capture holds
    size = (W, H)
    frames = [rr.png(rr.frame_png_rgb(c)) for c in rr.frame_counts(ev, size, 0, 20_000, 40)]
    surface = rr.decayed(rr.frame_counts(ev, size, 0, 20_000, 40), 20_000, 30_000)
    pooled = surface[::4].reshape(-1, H // 4, 4, W // 4, 4, 2).sum(axis=(2, 4))
    overview = [rr.png(rr.frame_png_rgb(np.minimum(255, np.floor(16 * s + 0.5)).astype(np.uint32)))
                for s in pooled]
    doc = rr.build_document(ev[:10_000], size, max_bytes=max_mb * 10**6)
    doc["source"]["t_first"], doc["source"]["t_last"] = 0, HOUR - 1
    doc["overview"] = {"period_us": 1_000_000, "start": 0, "scale": 4, "width": W // 4, "height": H // 4,
                       "images": [overview[i % len(overview)] for i in range(3600)]}
    used = sum(len(s) for s in doc["overview"]["images"]) + 2_000_000
    room = max_mb * 10**6 - used
    count = 0
    images = []
    while room > len(frames[count % len(frames)]):
        room -= len(frames[count % len(frames)]) + 3
        images.append(frames[count % len(frames)])
        count += 1
    doc["frames"]["segments"] = [{"start": 0, "lead": 0, "images": images}]
    doc["budget"]["full_rate"] = [[0, count * 20_000]]
    doc["budget"]["left_out"] = "benchmark page"
    return doc


def recording_page(recording, page, max_mb):
    from zelq.viz.stream import export_recording_html

    if page is None or not page.exists():
        page = page or Path(tempfile.mkdtemp()) / "hour.html"
        t0 = time.perf_counter()
        export_recording_html(recording, page, max_page_mb=max_mb)
        print(f"page written in {time.perf_counter() - t0:.1f} s")
    return page


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
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--recording", type=Path, help="a recording file: time the page the engine writes for it")
    ap.add_argument("--page", type=Path, help="with --recording: where the page goes (kept; reused when present)")
    ap.add_argument("--keep", type=Path, help="without --recording: keep the synthetic page here")
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    from playwright.sync_api import sync_playwright
    from zelq.viz.recording_page import render_recording_html

    tmp = Path(tempfile.mkdtemp())
    if args.recording:
        page_path = recording_page(args.recording, args.page, args.mb)
    else:
        page_path = args.keep or tmp / "hour.html"
        page_path.write_text(render_recording_html(document(args.mb), "One hour"), encoding="utf-8")
    text, size = describe(page_path)
    plain = tmp / "plain.html"
    plain.write_text("<!DOCTYPE html><html><body><div hidden><!-- " + "x" * size + " --></div><script>"
                     "const r = document.documentElement; r.dataset.readyMs = r.dataset.loadedMs = performance.now();"
                     " r.dataset.state = 'ready'; r.dataset.loaded = 'true'</script></body></html>")
    print(f"{machine()}; {text}")
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=FLAGS)
        floor, _ = timings(browser, plain, args.repeat)
        ready, loaded = timings(browser, page_path, args.repeat)
        browser.close()
    print(f"bare page of the same bytes parsed in {floor:5.2f} s (the floor)")
    print(f"recording page opens in {ready:5.2f} s ({ready / floor:.2f} of the floor; target < 3 s), "
          f"every image block read in {loaded:5.2f} s ({loaded / floor:.2f} of the floor)")


if __name__ == "__main__":
    main()
