"""An event recording binned into the steps of a network's activity.

Step k holds the events of [t0 + k * dt, t0 + (k + 1) * dt), t0 in µs (by default
the recording's first event). Only that span is read, in one streaming pass over
the file, and each piece of events is counted with one `bincount`. The counts
come as ON/OFF frames (T, 2, H, W), from which `as_input` makes the Input node's
own layout:

- (2, H, W): ON in channel 0, OFF in channel 1;
- (1, H, W) or (H, W): every event;
- (N,): index y * W + x, W the sensor's width (its header's, or `sensor_size=`).

What falls outside the Input's shape, and steps that the recording does not
reach, are warned of, never dropped in silence.
"""
from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Tuple

import numpy as np

from .. import _args

# Events read at a time from a file: a piece's counts stay in cache.
_CHUNK = 1 << 16


@dataclass
class BinnedInput:
    frames: np.ndarray        # (T, 2, H, W) uint32: ON, OFF counts per step and pixel
    t0: int                   # µs, the start of step 0
    dt_us: float
    sensor_width: int         # the W of an (N,) input's index
    events: int               # events counted into the steps
    outside: int              # events in the span but outside the Input's shape


def _grid(shape: Tuple[int, ...], width: Optional[int], node: str) -> Tuple[int, int]:
    """(H, W) of the ON/OFF frames for an Input of `shape`."""
    if len(shape) == 3 and shape[0] in (1, 2):
        return shape[1], shape[2]
    if len(shape) == 2:
        return shape[0], shape[1]
    if len(shape) == 1:
        if width is None:
            raise ValueError(f"Input node {node!r} has shape {shape}: its index y * W + x needs the sensor's "
                             "width, from the recording's header or sensor_size=")
        return max(1, math.ceil(shape[0] / width)), width
    raise ValueError(f"Input node {node!r} has shape {shape}; events go into (2, H, W), (1, H, W), (H, W) or (N,)")


def _sensor_arg(sensor_size: Any) -> Optional[Tuple[int, int]]:
    if sensor_size is None:
        return None
    if type(sensor_size) is not tuple:
        _args.refuse("sensor_size", "tuple", sensor_size)
    if len(sensor_size) != 2:
        raise ValueError(f"sensor_size must be (width, height), not {sensor_size!r}")
    w, h = (_args.integer("sensor_size", v) for v in sensor_size)
    if w < 1 or h < 1:
        raise ValueError(f"sensor_size must be two positive sides, not {sensor_size!r}")
    return w, h


class _Counter:
    """ON/OFF counts per step, added a piece of events at a time."""

    def __init__(self, steps: int, grid: Tuple[int, int], width: int, t0: int, dt_us: float, flat: Optional[int]):
        self.frames = np.zeros((steps, 2) + grid, np.uint32)
        self.steps, self.grid, self.width, self.t0, self.dt_us, self.flat = steps, grid, width, t0, dt_us, flat
        self.events = self.outside = 0
        self.first_t: Optional[int] = None
        self.last_t: Optional[int] = None

    def add(self, x: np.ndarray, y: np.ndarray, t: np.ndarray, on: np.ndarray) -> None:
        step = np.floor((t - self.t0) / self.dt_us)
        span = (step >= 0) & (step < self.steps)
        if not span.any():
            return
        x, y, t, on, step = x[span], y[span], t[span], on[span], step[span].astype(np.int64)
        tmin, tmax = int(t.min()), int(t.max())
        self.first_t = tmin if self.first_t is None else min(self.first_t, tmin)
        self.last_t = tmax if self.last_t is None else max(self.last_t, tmax)
        h, w = self.grid
        x = x.astype(np.int64)
        y = y.astype(np.int64)
        if self.flat is not None:  # an (N,) input: y * W + x below N, W the sensor's width
            index = y * self.width + x
            inside = (x >= 0) & (x < self.width) & (y >= 0) & (index < self.flat)
            y, x = np.divmod(index, w)
        else:
            inside = (x >= 0) & (x < w) & (y >= 0) & (y < h)
        self.outside += int(np.count_nonzero(~inside))
        if not inside.all():
            x, y, step, on = x[inside], y[inside], step[inside], on[inside]
        if not len(step):
            return
        self.events += len(step)
        lo, hi = int(step.min()), int(step.max())
        cell = ((step - lo) * 2 + (~on).astype(np.int64)) * (h * w) + y * w + x
        counts = np.bincount(cell, minlength=(hi - lo + 1) * 2 * h * w)
        self.frames[lo:hi + 1] += counts.reshape(hi - lo + 1, 2, h, w).astype(np.uint32)


