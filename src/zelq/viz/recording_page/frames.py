"""The recording page's frames as RGB images, for video: one pass of the engine, frame by frame."""
from __future__ import annotations

import os
from typing import Iterator, List, Optional, Tuple, Union

import numpy as np

from .. import _args, filters
from .._palettes import DEFAULT_BACKGROUND, DEFAULT_PALETTE
from ..recordings import _sources as sources
from ..recordings._sources import Source
from .arguments import frame_look, palette_colours
from .filtering import stage_for, through
from .engine import RENDER, Pass, conclude, open_pass, pump
from .span import Span, extent_of, span_of


def recording_frames(recording: Union[str, os.PathLike, np.ndarray], *, start: Optional[int] = None,
                     duration: Optional[int] = None, frame_period: int = 20_000, decay: float = 30_000,
                     gain: float = 1.0, palette: str = DEFAULT_PALETTE, background: str = DEFAULT_BACKGROUND,
                     scale: int = 1, sensor_size: Optional[Tuple[int, int]] = None,
                     outside: str = "refuse", dataset: Optional[str] = None, sample: Optional[int] = None,
                     topic: Optional[str] = None, denoise_us: Optional[float] = None,
                     refractory_us: Optional[float] = None,
                     drop_hot: bool = False) -> Iterator[Tuple[int, np.ndarray]]:
    """The recording page's frames as RGB images: yields (frame start in µs, uint8 array (H*scale, W*scale, 3)).

    Frame k covers t0 + k * frame_period <= t < t0 + (k + 1) * frame_period, where t0 is the first
    event's time plus `start`; the frames cover `duration` (default: through the last event).
    Each pixel shows S = a * S + C per polarity (a = exp(-frame_period / decay), C the frame's count
    clipped to 255 as in the page's images, S = 0 before the first frame), level = 1 - exp(-S / gain),
    blended from the palette's background towards its ON and OFF colours and rounded half up.
    The image is the sensor's size: `sensor_size`, the header's, or the events' extent.
    Memory stays bounded whatever the recording's length. A file is read as `read_events` reads it:
    events outside the sensor are refused, or dropped with `outside="drop"`, at the end; a file cut
    short gives the frames of the events before the cut and a RecordingWarning. `denoise_us`,
    `refractory_us` and `drop_hot` show the survivors of the noise filters, as `filter_events`
    filters the whole recording on its sensor (a counting pass first for hot pixels or denoise).
    """
    start_us, duration_us = _args.window(start, duration)
    period, decay, gain = frame_look(frame_period, decay, gain)
    colours = palette_colours(palette, background)
    scale = int(_args.integer("scale", scale))
    if not 1 <= scale <= 16:
        raise ValueError(f"scale must be from 1 to 16 (got {scale})")
    wanted = filters.settings_of(denoise_us, refractory_us, drop_hot)
    src = sources.open_source(recording, outside, sources.options_arg(dataset, sample, topic))
    span = span_of(src, start_us, duration_us, sensor_size)
    if wanted.on:
        src = through(src, stage_for(src, span.sensor, wanted))
    return _frames(src, span, period, decay, gain, colours, scale)


def _frames(src: Source, span: Span, period: int, decay: float, gain: float, colours: List[float],
            scale: int) -> Iterator[Tuple[int, np.ndarray]]:
    run = open_pass(src, RENDER, span.sensor, span.t0, span.t1, span.t_first, span.to_end, period_us=period,
                  decay_us=float(decay), gain=float(gain), palette=colours, scale=scale)
    warned = False
    for _ in pump(run, span.t0, span.t1):
        warned = warned or _warn_backwards(src, run)
        yield from run.engine.take_frames()
    yield from run.engine.take_frames()
    warned or _warn_backwards(src, run)
    conclude(run, run.engine.result())


def _warn_backwards(src: Source, run: "Pass") -> bool:
    """Warns, once, where a file's times go backwards: frames already given cannot be redone."""
    if run.back is None:
        return False
    sources.warn(src.file, f"times go backwards at byte {run.back}: a late event is drawn in the frame "
                               "being drawn when it is read, and a window may miss events after that byte")
    return True


def frame_period_for(recording: Union[str, os.PathLike, np.ndarray], n_frames: int, start: Optional[int] = None,
                     duration: Optional[int] = None, *, dataset: Optional[str] = None, sample: Optional[int] = None,
                     topic: Optional[str] = None) -> int:
    """The frame period (µs) that splits the decoded span of a recording into n_frames frames."""
    start_us, duration_us = _args.window(start, duration)
    if duration_us is None:
        extent = extent_of(sources.open_source(recording, "refuse", sources.options_arg(dataset, sample, topic)))
        duration_us = max(extent["t_last"] + 1 - extent["t_first"] - start_us, 1) if extent["have_events"] else 1
    return max(1, -(-duration_us // n_frames))
