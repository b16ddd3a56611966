"""The checks of the recording page's and frames' own arguments (the readers check theirs)."""
from __future__ import annotations

from typing import Any, List, Optional, Tuple, Union

import numpy as np

from .. import _args
from .._palettes import palette


def positive(name: str, value: Any, limit: float = 2 ** 62) -> Union[float, np.integer, np.floating]:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        _args.refuse(name, "float", value)
    if not (0 < value <= limit):
        raise ValueError(f"{name} must be positive (got {value!r})")
    return value


def frame_look(frame_period: Any, decay: Any, gain: Any) -> Tuple[int, float, float]:
    """(period, decay, gain) of the frames: what each covers (µs), how long an event stays lit
    (µs) and the tone curve's gain."""
    period = int(_args.integer("frame_period", frame_period))
    if not 1 <= period < 2 ** 40:
        raise ValueError(f"frame_period must be at least 1 µs (got {period})")
    return period, float(positive("decay", decay)), float(positive("gain", gain))


def palette_colours(name: Any, background: Any) -> List[float]:
    """The palette's background, ON and OFF colours as the engine takes them: nine floats."""
    p = palette(name, background)
    return [float(v) for key in ("background", "on", "off") for v in p[key]]


def windows_arg(windows: Any) -> Optional[List[Tuple[int, int]]]:
    if windows is None:
        return None
    out = []
    for w in windows:
        if not isinstance(w, (tuple, list)) or len(w) != 2:
            raise ValueError(f"a window is a (start, end) pair of microseconds (got {w!r})")
        a, b = (int(_args.integer("windows", v)) for v in w)
        if not 0 <= a < b < 2 ** 62:
            raise ValueError(f"a window needs 0 <= start < end (got {a}, {b})")
        out.append((a, b))
    return out
