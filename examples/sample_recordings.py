"""The bundled recording in every format the package reads, for trying the command.

    python examples/sample_recordings.py [OUT_DIR]

`write(out_dir)` writes the rotating bar (128 x 128, 1 s) as out_dir/bar.raw
(Prophesee EVT 3.0), bar_evt2.raw (EVT 2.0), bar_evt21.raw (EVT 2.1), bar.dat
(DAT v2), bar.bin (N-MNIST), bar.aedat4 (AEDAT 4; needs lz4, the `aedat`
extra), bar.npy and bar.npz, and a frame stack of it as bar_frames.npy, and
returns their paths. The writers are the test
suite's (tests/writers.py): reading a file back gives the array written.
"""
import sys
from pathlib import Path

import numpy as np

from spike_page import load_events
from zelq.viz import spikes

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import writers  # noqa: E402

SENSOR = (128, 128)
# file name -> (writer, its options)
FILES = {
    "bar.raw": ("evt3", {"geometry": SENSOR}),
    "bar_evt2.raw": ("evt2", {"geometry": SENSOR}),
    "bar_evt21.raw": ("evt21", {"geometry": SENSOR}),
    "bar.dat": ("dat", {"geometry": SENSOR}),
    "bar.bin": ("nmnist", {}),
    "bar.aedat4": ("aedat4", {"geometry": SENSOR}),
}


def write(out_dir: Path) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = load_events()
    paths = []
    for name, (fmt, options) in FILES.items():
        try:
            paths.append(writers.write(out_dir / name, events, fmt, **options))
        except ImportError as e:  # lz4 for AEDAT 4
            print(f"no {name}: {e}")
    np.save(out_dir / "bar.npy", events)
    np.savez(out_dir / "bar.npz", events=events)
    np.save(out_dir / "bar_frames.npy", spikes.events_to_frames(events, SENSOR, n_frames=12))
    return paths + [out_dir / name for name in ("bar.npy", "bar.npz", "bar_frames.npy")]


if __name__ == "__main__":
    for path in write(Path(sys.argv[1] if len(sys.argv) > 1 else "out")):
        print(path.resolve())
