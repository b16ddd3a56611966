"""What a folder walk makes of a file: whether it is a recording at all (a `.txt` may be notes,
a `.csv` a list of labels), and the parts it holds that are rows of their own: the labelled
segments of a labels CSV beside it (DVS Gesture), or the samples of a spike-train file."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ._registry import READERS
from ._segments import labels_beside, read_segments

Parts = List[Tuple[Dict[str, Any], Any]]


def in_folder(path: Any) -> bool:
    """Whether a file found in a folder, of a recording extension, is a recording."""
    p = Path(os.fspath(path))
    reader = READERS.get(p.suffix.lower())
    return reader is not None and (reader.in_folder is None or reader.in_folder(p))


def file_parts(path: Any) -> Optional[Parts]:
    """(choice, label) of each row a file makes, the choice being what `summarize_recording`
    takes (`span` or `sample`); None for a file that is one row."""
    p = Path(os.fspath(path))
    labels = labels_beside(p)
    if labels is not None:
        return [({"span": (s.start, s.end)}, s.label) for s in read_segments(labels)]
    if p.suffix.lower() in (".h5", ".hdf5"):
        from ._hdf5 import samples
        found = samples(p)
        if found is not None:
            return [({"sample": k}, label) for k, label in found]
    return None
