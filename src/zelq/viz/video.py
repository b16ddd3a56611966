"""Video of a recording (MP4, WebM, GIF): the recording page's frames, one after another.

Each frame is what the recording page shows at the same period, decay, gain and
colours (docs/recording-document.md), with the boxes whose time falls in the
frame and a time stamp. Frames are made, drawn on and encoded one at a time,
so memory stays bounded whatever the recording's length. Encoding uses PyAV
(FFmpeg inside its wheels): `pip install zelqviz[video]`.
"""
from __future__ import annotations

import itertools
import math
import os
import warnings
from fractions import Fraction
from pathlib import Path
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

from zelq.viz import _args, pagefiles
from zelq.viz._palettes import palette as palette_of
from zelq.viz.boxes import CLASS_COLOURS, Boxes, boxes_of, class_names, read_boxes
from zelq.viz.video_drawing import Painter

__all__ = ["write_video", "array_frames", "read_boxes", "boxes_of", "Boxes", "CLASS_COLOURS", "FORMATS"]

FORMATS = (".mp4", ".webm", ".gif")
_MISSING_AV = "writing video needs PyAV, which is not installed. Install with: pip install zelqviz[video]"
_FADED = np.float32(1e-4)


# ---------------------------------------------------------------- frames

def array_frames(events: np.ndarray, sensor_size: Tuple[int, int], *, frame_period: int = 20_000,
                 decay: int = 30_000, gain: float = 1.0, palette: str = "blue-red", background: str = "dark",
                 start: Optional[int] = None, duration: Optional[int] = None) -> Iterator[Tuple[int, np.ndarray]]:
    """(t_start µs, RGB uint8 (H, W, 3)) of every frame of an event array, as the page shows them.

    Frames start at the first event plus `start` and run for `duration` (default:
    to the last event). Works frame by frame: one frame's counts at a time.
    """
    pal = palette_of(palette, background)
    w, h = sensor_size
    t = events["t"]
    if len(t) > 1 and np.any(t[1:] < t[:-1]):
        events = events[np.argsort(t, kind="stable")]
        t = events["t"]
    if not len(t):
        return
    t0 = int(t[0]) + (start or 0)
    end = int(t[-1]) + 1 if duration is None else t0 + duration
    n = max(0, -(-(end - t0) // frame_period))
    edges = np.searchsorted(t, t0 + frame_period * np.arange(n + 1, dtype=np.int64), "left")
    x, y, p = events["x"], events["y"], events["p"]
    a = np.float32(math.exp(-frame_period / decay))
    npix = h * w
    surface = np.zeros((2, npix), np.float32)  # ON, OFF planes
    flat = surface.reshape(-1)
    bg = np.array(pal["background"], np.float32)
    d_on = np.array(pal["on"], np.float32) - bg
    d_off = np.array(pal["off"], np.float32) - bg
    blank = np.empty((npix, 3), np.uint8)
    blank[:] = np.floor(np.clip(bg, 0, 255) + 0.5).astype(np.uint8)
    # Few pixels lit: decay and colour only those (a surface under FADED moves no
    # channel by a tenth of a level, so dropping it changes no rounded colour).
    # Many lit: whole planes, which NumPy does faster than gathers.
    live = np.zeros(npix, bool)
    active = np.zeros(0, np.int64)
    dense = False
    for k in range(n):
        lo, hi = edges[k], edges[k + 1]
        if dense:
            surface *= a
        elif len(active):
            s = surface[:, active] * a
            faded = s.max(axis=0) < _FADED
            s[:, faded] = 0
            surface[:, active] = s
            live[active[faded]] = False
        if hi > lo:
            key = (p[lo:hi] <= 0) * npix + (y[lo:hi].astype(np.int64) * w + x[lo:hi])
            key, count = np.unique(key, return_counts=True)
            flat[key] += np.minimum(count, 255).astype(np.float32)
            if not dense:
                live[key % npix] = True
        if not dense and (len(active) or hi > lo):
            active = np.flatnonzero(live)
        want_dense = len(active) > npix // 4 if not dense else bool(np.count_nonzero(surface.max(axis=0) >= _FADED) > npix // 8)
        if dense and not want_dense:
            live = surface.max(axis=0) >= _FADED
            surface[:, ~live] = 0
            active = np.flatnonzero(live)
        dense = want_dense
        if dense:
            frame = _colour_planes(surface, gain, bg, d_on, d_off)
        else:
            frame = blank.copy()
            if len(active):
                level = 1 - np.exp(surface[:, active] * np.float32(-1.0 / gain))
                rgb = bg + np.float32(0.5) + level[0][:, None] * d_on + level[1][:, None] * d_off
                frame[active] = np.floor(np.clip(rgb, 0, 255)).astype(np.uint8)
        yield t0 + k * frame_period, frame.reshape(h, w, 3)


def _colour_planes(surface: np.ndarray, gain: float, bg: np.ndarray, d_on: np.ndarray,
                   d_off: np.ndarray) -> np.ndarray:
    """RGB (N, 3) uint8 of whole ON/OFF planes: tone curve, then palette blend, channel by channel."""
    level = np.multiply(surface, np.float32(-1.0 / gain))
    np.exp(level, out=level)
    np.subtract(np.float32(1), level, out=level)
    out = np.empty((surface.shape[1], 3), np.uint8)
    channel = np.empty(surface.shape[1], np.float32)
    for c in range(3):
        np.multiply(level[0], d_on[c], out=channel)
        channel += level[1] * d_off[c]
        channel += bg[c] + np.float32(0.5)
        np.clip(channel, 0, 255, out=channel)
        out[:, c] = channel  # truncation is the floor of a non-negative value
    return out


def _engine_frames():
    """The streaming engine's frame iterator, when this build has it."""
    try:
        from zelq.viz.recording_page import frames
    except ImportError:
        return None
    return getattr(frames, "recording_frames", None)


_SIDE_LIMIT = 16384  # the widest sensor any supported format addresses


def _frame_source(recording: Any, sensor: Optional[Tuple[int, int]], outside: str = "refuse",
                  **kw: Any) -> Iterator[Tuple[int, np.ndarray]]:
    """The frames of a recording file or event array, from the streaming engine where it can."""
    engine = _engine_frames()
    if isinstance(recording, np.ndarray):
        if recording.dtype.names is None or not {"x", "y", "t", "p"} <= set(recording.dtype.names):
            raise ValueError("recording must be an event record array with the fields x, y, t, p")
        if sensor is None and engine is not None:
            return engine(recording, **kw)
        if sensor is None:
            sensor = (int(recording["x"].max(initial=-1)) + 1, int(recording["y"].max(initial=-1)) + 1)
        else:
            inside = (recording["x"] < sensor[0]) & (recording["y"] < sensor[1])
            beyond = len(recording) - int(np.count_nonzero(inside))
            if beyond and outside == "refuse":
                raise ValueError(f"{beyond:,} events lie outside the {sensor[0]} x {sensor[1]} sensor "
                                 f"(use outside=\"drop\" to leave them out)")
            if beyond:
                recording = recording[inside]
        return array_frames(recording, sensor, **kw)
    if not isinstance(recording, (str, os.PathLike)):
        _args.refuse("recording", "str, os.PathLike or numpy.ndarray", recording)
    if engine is not None:  # the file's own sensor size unless one is given; bounded memory
        return engine(recording, sensor_size=sensor, outside=outside, **kw)
    from zelq.viz.recordings import read_events, read_sensor_size
    choices = {k: kw.pop(k) for k in ("dataset", "sample", "topic") if k in kw}
    events = read_events(recording, **choices)
    if sensor is None:
        sensor = read_sensor_size(recording, **{k: v for k, v in choices.items() if k != "sample"})
    if sensor is None:  # a file without a header size: the events' extent, as for an array
        sensor = (int(events["x"].max(initial=-1)) + 1, int(events["y"].max(initial=-1)) + 1)
    return array_frames(events, sensor, **kw)


# ---------------------------------------------------------------- encoding

def _resized(rgb: np.ndarray, ow: int, oh: int, sensor: Tuple[int, int]) -> np.ndarray:
    """An RGB frame scaled to ow x oh: averaged down, nearest pixel up."""
    import av
    return av.VideoFrame.from_ndarray(rgb, format="rgb24").reformat(
        ow, oh, format="rgb24", interpolation="AREA" if ow < sensor[0] else "POINT").to_ndarray()


def _output_size(sensor: Tuple[int, int], scale: Optional[float], width: Optional[int], even: bool) -> Tuple[int, int]:
    w, h = sensor
    if width is not None:
        ow, oh = width, max(1, round(h * width / w))
    elif scale is not None:
        ow, oh = max(1, round(w * scale)), max(1, round(h * scale))
    else:
        ow, oh = w, h
    if even:  # 4:2:0 video needs even sides
        ow, oh = max(2, ow + (ow & 1)), max(2, oh + (oh & 1))
    if ow > 8192 or oh > 8192:
        raise ValueError(f"video size {ow} x {oh} is too large (at most 8192 a side)")
    return ow, oh


def _gif_palette(pal: Dict[str, Tuple[int, int, int]]) -> Tuple[np.ndarray, np.ndarray]:
    """A GIF palette that holds the frames' own colours (a 15 x 15 grid of ON and OFF
    levels over the background) plus the box and text colours, and a 32x32x32
    lookup from RGB to its nearest entry."""
    bg, on, off = (np.array(pal[k], np.float64) for k in ("background", "on", "off"))
    lv = np.linspace(0, 1, 15)
    grid = bg + lv[:, None, None] * (on - bg) + lv[None, :, None] * (off - bg)
    colours = np.concatenate([np.clip(grid.reshape(-1, 3), 0, 255), np.array(CLASS_COLOURS, np.float64),
                              np.array([(235, 235, 235), (0, 0, 0), (128, 128, 128)], np.float64)])
    extra = np.array([(r, g, b) for r in (0, 128, 255) for g in (0, 128, 255) for b in (0, 128, 255)], np.float64)
    colours = np.concatenate([colours, extra])[:256]
    table = np.zeros((256, 4), np.uint8)
    table[:, 0] = 255
    table[:len(colours), 1:] = np.floor(colours + 0.5).astype(np.uint8)
    q = (np.arange(32) * 8 + 4).astype(np.float64)
    cube = np.stack(np.meshgrid(q, q, q, indexing="ij"), -1).reshape(-1, 1, 3)
    lookup = np.empty(len(cube), np.uint8)
    for s in range(0, len(cube), 4096):
        d = ((cube[s:s + 4096] - colours[None]) ** 2).sum(-1)
        lookup[s:s + 4096] = d.argmin(1)
    return table, lookup


def _no_frames(recording: Any, outside: str, start: Optional[int], duration: Optional[int],
               choices: Dict[str, Any]) -> ValueError:
    """The error of a video without frames, giving the recording's span as the pages do."""
    from .recording_page.span import extent_text, span_of
    from .recordings import _sources as sources
    message = "no frames to write: the recording or the window holds no events"
    try:
        options = sources.options_arg(*(choices.get(k) for k in ("dataset", "sample", "topic")))
        span = span_of(sources.open_source(recording, outside, options), start or 0, duration)
    except (OSError, ValueError):  # the span is a courtesy: the error stays the empty video's
        return ValueError(message)
    return ValueError(f"{message} ({extent_text(span)})")


def write_video(recording: Any, output_path: Any, *, frame_period: int = 20_000, decay: int = 30_000,
                gain: float = 1.0, palette: str = "blue-red", background: str = "dark",
                scale: Optional[float] = None, width: Optional[int] = None, fps: Optional[float] = None,
                boxes: Any = None, predictions: Any = None, classes: Any = None,
                start: Optional[int] = None, duration: Optional[int] = None,
                sensor_size: Optional[Tuple[int, int]] = None, outside: str = "refuse",
                dataset: Optional[str] = None, sample: Optional[int] = None, topic: Optional[str] = None,
                denoise_us: Optional[float] = None, refractory_us: Optional[float] = None,
                drop_hot: bool = False) -> str:
    """Write the frames of `recording` (a file or an event array) as a video; returns its path.

    The format follows the extension of `output_path`: .mp4 (H.264), .webm (VP9)
    or .gif. Frame k shows first + start + k * frame_period <= t < ... + frame_period
    (µs) after exponential decay of `decay` µs, the tone curve of `gain` and the
    colours of `palette` on a "dark" or "light" `background`, as the recording
    page does, with a time stamp and the `boxes` (labels, solid) and
    `predictions` (dashed, with scores) whose time lies in the frame. Boxes are
    .npy paths or record arrays (fields t or ts, x, y, w, h, class_id, optional
    confidence, track_id); `classes` names the class ids ("a,b,c" or a list).
    The size is the sensor's (a file's header or `sensor_size`, else the events'
    extent), or scaled by `scale`, or `width` pixels wide; `fps` defaults to real
    time (1 s / frame_period). A file's events outside its sensor are refused, or
    dropped with `outside="drop"`, as `read_events` does; `dataset`, `sample` and
    `topic` choose inside an HDF5 file or a bag as there. Memory stays bounded:
    one frame at a time. `denoise_us`, `refractory_us` and `drop_hot` show the survivors of the
    noise filters, as `filter_events` filters the whole recording on its sensor. Raises ImportError
    without PyAV, ValueError for bad values.
    """
    if not isinstance(output_path, (str, os.PathLike)):
        _args.refuse("output_path", "str or os.PathLike", output_path)
    out = Path(output_path)
    ext = out.suffix.lower()
    if ext not in FORMATS:
        raise ValueError(f"video must end in .mp4, .webm or .gif, not {out.name[:80]!r}")
    frame_period = _args.integer("frame_period", frame_period)
    decay = _args.integer("decay", decay)
    width = _args.integer("width", width, none=True)
    start = _args.integer("start", start, none=True)
    duration = _args.integer("duration", duration, none=True)
    palette = _args.exact("palette", palette, str)
    background = _args.exact("background", background, str)
    for name, value in (("gain", gain), ("scale", scale), ("fps", fps)):
        if value is not None and (isinstance(value, (str, bytes, bool)) or not isinstance(value, (int, float, np.number))):
            _args.refuse(name, "float", value)
    if frame_period < 1 or decay < 1:
        raise ValueError("frame_period and decay must be at least 1 µs")
    if not (gain > 0 and math.isfinite(gain)):
        raise ValueError(f"gain must be a positive number, not {gain!r}")
    if scale is not None and not (0 < scale <= 64 and math.isfinite(scale)):
        raise ValueError(f"scale must be above 0 and at most 64, not {scale!r}")
    if width is not None and width < 2:
        raise ValueError(f"width must be at least 2, not {width}")
    if fps is not None and not (0 < fps <= 1000):
        raise ValueError(f"fps must be above 0 and at most 1000, not {fps!r}")
    if (start is not None and start < 0) or (duration is not None and duration < 1):
        raise ValueError("start must not be negative and duration must be at least 1 µs")
    if sensor_size is not None:
        if type(sensor_size) is not tuple:
            _args.refuse("sensor_size", "tuple", sensor_size)
        if len(sensor_size) != 2 or not all(isinstance(v, (int, np.integer)) and 1 <= v <= _SIDE_LIMIT
                                            for v in sensor_size):
            raise ValueError(f"sensor_size must be (width, height), each from 1 to {_SIDE_LIMIT}, "
                             f"not {sensor_size!r}")
    pal = palette_of(palette, background)
    labels = boxes_of(boxes, "boxes")
    preds = boxes_of(predictions, "predictions")
    names = class_names(classes)
    try:
        import av
    except ImportError as e:
        raise ImportError(_MISSING_AV) from e

    choices: Dict[str, Any] = {k: v for k, v in (("dataset", dataset), ("sample", sample), ("topic", topic))
                               if v is not None}
    from . import filters
    wanted = filters.settings_of(denoise_us, refractory_us, drop_hot)
    if wanted.on and isinstance(recording, np.ndarray):  # filtered whole, in its own order
        recording = filters.filter_events(recording, sensor_size=sensor_size, denoise_us=wanted.denoise_us,
                                          refractory_us=wanted.refractory_us, hot_pixels=wanted.drop_hot)
    elif wanted.on:
        choices.update(denoise_us=wanted.denoise_us, refractory_us=wanted.refractory_us, drop_hot=wanted.drop_hot)
    frames = _frame_source(recording, sensor_size, outside, frame_period=frame_period, decay=decay, gain=float(gain),
                           palette=palette, background=background, start=start, duration=duration, **choices)
    first_frame = next(iter(frames), None)
    if first_frame is None:
        raise _no_frames(recording, outside, start, duration, choices)
    frames = itertools.chain([first_frame], frames)
    sensor = (first_frame[1].shape[1], first_frame[1].shape[0])
    ow, oh = _output_size(sensor, scale, width, even=ext != ".gif")
    rate = Fraction(fps).limit_denominator(1001) if fps is not None else Fraction(1_000_000, frame_period)
    if rate > 1000:
        rate = Fraction(1000)
    keep = 1  # a GIF's delays are whole hundredths of a second: above 100 fps, every keep-th frame
    if ext == ".gif" and rate > 100:
        keep = math.ceil(rate / 100)
        rate /= keep
        warnings.warn(f"a GIF shows at most 100 frames a second: writing 1 frame in {keep} "
                      f"({float(rate):g} frames a second)", stacklevel=2)
    painter = Painter(ow, oh, ow / sensor[0], oh / sensor[1], names)
    with pagefiles.replacing(out) as partial:
        container = av.open(partial, "w", format={".mp4": "mp4", ".webm": "webm", ".gif": "gif"}[ext])
        try:
            if ext == ".mp4":
                stream = container.add_stream("libx264", rate=rate)
                stream.pix_fmt = "yuv420p"
                stream.options = {"preset": "ultrafast", "crf": "18"}
            elif ext == ".webm":
                stream = container.add_stream("libvpx-vp9", rate=rate)
                stream.pix_fmt = "yuv420p"
                stream.options = {"deadline": "realtime", "cpu-used": "8", "crf": "30", "b": "0", "row-mt": "1"}
            else:
                stream = container.add_stream("gif", rate=rate)
                stream.pix_fmt = "pal8"
                gif_table, gif_lookup = _gif_palette(pal)
            stream.width, stream.height = ow, oh
            first = None
            count = 0
            for index, (t, rgb) in enumerate(frames):
                if index % keep:
                    continue
                if first is None:
                    first = t if start is None else t - start
                if (ow, oh) != sensor:
                    rgb = np.ascontiguousarray(_resized(rgb, ow, oh, sensor))  # drawn on natively
                else:
                    rgb = np.array(rgb, copy=True)  # drawn on: never the iterator's own buffer
                for found, predicted in ((labels, False), (preds, True)):
                    if found is not None:
                        painter.boxes(rgb, found, found.between(t, t + frame_period), predicted)
                painter.stamp(rgb, t, first)
                if ext == ".gif":
                    index = gif_lookup[((rgb[..., 0] >> 3).astype(np.intp) << 10) | ((rgb[..., 1] >> 3).astype(np.intp) << 5)
                                       | (rgb[..., 2] >> 3)]
                    # pal8 takes the (indices, palette) pair, which PyAV's stubs do not declare.
                    frame = av.VideoFrame.from_ndarray((index, gif_table), format="pal8")  # type: ignore[arg-type]
                else:
                    frame = av.VideoFrame.from_ndarray(rgb, format="rgb24")
                frame.pts = count
                for packet in stream.encode(frame):
                    container.mux(packet)
                count += 1
            if count == 0:
                raise _no_frames(recording, outside, start, duration, choices)
            for packet in stream.encode():
                container.mux(packet)
        finally:
            container.close()
    return str(out)
