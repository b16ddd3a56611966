"""The `zelqviz` command (also `python -m zelq.viz`): pages from files.

    zelqviz graph MODEL.zelq        the graph page of a ZELQ-IR file
    zelqviz events RECORDING        the recording page of a recording file
    zelqviz frames STACK.npy        the spike page of a binned frame stack

Mistakes print one line on stderr: exit status 2 for a bad command line,
1 for a file that cannot be read or written.
"""
from __future__ import annotations

import argparse
import re
import sys
import webbrowser
from pathlib import Path
from typing import Callable, List, Optional

_UNITS = {"us": 1, "µs": 1, "ms": 1_000, "s": 1_000_000, "min": 60_000_000}
_TIME = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(us|µs|ms|s|min)?\s*")


def time_us(text: str) -> int:
    """A time like 2, 2.5s, 10ms, 500us or 1min, in whole microseconds (plain numbers are seconds)."""
    m = _TIME.fullmatch(text)
    if not m:
        raise argparse.ArgumentTypeError(f"invalid time '{text}' (examples: 2.5, 10ms, 2s, 500us, 1min)")
    value = round(float(m.group(1)) * _UNITS[m.group(2) or "s"])
    if value >= 2 ** 62:
        raise argparse.ArgumentTypeError(f"invalid time '{text}' (too large)")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"not a positive time step: {text!r}")
    return value


def sensor_size(text: str) -> tuple:
    m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not m or not int(m.group(1)) or not int(m.group(2)):
        raise argparse.ArgumentTypeError(f"invalid sensor size '{text}' (expected WIDTHxHEIGHT, e.g. 346x260)")
    return int(m.group(1)), int(m.group(2))


def positive_time(text: str) -> int:
    value = time_us(text)
    if not 1 <= value < 2 ** 40:
        raise argparse.ArgumentTypeError(f"invalid time '{text}' (expected at least 1us and under 12 days)")
    return value


def window(text: str) -> tuple:
    start, sep, end = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"invalid window '{text}' (expected START:END, e.g. 5s:6s)")
    a, b = time_us(start), time_us(end)
    if not a < b < 2 ** 62:
        raise argparse.ArgumentTypeError(f"invalid window '{text}' (its end must come after its start)")
    return a, b


def _megabytes(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0.01 <= value <= 1e6:
        raise argparse.ArgumentTypeError(f"invalid page budget '{text}' (expected megabytes from 0.01 to 1000000)")
    return value


def count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"invalid count '{text}' (expected a whole number of at least 1)")
    return n


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class UsageError(Exception):
    """A command line that cannot work, found after parsing: exit status 2."""


class _Status:
    """A one-line status on stderr, rewritten in place; only on a terminal."""

    def __init__(self, quiet: bool) -> None:
        self.on = not quiet and sys.stderr.isatty()
        self.width = 0
        self.last = ""

    def __call__(self, text: str) -> None:
        if self.on and text != self.last:
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()
            self.width, self.last = max(self.width, len(text)), text

    def fraction(self, what: str) -> Callable[[float], None]:
        return lambda f: self(f"{what} {int(f * 100)}%")

    def clear(self) -> None:
        if self.on and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()


def _output(args: argparse.Namespace) -> Path:
    return Path(args.output) if args.output else Path.cwd() / (Path(args.input).stem + ".html")


def _readable(path: str) -> Path:
    p = Path(path)
    with open(p, "rb"):  # a missing or unreadable file fails here, with the OS's reason
        pass
    return p


def _activity(path: Path) -> dict:
    """Recorded activity from an .npz whose keys are node identifiers (arrays: time first)."""
    import zipfile

    import numpy as np
    try:
        with np.load(path, allow_pickle=False) as npz:
            if not isinstance(npz, np.lib.npyio.NpzFile):
                raise ValueError(f"{path}: activity must be an .npz archive of arrays keyed by node identifier")
            # Loaded whole: the summaries read every step of every neuron anyway.
            return {key: npz[key] for key in npz.files}
    except (zipfile.BadZipFile, EOFError) as e:
        raise ValueError(f"{path}: not a readable .npz archive ({e})") from None


