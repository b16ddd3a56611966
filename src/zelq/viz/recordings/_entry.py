"""The entry points: `read_events`, `iter_events`, `read_sensor_size`, and the time range the
page's time index gives. Each checks its arguments, opens the file (its content must match
its extension) and hands it to the extension's reader."""
from __future__ import annotations

import os
from typing import Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np

from .. import _args, _native
from ._problems import fail
from ._registry import READERS, File, Window
from ._sniffing import open_checked

OUTSIDE = ("refuse", "drop")


def path_arg(path: Any) -> Any:
    if not isinstance(path, (str, os.PathLike)):
        _args.refuse("path", "str", path)
    return path


def outside_arg(outside: Any) -> str:
    if not isinstance(outside, str):
        _args.refuse("outside", "str", outside)
    if outside not in OUTSIDE:
        raise ValueError(f"outside must be 'refuse' or 'drop' (got {outside!r})")
    return outside


def window_args(start: Any, duration: Any) -> Tuple[int, int]:
    """(start, duration) in µs by the one window rule; a duration to the end is the decoders' -1."""
    start, duration = _args.window(start, duration)
    return start, -1 if duration is None else duration


def options_arg(dataset: Any = None, sample: Any = None, topic: Any = None) -> Dict[str, Any]:
    """The choices inside a file: an HDF5 dataset's path, a spike-train sample, a bag's topic."""
    out: Dict[str, Any] = {}
    for name, value in (("dataset", dataset), ("topic", topic)):
        if value is not None:
            if not isinstance(value, str):
                _args.refuse(name, "str", value)
            out[name] = value
    if sample is not None:
        sample = _args.integer("sample", sample)
        if sample < 0:
            raise ValueError(f"sample must not be negative (got {sample})")
        out["sample"] = sample
    return out


def _opened(path: Any, start: Any, duration: Any, outside: Any, options: Dict[str, Any]) -> Tuple[File, Window]:
    path_arg(path)
    start, duration = window_args(start, duration)
    window = Window(start, duration, outside_arg(outside))
    return open_checked(path, options=options), window


def _read(file: File, window: Window) -> np.ndarray:
    try:
        return READERS[file.ext].read(file, window)
    except MemoryError:
        raise fail(file.path, "its events do not fit in memory") from None


def read_events(path: Union[str, os.PathLike], *, start: Optional[int] = None,
                duration: Optional[int] = None, outside: str = "refuse", dataset: Optional[str] = None,
                sample: Optional[int] = None, topic: Optional[str] = None) -> np.ndarray:
    """Read a recording file into an event array with fields x, y (int16), t (int64, µs), p (int8, -1/1).

    The format comes from the extension (.aedat4, .aedat for AEDAT 2.0/3.1, .raw with EVT
    2.0/2.1/3.0, .dat, .bin for N-MNIST / N-Caltech101, .npy, .npz, .h5/.hdf5, .bag and the
    .db3/.mcap of a ROS 2 bag folder, .txt with `t x y p` lines in seconds, .csv with a header of
    role names); the file's first bytes must not be another format's. `dataset` chooses the
    event dataset of an HDF5 file that holds several, `sample` one sample of a spike-train HDF5
    file (x = unit, p = 1), `topic` the event topic of a bag that holds several; each error
    lists the choices, and a choice a format does not take is a ValueError.
    RAW times include the header's '% t0'; NumPy files are returned with their own fields.
    `start` and `duration` (µs) keep the events with first + start <= t < first + start +
    duration, where first is the earliest event's time; reading stops after the window.
    Events outside the sensor the header declares (or the format can address) are refused;
    `outside="drop"` drops them instead, with a RecordingWarning that counts them. A file cut
    short in its data gives the events before the cut, with a RecordingWarning naming the
    byte where it ends. Returns a new array.

    Raises RecordingError (a ValueError) naming the file for an unknown extension, a mislabelled,
    unreadable or corrupt file, or one that is not a regular file; FileNotFoundError for a
    missing one; ImportError naming the extra for HDF5 without h5py, or a bag without
    rosbags; ValueError
    for a negative start or duration or an unknown `outside`. Refuses a path that is not a str
    or path object, non-numeric start/duration and a non-str `outside` with TypeError.
    """
    return _read(*_opened(path, start, duration, outside, options_arg(dataset, sample, topic)))


