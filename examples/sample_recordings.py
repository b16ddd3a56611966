"""The bundled recording in every format the package reads, for trying the command.

    python examples/sample_recordings.py [OUT_DIR]

`write(out_dir)` writes the rotating bar (128 x 128, 1 s) with each of the test
suite's writers (tests/support/writers.py: reading a file back gives the array
written): out_dir/bar.raw (Prophesee EVT 3.0), bar_evt2.raw (EVT 2.0),
bar_evt21.raw (EVT 2.1), bar.dat (DAT v2), bar.bin (N-MNIST), bar.aedat4
(AEDAT 4; writing it needs the lz4 package) and any format added there since, and
with tests/support/format_writers.py bar_aedat2.aedat (AEDAT 2.0, DVS128 addresses),
bar_aedat31.aedat (AEDAT 3.1), bar.txt and bar.csv (event text); then
bar.npy, bar.npz and a frame stack of it as bar_frames.npy. It returns their
paths.
"""
import inspect
import sys
from pathlib import Path

import numpy as np

from spike_page import load_events
from zelq.viz import spikes

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tests.support import format_writers  # noqa: E402
from tests.support import writers  # noqa: E402

SENSOR = (128, 128)


def file_names() -> dict:
    """Writer name -> file name: bar<suffix>, or bar_<writer><suffix> where writers share a suffix
    (EVT 3.0 keeps bar.raw); then the formats of tests/support/format_writers.py that need no extra."""
    names = {}
    for fmt, suffix in writers.SUFFIX.items():
        shared = list(writers.SUFFIX.values()).count(suffix) > 1 and fmt != "evt3"
        names[fmt] = f"bar_{fmt}{suffix}" if shared else f"bar{suffix}"
    return {**names, **{name: name for name in OTHERS}}


# file name -> the file's bytes of the events
OTHERS = {
    "bar_aedat2.aedat": lambda ev: format_writers.aedat2(format_writers.dvs128_address(ev["x"], ev["y"], ev["p"] > 0),
                                                         ev["t"]),
    "bar_aedat31.aedat": lambda ev: format_writers.aedat31(ev),
    "bar.txt": lambda ev: format_writers.text_lines(ev, SENSOR),
    "bar.csv": lambda ev: format_writers.csv_lines(ev),
}


def write(out_dir: Path) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = load_events()
    paths = []
    for fmt, name in file_names().items():
        if name in OTHERS:
            (out_dir / name).write_bytes(OTHERS[name](events))
            paths.append(out_dir / name)
            continue
        takes_geometry = "geometry" in inspect.signature(writers.WRITERS[fmt]).parameters
        try:
            paths.append(writers.write(out_dir / name, events, fmt, **({"geometry": SENSOR} if takes_geometry else {})))
        except ImportError as e:  # lz4 for AEDAT 4
            print(f"no {name}: {e}")
    np.save(out_dir / "bar.npy", events)
    np.savez(out_dir / "bar.npz", events=events)
    np.save(out_dir / "bar_frames.npy", spikes.events_to_frames(events, SENSOR, n_frames=12))
    return paths + [out_dir / name for name in ("bar.npy", "bar.npz", "bar_frames.npy")]


if __name__ == "__main__":
    for path in write(Path(sys.argv[1] if len(sys.argv) > 1 else "out")):
        print(path.resolve())