def _graph(args: argparse.Namespace, status: _Status) -> Path:
    from .render import render_html
    from .serialize import graph_to_dict
    p = _readable(args.input)
    extra: dict = {}
    if args.payloads is not None:
        extra["payloads"] = args.payloads
    if args.dt is not None:
        if args.activity is None:
            raise UsageError("--dt needs --activity")
        extra["dt"] = args.dt
    status(f"reading {p.name}")
    doc = graph_to_dict(str(p), not args.no_patterns)
    if args.activity is not None:
        status(f"reading {Path(args.activity).name}")
        extra["activity"] = _activity(_readable(args.activity))
    status(f"rendering {len(doc['nodes']):,} nodes")
    page = render_html(doc, args.title if args.title is not None else p.name, **extra)
    out = _output(args)
    status(f"writing {out.name}")
    out.write_text(page, encoding="utf-8")
    return out


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not (0 < value < float("inf")):
        raise argparse.ArgumentTypeError(f"invalid number '{text}' (expected a positive number)")
    return value


def _video_only(args: argparse.Namespace) -> bool:
    return args.video is not None and args.output is None


def _video(args: argparse.Namespace, status: _Status) -> Path:
    from .video import write_video
    p = _readable(args.input)
    out = Path(args.video)
    kwargs = {k: v for k, v in (("frame_period", getattr(args, "frame_period", None)),
                                ("decay", getattr(args, "decay", None)), ("scale", args.scale),
                                ("width", args.width), ("fps", args.fps), ("start", args.start),
                                ("duration", args.duration), ("boxes", args.boxes),
                                ("predictions", args.predictions), ("classes", args.classes),
                                ("sensor_size", args.sensor_size)) if v is not None}
    status(f"writing {out.name}")
    write_video(p, out, **kwargs)
    return out


def _events(args: argparse.Namespace, status: _Status) -> Path:
    if args.video is not None and Path(args.video).suffix.lower() not in (".mp4", ".webm", ".gif"):
        raise UsageError(f"--video must end in .mp4, .webm or .gif: {args.video}")
    for flag in ("scale", "width", "fps"):
        if getattr(args, flag) is not None and args.video is None:
            raise UsageError(f"--{flag} needs --video")
    if _video_only(args):
        return _video(args, status)
    if args.video is not None:
        page = _events_page(args, status)
        print(_video(args, status))
        return page
    return _events_page(args, status)


def _classes(args: argparse.Namespace) -> Optional[List[str]]:
    return None if args.classes is None else [c.strip() for c in args.classes.split(",")]


def _events_page(args: argparse.Namespace, status: _Status) -> Path:
    import warnings

    from . import stream
    p = Path(args.input)
    out = _output(args)
    period = args.frame_period
    if args.frames is not None:
        if period is not None:
            raise UsageError("--frames and --frame-period are two ways to say the same; give one")
        period = stream.frame_period_for(p, args.frames, args.start, args.duration)
    status(f"streaming {p.name} into {out.name}")
    options = {k: v for k, v in (("frame_period", period), ("decay", args.decay), ("max_page_mb", args.max_page_mb),
                                 ("boxes", args.boxes), ("predictions", args.predictions),
                                 ("classes", _classes(args))) if v is not None}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        stream.export_recording_html(p, out, start=args.start, duration=args.duration, windows=args.window or None,
                                     sensor_size=args.sensor_size, title=args.title, **options)
    status.clear()
    for w in caught:
        print(f"zelqviz events: warning: {str(w.message).splitlines()[0]}", file=sys.stderr)
    return out


def _frames(args: argparse.Namespace, status: _Status) -> Path:
    import numpy as np

    from . import spikes
    p = _readable(args.input)
    if p.suffix.lower() != ".npy":
        raise ValueError(f"{p}: expected a frame stack saved as .npy")
    status(f"reading {p.name}")
    try:
        frames = np.load(p, allow_pickle=False)
    except (ValueError, EOFError) as e:
        raise ValueError(f"{p}: not a readable .npy file ({e})") from None
    if frames.ndim not in (3, 4) or frames.dtype.kind not in "biuf":
        raise ValueError(f"{p}: a frame stack is a numeric (T, H, W) or (T, K, H, W) array; "
                         f"this one is {frames.dtype} of shape {frames.shape}")
    status(f"colouring {len(frames):,} frames")
    doc = spikes._frames_document(frames)
    page = spikes._render_spike_html(doc, title=args.title if args.title is not None else p.name)
    out = _output(args)
    status(f"writing {out.name}")
    out.write_text(page, encoding="utf-8")
    return out