def iter_events(path: Union[str, os.PathLike], *, start: Optional[int] = None, duration: Optional[int] = None,
                chunk: int = 65_536, outside: str = "refuse", dataset: Optional[str] = None,
                sample: Optional[int] = None, topic: Optional[str] = None, denoise_us: Optional[float] = None,
                refractory_us: Optional[float] = None, drop_hot: bool = False) -> Iterator[np.ndarray]:
    """Iterate over a recording in record arrays of at most `chunk` events, in file order.

    The default piece (64 Ki events, under 1 MB) stays in the cache while the caller works on it:
    a full pass over a long file takes a sixth less time than with pieces of a million events.

    The arrays have the fields `read_events` returns, and together they equal what it returns
    for the same `start`, `duration` (µs, from the earliest event's time) and `outside`. RAW,
    DAT and N-MNIST files are decoded piece by piece, so memory stays bounded whatever the
    file's length; a window in an EVT file is found by its time-high words, not by decoding
    what lies before it. AEDAT 4, HDF5 and bags are read a packet, slice or message at a time;
    NumPy files are read whole and then handed out in pieces.
    Where a file's times go backwards after the first event, a windowed iteration warns naming
    the byte offset and reads on to the end of the file. A file cut short warns, and events
    outside the sensor are dropped with a warning (outside="drop") or refused, once the
    iteration reaches the end of the file.

    `denoise_us`, `refractory_us` and `drop_hot` give the survivors of the noise filters, exactly
    as `filter_events` filters the whole recording on its sensor (the header's, else the events'
    extent), natively and with their state carried from piece to piece; hot pixels, denoise and a
    file without a header size read the file once first to count. They take the whole recording:
    with a window they raise ValueError.

    Raises as `read_events` does, when called; ValueError for a chunk below 1, TypeError for a
    non-numeric one.
    """
    path_arg(path)
    start, duration = window_args(start, duration)
    chunk = _args.integer("chunk", chunk)
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1 (got {chunk})")
    window = Window(start, duration, outside_arg(outside))
    from .. import filters
    wanted = filters.settings_of(denoise_us, refractory_us, drop_hot)
    if wanted.on and not window.whole:
        raise ValueError("the noise filters take the whole recording: iterate without start and duration")
    file = open_checked(path, options=options_arg(dataset, sample, topic))
    reader = READERS[file.ext]
    if wanted.on:
        return _filtered(file, window, chunk, wanted)
    if reader.iterate is not None:
        return reader.iterate(file, window, chunk)
    whole = reader.read(file, window)
    return (whole[i:i + chunk] for i in range(0, len(whole), chunk))


def _pieces(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    reader = READERS[file.ext]
    if reader.iterate is not None:
        return reader.iterate(file, window, chunk)
    whole = reader.read(file, window)
    return (whole[i:i + chunk] for i in range(0, len(whole), chunk))


def _filtered(file: File, window: Window, chunk: int, wanted: Any) -> Iterator[np.ndarray]:
    """The filter stage over the file's pieces, after a counting pass where one is needed."""
    from .. import filters
    from ._counts import gather
    reader = READERS[file.ext]
    sensor = reader.sensor_size(file) if reader.sensor_size is not None else None
    counts = None
    if wanted.needs_counts or sensor is None:
        counts = gather(_pieces(file, window, chunk), ("x", "y", "t", "p"), sensor or (0, 0), [])[0]
        sensor = sensor or (max(int(counts["width"]), 1), max(int(counts["height"]), 1))
    stage = filters.stage(wanted, sensor, counts if wanted.needs_counts else None)
    return filters.filtered_pieces(_pieces(file, window, chunk), stage)


def read_sensor_size(path: Union[str, os.PathLike], *, dataset: Optional[str] = None,
                     topic: Optional[str] = None) -> Optional[Tuple[int, int]]:
    """The sensor size (width, height) a recording's header gives, or None when it gives none.

    AEDAT 4 event streams, RAW headers ('% geometry', '% format ...;width=;height=') and DAT
    headers carry one, AEDAT 3.1 its source line, AEDAT 2.0 its chip (else its largest
    coordinates), HDF5 files width/height or geometry attributes, bags their messages' width and
    height, text files a first `W H` line; N-MNIST, NumPy and CSV files do not. Raises RecordingError for an unknown,
    mislabelled or unreadable file, or a header size that is not a sensor's (each side 1 to
    MAX_SENSOR_SIDE); FileNotFoundError for a missing one; refuses a path that is not a str or
    path object with TypeError.
    """
    path_arg(path)
    file = open_checked(path, options=options_arg(dataset, None, topic))
    sensor_size = READERS[file.ext].sensor_size
    return None if sensor_size is None else sensor_size(file)


def time_range(path: Union[str, os.PathLike]) -> Optional[Tuple[int, int]]:
    """(first, last) event times of a recording in µs (with the header's t0), or None without events.

    For RAW files this costs a few time-high probes and the decoding of the last time-high
    word's events; the first is the first event in file order, the last the latest time
    among the final events (the recording's extent when its times rise). Events outside the
    sensor do not count; a file cut short is read up to its cut."""
    path_arg(path)
    file = open_checked(path)
    reader = READERS[file.ext]
    if reader.time_range is not None:
        return reader.time_range(file)
    ev = _read(file, Window())
    t = ev[_native.events()._get_event_fields(ev)[2]]
    return (int(t.min()), int(t.max())) if len(t) else None
