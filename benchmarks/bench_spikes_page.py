"""Load time of the spike viewer page in headless Chromium.

    PYTHONPATH=src python benchmarks/bench_spikes_page.py [--repeat N] [--events N]

The document is that of a 1280 x 720 recording: 20 animation frames, 5 grid
images and a 100 x 1000 raster, made by serialize_events from a moving bar over
background noise. "Ready" is the moment the page marks itself ready: summary,
grid, player and raster built, every shown image decoded, one frame painted.
The baseline, measured in the same run, is a bare page that embeds the same
JSON and decodes the same images and nothing else: the floor of any page of
this data. Target: ready in under 1 s.
"""
import argparse
import json
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from tests.support.browser import CHROMIUM_FLAGS  # noqa: E402
from playwright.sync_api import sync_playwright  # noqa: E402

from zelq.viz import spikes  # noqa: E402

WIDTH, HEIGHT = 1280, 720
TARGET_S = 1.0

# The floor: parse the same document, decode the images the page shows at load, paint once.
BASELINE = """<!DOCTYPE html><meta charset="utf-8"><body><script>
const DOC = %s;
const shown = DOC.grid_frames.concat(DOC.animation_frames.slice(0, 1));
Promise.all(shown.map((b) => { const i = new Image(); i.src = "data:image/png;base64," + b;
  document.body.appendChild(i); return i.decode(); }))
  .then(() => new Promise((r) => requestAnimationFrame(() => r())))
  .then(() => { document.documentElement.dataset.readyMs = performance.now().toFixed(1);
                document.documentElement.dataset.state = "ready"; });
</script></body>"""


def recording(n, seed=0):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, [("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    t = np.sort(rng.integers(0, 2_000_000, n))
    ev["t"] = t
    x = (t / 2_000_000 * 3 * WIDTH) % WIDTH + rng.normal(0, WIDTH / 40, n)
    noise = rng.random(n) < 0.1
    x[noise] = rng.integers(0, WIDTH, noise.sum())
    ev["x"] = np.clip(x, 0, WIDTH - 1)
    ev["y"] = rng.integers(0, HEIGHT, n)
    ev["p"] = rng.choice(np.array([-1, 1], np.int8), n)
    return ev


def load(browser, path, repeat):
    """(in-page ms to ready, wall ms from navigation to ready) for each of `repeat` fresh pages."""
    page_ms, wall_ms = [], []
    for _ in range(repeat):
        context = browser.new_context(viewport={"width": 1280, "height": 800})
        page = context.new_page()
        errors = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        t0 = time.perf_counter()
        page.goto(path.as_uri())
        page.wait_for_selector("html[data-state=ready]", state="attached", timeout=30_000)
        wall_ms.append((time.perf_counter() - t0) * 1000)
        page_ms.append(float(page.get_attribute("html", "data-ready-ms")))
        if errors:
            raise SystemExit(f"page errors: {errors}")
        context.close()
    return page_ms, wall_ms


def frame_switch_ms(browser, path, n_frames):
    """Mean time to show the next frame with its image decoded, over the whole animation."""
    context = browser.new_context(viewport={"width": 1280, "height": 800})
    page = context.new_page()
    page.goto(path.as_uri())
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=30_000)
    total = 0.0
    for _ in range(n_frames - 1):
        t0 = time.perf_counter()
        page.keyboard.press("ArrowRight")
        page.evaluate("document.getElementById('frame-img').decode()")
        total += time.perf_counter() - t0
    context.close()
    return total / max(1, n_frames - 1) * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--events", type=int, default=1_000_000)
    args = ap.parse_args()

    doc = spikes.serialize_events(recording(args.events), (WIDTH, HEIGHT), n_frames=20,
                                  raster_time_bins=100, max_raster_neurons=1000)
    assert len(doc["animation_frames"]) == 20 and np.shape(doc["raster"]) == (100, 1000)
    workdir = Path(tempfile.mkdtemp(prefix="bench-spikes-page-"))
    try:
        page_path = workdir / "spikes.html"
        page_path.write_text(spikes._render_spike_html(doc, title="bench"), encoding="utf-8")
        base_path = workdir / "baseline.html"
        base_path.write_text(BASELINE % json.dumps(doc), encoding="utf-8")
        print(f"document: {args.events:,} events, 20 frames of {WIDTH} x {HEIGHT}, raster 100 x 1000; "
              f"page {page_path.stat().st_size / 2**20:.1f} MiB")

        with sync_playwright() as pw:
            browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=CHROMIUM_FLAGS)
            load(browser, page_path, 1)  # warm the browser's caches once
            base_page, base_wall = load(browser, base_path, args.repeat)
            page_page, page_wall = load(browser, page_path, args.repeat)
            switch = frame_switch_ms(browser, page_path, 20)
            browser.close()
    finally:
        shutil.rmtree(workdir)

    def row(name, page_ms, wall_ms):
        best, med = min(wall_ms), statistics.median(wall_ms)
        print(f"{name:<10} ready in page {min(page_ms):7.1f} ms (median {statistics.median(page_ms):7.1f}); "
              f"navigation to ready {best:7.1f} ms (median {med:7.1f})")
        return med

    print(f"best and median of {args.repeat} fresh pages:")
    base_med = row("baseline", base_page, base_wall)
    page_med = row("spikes", page_page, page_wall)
    print(f"spikes / baseline (median, navigation to ready): {page_med / base_med:.2f}x")
    print(f"spikes / 1 s target (median): {page_med / 1000 / TARGET_S:.2f} "
          f"({'met' if page_med < TARGET_S * 1000 else 'MISSED'})")
    print(f"next frame shown and decoded: {switch:.1f} ms on average (a {1000 / max(switch, 1e-9):.0f} fps ceiling)")


if __name__ == "__main__":
    main()