def _event_fields(events: np.ndarray) -> Tuple[str, str, str, Optional[str]]:
    from .. import spikes
    xf, yf, tf, pf = spikes._get_event_fields(events)
    if xf is None or yf is None or tf is None:
        raise ValueError("inputs: an event array needs x, y and time fields")
    return xf, yf, tf, pf


def _pieces_of_array(events: np.ndarray) -> Tuple[Iterable[np.ndarray], Tuple[str, str, str, Optional[str]], Optional[int]]:
    fields = _event_fields(events)
    first = int(events[fields[2]].min()) if len(events) else None
    return [events], fields, first


def _first_event_time(path: Any) -> Optional[int]:
    from .. import iter_events
    pieces = iter_events(path, chunk=1)
    try:
        head = next(iter(pieces), None)
    finally:
        close = getattr(pieces, "close", None)
        if close:
            close()
    return None if head is None or not len(head) else int(head["t"][0])


def bin_recording(inputs: Any, shape: Tuple[int, ...], steps: int, dt: float, *, t0: Any = None,
                  sensor_size: Any = None, node: str = "input") -> BinnedInput:
    """The events of `inputs` (a recording path or an event array) in `steps` steps of `dt` s from `t0` µs."""
    sensor = _sensor_arg(sensor_size)
    t0 = _args.integer("t0", t0, none=True)
    dt_us = dt * 1e6
    if isinstance(inputs, np.ndarray):
        if inputs.dtype.names is None:
            raise TypeError("inputs must be a recording path or a structured event array, "
                            f"not an array of {inputs.dtype}")
        _, fields, first = _pieces_of_array(inputs)
        width = sensor[0] if sensor else None
        pieces: Iterable[np.ndarray] = (inputs,)
    elif isinstance(inputs, (str, bytes, os.PathLike)):
        from .. import iter_events, read_sensor_size
        path = os.fsdecode(inputs)
        header = read_sensor_size(path)
        width = sensor[0] if sensor else header[0] if header else None
        first = _first_event_time(path)
        fields = ("x", "y", "t", "p")
        if first is None:
            pieces = ()
        else:
            start = max(0, (t0 if t0 is not None else first) - first)
            span = math.ceil(steps * dt_us) + 1
            pieces = iter_events(path, start=start, duration=span, chunk=_CHUNK)
    else:
        _args.refuse("inputs", "str", inputs)
    if t0 is None:
        t0 = first if first is not None else 0
    flat = shape[0] if len(shape) == 1 else None
    grid = _grid(shape, width, node)
    counter = _Counter(steps, grid, width or grid[1], t0, dt_us, flat)
    xf, yf, tf, pf = fields
    for piece in pieces:
        on = piece[pf] > 0 if pf is not None else np.ones(len(piece), bool)
        counter.add(piece[xf], piece[yf], piece[tf].astype(np.int64), on)
    _warn_gaps(counter, steps, node)
    return BinnedInput(counter.frames, t0, dt_us, counter.width, counter.events, counter.outside)


def _warn_gaps(c: _Counter, steps: int, node: str) -> None:
    from .. import RecordingWarning
    if c.outside:
        warnings.warn(f"inputs: {c.outside:,} events of the activity's span lie outside the shape of Input "
                      f"node {node!r} and are not counted", RecordingWarning, stacklevel=3)
    if c.first_t is None or c.last_t is None:
        warnings.warn(f"inputs: the recording has no events in the activity's span: it lacks steps 0 to "
                      f"{steps - 1}", RecordingWarning, stacklevel=3)
        return
    first_step = int((c.first_t - c.t0) // c.dt_us)
    last_step = int((c.last_t - c.t0) // c.dt_us)
    if first_step > 0:
        warnings.warn(f"inputs: the recording starts after the activity's first step: it lacks steps 0 to "
                      f"{first_step - 1}", RecordingWarning, stacklevel=3)
    if last_step < steps - 1:
        warnings.warn(f"inputs: the recording ends before the activity's last step: it lacks steps "
                      f"{last_step + 1} to {steps - 1}", RecordingWarning, stacklevel=3)


def as_input(binned: BinnedInput, shape: Tuple[int, ...]) -> np.ndarray:
    """The counts in the Input node's own layout (T, *shape)."""
    f = binned.frames
    if len(shape) == 3 and shape[0] == 2:
        return f
    both = f.sum(axis=1, dtype=np.uint32)
    if len(shape) == 3:
        return both[:, None]
    if len(shape) == 2:
        return both
    return both.reshape(len(f), -1)[:, :shape[0]]