def parser() -> argparse.ArgumentParser:
    ap = _Parser(prog="zelqviz", description="Standalone, offline HTML pages from graph, recording and frame files.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="{graph,events,frames}")

    def command(name: str, run: Callable, help: str, metavar: str) -> argparse.ArgumentParser:
        sp = sub.add_parser(name, help=help, description=help)
        sp.add_argument("input", metavar=metavar)
        sp.add_argument("-o", "--output", metavar="PAGE.html",
                        help="page file to write (default: the input's name with .html, in the current directory)")
        sp.add_argument("--title", help="page title (default: the input's file name)")
        sp.add_argument("--open", action="store_true", help="open the page in the web browser")
        sp.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
        sp.set_defaults(run=run)
        return sp

    g = command("graph", _graph, "the graph page of a ZELQ-IR model file", "MODEL.zelq")
    g.add_argument("--no-patterns", action="store_true", help="skip the detection of architectural patterns")
    g.add_argument("--payloads", choices=("auto", "full", "summary"), help="how much of the parameters to embed")
    g.add_argument("--activity", metavar="ACTIVITY.npz",
                   help="recorded activity to draw on the graph: arrays (time first) keyed by node identifier")
    g.add_argument("--dt", type=_seconds, metavar="SECONDS", help="time step of the activity, for rates in Hz")
    e = command("events", _events,
                "the recording page of a recording (.aedat4, .raw, .dat, .bin, .npy, .npz)", "RECORDING")
    e.add_argument("--frame-period", type=positive_time, metavar="TIME",
                   help="time each frame covers (default 20ms); a number alone is seconds")
    e.add_argument("--frames", type=count, metavar="N", help="frame period as the decoded span divided by N")
    e.add_argument("--decay", type=positive_time, metavar="TIME",
                   help="how long an event stays lit in a frame (exponential, default 30ms)")
    e.add_argument("--max-page-mb", type=_megabytes, metavar="MB", help="page budget in MB (default 100)")
    e.add_argument("--window", type=window, action="append", metavar="START:END",
                   help="a span after the first event to hold at full rate (repeatable), e.g. 5s:6s")
    e.add_argument("--sensor-size", type=sensor_size, metavar="WxH",
                   help="sensor size, instead of the file header's or the events' extent")
    e.add_argument("--start", type=time_us, metavar="TIME",
                   help="window start after the first event: seconds, or with a unit (10ms, 2s, 500us, 1min)")
    e.add_argument("--duration", type=time_us, metavar="TIME", help="window length, in the same form")
    e.add_argument("--video", metavar="OUT.mp4",
                   help="write a video (.mp4, .webm or .gif) of the frames; the page too only with -o")
    e.add_argument("--scale", type=_positive, metavar="FACTOR", help="video size: the sensor's times FACTOR")
    e.add_argument("--width", type=count, metavar="PIXELS", help="video size: PIXELS wide, height to scale")
    e.add_argument("--fps", type=_positive, metavar="N", help="video frames a second (default: real time)")
    e.add_argument("--boxes", metavar="BOXES.npy",
                   help="bounding boxes to draw: fields t or ts (µs), x, y, w, h, class_id[, confidence, track_id]")
    e.add_argument("--predictions", metavar="BOXES.npy", help="predicted boxes, the same format, drawn dashed with scores")
    e.add_argument("--classes", metavar="A,B,C", help="class names, in class_id order")
    command("frames", _frames, "the spike page of a frame stack (T, H, W) or (T, K, H, W) saved as .npy",
            "STACK.npy")
    return ap


def _message(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return f"{e.filename}: {e.strerror}" if e.filename else e.strerror
    text = str(e).splitlines()[0] if str(e) else type(e).__name__
    return text if isinstance(e, (ValueError, ImportError)) else f"{type(e).__name__}: {text}"


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command line; returns the exit status (0, 1 for data errors, 2 for usage errors)."""
    ap = parser()
    args = ap.parse_args(argv)
    status = _Status(args.quiet)
    try:
        out = args.run(args, status)
    except UsageError as e:
        status.clear()
        print(f"zelqviz {args.command}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        status.clear()
        return 130
    except Exception as e:  # noqa: BLE001 - every failure ends as one line, never a traceback
        status.clear()
        print(f"zelqviz {args.command}: error: {_message(e)}", file=sys.stderr)
        return 1
    status.clear()
    print(out)
    if args.open:
        webbrowser.open(out.resolve().as_uri())
    return 0
