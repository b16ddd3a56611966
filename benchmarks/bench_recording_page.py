"""How fast a one-hour recording page at the 100 MB budget opens in Chromium.

    python benchmarks/bench_recording_page.py [--mb 100] [--keep PAGE.html]

Builds the document an hour of 1280 x 720 gives at the budget: a 2,000-bin
timeline, the heat map, 3,600 overview frames (one a second at 1/4 resolution)
and full-rate frames of 20 ms filling the rest, from a few dozen distinct
images of a synthetic scene repeated (the page decodes only what it shows, so
repeats cost what new images cost). Prints the page's size, the time until the
page reports itself ready (first frame, timeline and heat map drawn), and as a
yardstick the time Chromium takes to open a plain page of the same bytes in a
comment (parsed to its end). Target: ready in under 3 s.
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
    return doc, count


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--keep", type=Path)
    args = ap.parse_args()
    from playwright.sync_api import sync_playwright
    from zelq.viz.recording_page import render_recording_html

    doc, count = document(args.mb)
    page_text = render_recording_html(doc, "One hour")
    tmp = Path(tempfile.mkdtemp())
    page_path = args.keep or tmp / "hour.html"
    page_path.write_text(page_text, encoding="utf-8")
    plain = tmp / "plain.html"
    plain.write_text("<!DOCTYPE html><html><body><div hidden><!-- " + "x" * len(page_text) + " --></div>"
                     "<script>document.documentElement.dataset.state = 'ready'</script></body></html>")
    print(f"{machine()}; page {page_path.stat().st_size / 1e6:.1f} MB: {count:,} full-rate frames "
          f"({count * 0.02:.0f} s), 3,600 overview frames")
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=FLAGS)
        for label, path in (("plain page of the same size", plain), ("recording page", page_path)):
            best = float("inf")
            for _ in range(2):
                page = browser.new_page(viewport={"width": 1280, "height": 900})
                t0 = time.perf_counter()
                page.goto(path.as_uri(), wait_until="commit", timeout=60_000)
                page.wait_for_function("() => document.documentElement.dataset.state === 'ready'",
                                       timeout=60_000, polling=20)
                best = min(best, time.perf_counter() - t0)
                page.close()
            print(f"{label:30s} ready in {best:5.2f} s")
        browser.close()


if __name__ == "__main__":
    main()
