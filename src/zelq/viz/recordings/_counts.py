"""The counting pass over a recording's pieces (gaps, bursts, backwards times, dead lines, hot
pixels), natively: the health report reads it, and the noise filters take their hot pixels and
denoise bounds from it."""
from __future__ import annotations

import warnings
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from .. import _native
from ._problems import RecordingWarning


def gather(pieces: Iterable[np.ndarray], fields: Sequence[Any], sensor: Tuple[int, int], back: List[int],
           also: Optional[Callable[[np.ndarray], None]] = None, health: Any = None
           ) -> Tuple[Dict[str, Any], Optional[int], List[str]]:
    """The native counts over `pieces` (record arrays with `fields`, in file order) on `sensor`
    ((0, 0): the largest coordinates), the first byte in `back` once they are read, and the
    readers' warnings, caught as notes. `also` sees every piece too; `health` is the native
    check to count into (one that also keeps a sample), else a new one."""
    if health is None:
        health = _native.inspection()._Health(*sensor)
    fx, fy, ft, fp = fields
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RecordingWarning)
        for piece in pieces:
            health.add(piece, fx, fy, ft, fp)
            if also is not None:
                also(piece)
    notes = [str(w.message) for w in caught if issubclass(w.category, RecordingWarning)]
    for w in caught:
        if not issubclass(w.category, RecordingWarning):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return health.result(), (back[0] if back else None), notes
