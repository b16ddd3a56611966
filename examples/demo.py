"""The main job: write a graph page, spike pages, a recording page and a short video
from the bundled examples, and the bundled recording in every format the command
reads (out/bar.raw and its siblings, for trying `zelqviz events`).

    ./run demo [--out DIR] [--no-browser]

Pages go to out/ (or DIR). They are opened in a browser only when one can be
shown (a desktop session); otherwise their paths are printed.
"""
import argparse
import importlib
import os
import sys
import webbrowser
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from zelq.viz import spikes  # noqa: E402

RECORDING = HERE / "data" / "rotating_bar.npy"


def describe_recording(events):
    size = spikes._detect_sensor_size(events)
    frames = spikes.events_to_frames(events, size, n_frames=10)
    span_ms = (int(events["t"].max()) - int(events["t"].min())) / 1000
    print(f"recording: {len(events):,} events over {span_ms:.1f} ms on a {size[0]} x {size[1]} sensor")
    print(f"  ON {int(frames[:, 0].sum()):,}, OFF {int(frames[:, 1].sum()):,}")
    per_frame = frames.sum(axis=(1, 2, 3)).astype(int)
    print("  events per frame:", ", ".join(f"{n:,}" for n in per_frame))
    busiest = np.unravel_index(np.argmax(frames.sum(axis=(0, 1))), frames.shape[2:])
    print(f"  busiest pixel: x={busiest[1]}, y={busiest[0]}")


def can_show_browser():
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return False
    try:
        webbrowser.get()
    except webbrowser.Error:
        return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=Path, default=Path("out"))
    ap.add_argument("--no-browser", action="store_true")
    args = ap.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    describe_recording(np.load(RECORDING))
    pages = []
    for name in ("graph_page", "activity_page", "network_page", "spike_page", "recording_page", "inspection",
                 "sample_recordings"):
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as e:
            if e.name != name:
                raise
            continue
        pages += module.write(args.out)

    show = not args.no_browser and can_show_browser()
    for page in pages:
        print(f"wrote {page.resolve()}")
        if show and page.suffix == ".html":
            webbrowser.open(page.resolve().as_uri())


if __name__ == "__main__":
    main()
