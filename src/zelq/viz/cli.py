"""The `zelqviz` command (also `python -m zelq.viz`): pages from files.

    zelqviz graph MODEL.zelq        the graph page of a ZELQ-IR file
                                    (--node-data FILE: measures per node as colour modes)
    zelqviz events RECORDING        the recording page of a recording file
    zelqviz frames STACK.npy        the spike page of a binned frame stack
    zelqviz dataset DIR             the dataset page of a folder of recordings (on Dask)
    zelqviz diff A.zelq B.zelq      the comparison page of two ZELQ-IR files
    zelqviz check RECORDING         the recording's health (exit 1 on gaps, backwards times, dead lines)
    zelqviz score TRUTH PRED        predicted boxes scored against labels (precision, recall, AP)
    zelqviz stats MODEL.zelq        per-layer statistics of recorded activity (--activity, --dt)

Mistakes print one line on stderr: exit status 2 for a bad command line,
1 for a file that cannot be read or written.
"""
from __future__ import annotations

import argparse
import os
import re
import sys
import warnings
import webbrowser
from pathlib import Path
from typing import Any, Callable, Dict, List, NoReturn, Optional

from ._machine import memory_budget
from .cli_files import UsageError
from .cli_files import arrays_by_node as _activity
from .cli_files import readable as _readable

_UNITS = {"us": 1, "µs": 1, "ms": 1_000, "s": 1_000_000, "min": 60_000_000}
_TIME = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(us|µs|ms|s|min)?\s*")
# Bounds of numbers on the command line: beyond them a value cannot mean anything.
_TIME_LIMIT = 1 << 62                # µs: about 146,000 years
_COUNT_LIMIT = 1_000_000
_SIDE_LIMIT = 16384                  # the widest sensor any supported format addresses


def time_us(text: str) -> int:
    """A time like 2, 2.5s, 10ms, 500us or 1min, in whole microseconds (plain numbers are seconds)."""
    m = _TIME.fullmatch(text)
    if not m:
        raise argparse.ArgumentTypeError(f"invalid time '{text}' (examples: 2.5, 10ms, 2s, 500us, 1min)")
    value = round(float(m.group(1)) * _UNITS[m.group(2) or "s"])
    if value > _TIME_LIMIT:
        raise argparse.ArgumentTypeError(f"time '{text}' out of range (at most {_TIME_LIMIT // 31_557_600_000_000:,} years)")
    return value


def step_seconds(text: str) -> float:
    """A time step like 1ms, 500us, 0.001 or 1e-3, in seconds (plain numbers are seconds)."""
    m = _TIME.fullmatch(text)
    try:
        value = float(m.group(1)) * _UNITS[m.group(2) or "s"] / 1e6 if m else float(text)
    except ValueError:
        value = float("nan")
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"invalid time step '{text}' (examples: 1ms, 500us, 0.001)")
    return value


def sensor_size(text: str) -> tuple:
    m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not m or not int(m.group(1)) or not int(m.group(2)):
        raise argparse.ArgumentTypeError(f"invalid sensor size '{text}' (expected WIDTHxHEIGHT, e.g. 346x260)")
    if max(int(m.group(1)), int(m.group(2))) > _SIDE_LIMIT:
        raise argparse.ArgumentTypeError(f"sensor size '{text}' out of range (each side at most {_SIDE_LIMIT})")
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
    if n > _COUNT_LIMIT:
        raise argparse.ArgumentTypeError(f"count '{text}' out of range (at most {_COUNT_LIMIT:,})")
    return n


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def subcommand(self, name: Optional[str]) -> "argparse.ArgumentParser":
        """The parser of the subcommand `name` (this one when there is none)."""
        for action in self._actions:
            if isinstance(action, argparse._SubParsersAction) and name in action.choices:
                return action.choices[name]
        return self

    def parse_args(self, args: Any = None, namespace: Any = None) -> argparse.Namespace:  # type: ignore[override]
        # An option that no parser knows is the subcommand's mistake: point to its own help.
        ns, unknown = self.parse_known_args(args, namespace)
        if unknown:
            self.subcommand(getattr(ns, "command", None)).error(f"unrecognized arguments: {' '.join(unknown)}")
        return ns


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


def _display_name(p: Path) -> str:
    """The file name as a page title: bytes that are not UTF-8 become U+FFFD."""
    return p.name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _write_page(out: Path, page: str) -> Path:
    """Write the page through a new file beside `out`: a failure leaves no partial page."""
    from .pagefiles import write_text
    write_text(out, page)
    return out


# What the recording page holds per sensor pixel at its peak (the engine's count images, the heat
# map's levels and PNG), as measured on a 4096 × 4096 sensor.
_PAGE_BYTES_PER_PIXEL = 32


def _check_page_size(p: Path, args: argparse.Namespace) -> None:
    """Refuse a page whose sensor-sized images would not fit in memory, before reading the events."""
    from .recordings import read_sensor_size
    size = args.sensor_size or read_sensor_size(p)
    if size is None:
        return
    width, height = size
    need = width * height * _PAGE_BYTES_PER_PIXEL
    if need > memory_budget():
        raise UsageError(f"the page's images would take {need / 2**30:.1f} GiB (a {width} × {height} sensor), "
                         "more than this machine's memory; use a smaller --sensor-size")


def _node_data(path: Path) -> dict:
    """Measures per node: {measure: {node: number}} as a JSON object, or CSV rows
    node,measure,value (a first row naming those columns is a header; an empty
    value is no value)."""
    import json

    from .inputfiles import csv_rows, number, text as read_text

    text = read_text(path)
    if path.suffix.lower() == ".json" or (path.suffix.lower() != ".csv" and text.lstrip().startswith("{")):
        try:
            parsed = json.loads(text, parse_int=lambda s: number(s, str(path)),
                                parse_float=lambda s: number(s, str(path)))
        except json.JSONDecodeError as e:
            raise ValueError(f"{path}: not valid JSON ({e})") from None
        except RecursionError:
            raise ValueError(f"{path}: JSON nested too deeply") from None
        if not isinstance(parsed, dict) or not all(isinstance(v, dict) for v in parsed.values()):
            raise ValueError(f"{path}: node data must be a JSON object of measure name to {{node: number}}")
        return parsed
    data: dict = {}
    for line, row in csv_rows(text, str(path)):
        if not row or all(not cell.strip() for cell in row):
            continue
        if line == 1 and [c.strip().lower() for c in row] == ["node", "measure", "value"]:
            continue
        if len(row) != 3:
            raise ValueError(f"{path}:{line}: expected node,measure,value (got {len(row)} columns)")
        node, measure, value = row[0], row[1], row[2].strip()
        data.setdefault(measure, {})[node] = number(value, f"{path}:{line}")
    return data


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
    from .network.cli import graph_extras
    extra.update(graph_extras(args, p, extra.get("activity"), status))
    if args.node_data is not None:
        status(f"reading {Path(args.node_data).name}")
        extra["node_data"] = _node_data(_readable(args.node_data))
    status(f"rendering {len(doc['nodes']):,} nodes")
    page = render_html(doc, args.title if args.title is not None else _display_name(p), **extra)
    out = _output(args)
    status(f"writing {out.name}")
    return _write_page(out, page)


def _in_range(what: str, low: float, high: float, whole: bool = False, low_open: bool = False) -> Callable[[str], Any]:
    """An argument type for a number in [low, high] ((low, high] with `low_open`); out of
    range is a bad command line (exit 2) naming the range."""
    shown = f"{'above' if low_open else 'at least'} {low:g} and at most {high:g}"

    def parse(text: str) -> Any:
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {what} '{text}' (expected a "
                                             f"{'whole number' if whole else 'number'} {shown})") from None
        if not (low < value if low_open else low <= value) or not value <= high:
            raise argparse.ArgumentTypeError(f"{what} '{text}' out of range ({shown})")
        return value
    return parse


def _scheduler(text: str) -> str:
    from .dataset import _check_address
    try:
        _check_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    except ImportError:  # without Dask the run says so, with the extra to install
        pass
    return text


def _names(text: str) -> List[str]:
    return [name.strip() for name in text.split(",")]


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
                                ("sensor_size", args.sensor_size), ("outside", args.outside)) if v is not None}
    kwargs.update(_filter_options(args))
    status(f"writing {out.name}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        write_video(p, out, **kwargs, **_choices(args))
    status.clear()
    for w in caught:  # one line each, never the source line that raised it
        print(f"zelqviz events: warning: {str(w.message).splitlines()[0]}", file=sys.stderr)
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
        print(_video(args, status).resolve())
        return page
    return _events_page(args, status)


def _events_page(args: argparse.Namespace, status: _Status) -> Path:
    import warnings

    from . import recording_page
    p = Path(args.input)
    _check_page_size(p, args)
    out = _output(args)
    period = args.frame_period
    if args.frames is not None:
        if period is not None:
            raise UsageError("--frames and --frame-period are two ways to say the same; give one")
        period = recording_page.frame_period_for(p, args.frames, args.start, args.duration, **_choices(args))
    status(f"streaming {p.name} into {out.name}")
    options = {k: v for k, v in (("frame_period", period), ("decay", args.decay), ("max_page_mb", args.max_page_mb),
                                 ("boxes", args.boxes), ("predictions", args.predictions), ("classes", args.classes),
                                 ("segments", args.segments)) if v is not None}
    options.update(_filter_options(args))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        recording_page.export_recording_html(p, out, start=args.start, duration=args.duration,
                                             windows=args.window or None, sensor_size=args.sensor_size,
                                             title=args.title, outside=args.outside, **options, **_choices(args))
    status.clear()
    for w in caught:
        print(f"zelqviz events: warning: {str(w.message).splitlines()[0]}", file=sys.stderr)
    return out


def _filter_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The noise filters the command line asked for, as the page's and the video's keywords."""
    out: Dict[str, Any] = {k: v for k, v in (("denoise_us", getattr(args, "denoise", None)),
                                             ("refractory_us", getattr(args, "refractory", None))) if v is not None}
    if getattr(args, "drop_hot", False):
        out["drop_hot"] = True
    return out


def _choices(args: argparse.Namespace) -> Dict[str, Any]:
    """The choices inside a file the command line gave (HDF5 dataset and sample, bag topic)."""
    return {k: getattr(args, k) for k in ("dataset", "sample", "topic") if getattr(args, k) is not None}


def _frames(args: argparse.Namespace, status: _Status) -> Path:
    import numpy as np

    from . import spikes
    p = _readable(args.input)
    if p.suffix.lower() != ".npy":
        raise ValueError(f"{p}: expected a frame stack saved as .npy")
    status(f"reading {p.name}")
    from .recordings._numpy_files import Corrupt, load_npy
    try:  # headers and sizes checked against the file before anything is allocated
        frames = np.asarray(load_npy(str(p), p.stat().st_size))
    except Corrupt as e:
        raise ValueError(f"{p}: not a readable .npy file ({e})") from None
    if frames.ndim not in (3, 4) or frames.dtype.kind not in "biuf":
        raise ValueError(f"{p}: a frame stack is a numeric (T, H, W) or (T, K, H, W) array; "
                         f"this one is {frames.dtype} of shape {frames.shape}")
    status(f"colouring {len(frames):,} frames")
    from . import _native
    doc = _native.events()._frames_document(frames)
    page = spikes._render_spike_html(doc, title=args.title if args.title is not None else _display_name(p))
    out = _output(args)
    status(f"writing {out.name}")
    return _write_page(out, page)


def _bar(status: _Status) -> Callable[[int, int, int, float], None]:
    """files done, events per second and time left, as a bar on the status line."""
    def show(done: int, total: int, events: int, seconds: float) -> None:
        filled = round(24 * done / total) if total else 24
        rate = events / seconds if seconds > 0 else 0.0
        left = seconds * (total - done) / done if done else 0.0
        status(f"[{'#' * filled}{'.' * (24 - filled)}] {done:,}/{total:,} files · "
               f"{rate / 1e6:.1f} M events/s · {int(left) // 60}:{int(left) % 60:02d} left")
    return show


def _dataset(args: argparse.Namespace, status: _Status) -> Path:
    from . import _args, dataset
    root = Path(args.input)
    if not root.exists():
        raise FileNotFoundError(2, "No such file or directory", str(root))
    out = Path(args.output) if args.output else Path.cwd() / ((root.resolve().name or "dataset") + ".html")
    parquet = Path(args.parquet) if args.parquet else out.with_suffix(".parquet")
    _args.output_folder(out)  # the page is written after the run (the Parquet file's folder: summarize_dataset)
    if args.resume and not parquet.exists():
        raise UsageError(f"--resume: no results to resume from at {parquet}")
    labels = dataset.read_labels(args.labels) if args.labels else None
    pages = out.with_name(out.stem + "_pages") if args.pages else None
    if pages is not None:
        from importlib.util import find_spec
        if find_spec("zelq.viz.stream") is None:
            raise UsageError("--pages needs the recording page writer (zelq.viz.stream), which this build lacks")
    status("starting the workers" if args.scheduler is None else f"connecting to {args.scheduler}")
    records = dataset.summarize_dataset(root, client=args.scheduler, labels=labels, parquet=parquet,
                                        resume=args.resume, workers=args.workers, progress=_bar(status),
                                        pages=pages)
    if not records:  # most likely the wrong folder: say so, though the empty page is written
        status.clear()
        print(f"zelqviz dataset: warning: no recordings under {root} (looked for "
              f"{', '.join(dataset.FORMATS)} files)", file=sys.stderr)
    status(f"writing {out.name}")
    dataset.export_dataset_html(records, out, title=args.title, root=root.resolve() if root.is_dir() else None)
    return out


def _tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"not a tolerance of at least 0: {text!r}")
    return value


def _diff(args: argparse.Namespace, status: _Status) -> Path:
    from .comparison import compare_html
    a, b = _readable(args.input), _readable(args.other)
    status(f"comparing {a.name} with {b.name}")
    title = args.title if args.title is not None else f"{_display_name(a)} vs {_display_name(b)}"
    page = compare_html(str(a), str(b), title=title,
                        rtol=args.rtol, atol=args.atol)
    out = Path(args.output) if args.output else Path.cwd() / f"{a.stem}-vs-{b.stem}.html"
    status(f"writing {out.name}")
    return _write_page(out, page)


def parser() -> argparse.ArgumentParser:
    from . import __version__
    ap = _Parser(prog="zelqviz", description="Standalone, offline HTML pages from graph, recording and frame files.")
    ap.add_argument("--version", action="version", version=f"zelqviz {__version__}")
    sub = ap.add_subparsers(dest="command", required=True, metavar="{graph,events,frames,dataset,diff,check,score,stats}")

    def command(name: str, run: Callable, help: str, metavar: str, *more: str) -> argparse.ArgumentParser:
        sp = sub.add_parser(name, help=help, description=help)
        sp.add_argument("input", metavar=metavar)
        for dest, shown in zip(("other",), more):
            sp.add_argument(dest, metavar=shown)
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
    g.add_argument("--dt", type=step_seconds, metavar="TIME",
                   help="time step of the activity, for rates in Hz: 1ms, 500us, or seconds (0.001)")
    g.add_argument("--node-data", metavar="FILE",
                   help="numbers per node to colour the graph by: JSON {measure: {node: value}} or CSV node,measure,value")
    from .network.cli import add_graph_options
    add_graph_options(g, time_us, _names)
    e = command("events", _events,
                "the recording page of a recording (.aedat4, .aedat, .raw, .dat, .bin, .npy, .npz, .h5, .hdf5, "
                ".bag, .db3, .mcap, .txt, .csv)", "RECORDING")
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
    e.add_argument("--scale", type=_in_range("scale", 0, 64, low_open=True), metavar="FACTOR", help="video size: the sensor's times FACTOR")
    e.add_argument("--width", type=_in_range("width", 2, 8192, whole=True), metavar="PIXELS", help="video size: PIXELS wide, height to scale")
    e.add_argument("--fps", type=_in_range("fps", 0, 1000, low_open=True), metavar="N", help="video frames a second (default: real time)")
    e.add_argument("--boxes", metavar="BOXES.npy",
                   help="bounding boxes to draw: fields t or ts (µs), x, y, w, h, class_id[, confidence, track_id]")
    e.add_argument("--predictions", metavar="BOXES.npy", help="predicted boxes, the same format, drawn dashed with scores")
    e.add_argument("--classes", type=_names, metavar="A,B,C", help="class names, in class_id order")
    e.add_argument("--denoise", type=positive_time, metavar="TIME",
                   help="keep an event only if a neighbouring pixel fired less than TIME before it (e.g. 2ms)")
    e.add_argument("--refractory", type=positive_time, metavar="TIME",
                   help="drop an event at most TIME after the previous one at its pixel (e.g. 1ms)")
    e.add_argument("--drop-hot", action="store_true",
                   help="drop the hot pixels' events (at least 16, and ten times the median of their neighbours)")
    e.add_argument("--outside", choices=("refuse", "drop"), default="refuse",
                   help="events outside the sensor the header declares: refuse the file (default), "
                        "or drop them with a warning")
    e.add_argument("--segments", metavar="FILE.csv",
                   help="labelled segments to show on the timeline (class,startTime_usec,endTime_usec rows)")
    e.add_argument("--dataset", metavar="PATH", help="the event dataset of an HDF5 file that holds several")
    e.add_argument("--sample", type=int, metavar="K", help="the sample of an HDF5 file of spike trains")
    e.add_argument("--topic", metavar="NAME", help="the event topic of a ROS bag that holds several")
    command("frames", _frames, "the spike page of a frame stack (T, H, W) or (T, K, H, W) saved as .npy",
            "STACK.npy")
    d = command("dataset", _dataset, "the dataset page of a folder of recordings: one summary row per file, "
                "computed on Dask", "DIR")
    d.add_argument("--parquet", metavar="FILE.parquet",
                   help="where to write the records (default: the page's name with .parquet)")
    d.add_argument("--resume", action="store_true", help="skip the files already in the Parquet file")
    d.add_argument("--labels", metavar="FILE.csv", help="labels as path,label rows (default: each file's folder name)")
    d.add_argument("--scheduler", type=_scheduler, metavar="ADDRESS",
                   help="an existing Dask scheduler (e.g. tcp://host:8786) instead of a local cluster")
    d.add_argument("--workers", type=count, metavar="N", help="worker processes of the local cluster (default: one thread per core in this process)")
    d.add_argument("--pages", action="store_true",
                   help="also write each file's recording page, in a folder beside the page, linked from its row")
    d = command("diff", _diff, "the comparison page of two ZELQ-IR model files: what changed from A to B",
                "A.zelq", "B.zelq")
    d.add_argument("--rtol", type=_tolerance, default=1e-6, metavar="R",
                   help="relative tolerance below which tensor elements count as equal (default 1e-6)")
    d.add_argument("--atol", type=_tolerance, default=0.0, metavar="A",
                   help="absolute tolerance below which tensor elements count as equal (default 0)")
    from .cli_inspect import add_commands
    add_commands(sub, sensor_size, _names)
    from .network.cli import add_command as add_stats
    add_stats(sub, step_seconds, time_us, sensor_size)
    return ap


def _message(e: BaseException) -> str:
    """The failure in words, without the exception's class name: messages name the file themselves."""
    if isinstance(e, OSError) and e.strerror:
        return f"{e.filename}: {e.strerror}" if e.filename else e.strerror
    text = str(e).splitlines()[0] if str(e) else ""
    if isinstance(e, MemoryError):
        return f"not enough memory{': ' + text if text else ''}"
    return text or "failed without saying why (a fault in zelqviz: please report it)"


def _print_path(path: Path) -> None:
    """The path written, on stdout: as its own bytes where the output's encoding cannot hold a
    name that is not UTF-8, so that a script can still use it."""
    text = str(path)
    try:
        print(text)
    except UnicodeEncodeError:
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:
            print(text.encode("utf-8", "surrogateescape").decode("utf-8", "replace"))
            return
        sys.stdout.flush()
        buffer.write(os.fsencode(text) + b"\n")
        buffer.flush()


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command line; returns the exit status (0, 1 for data errors, 2 for usage errors)."""
    ap = parser()
    args = ap.parse_args(argv)
    status = _Status(args.quiet)
    try:
        # Every file the command writes goes into a folder that exists, and is none of its inputs
        # and no other output: refused before the work.
        from .cli_files import check_outputs
        check_outputs(args)
        out = args.run(args, status)
    except UsageError as e:
        status.clear()
        print(f"zelqviz {args.command}: error: {e} (see zelqviz {args.command} --help)", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        status.clear()
        return 130
    except Exception as e:  # noqa: BLE001 - every failure ends as one line, never a traceback
        status.clear()
        print(f"zelqviz {args.command}: error: {_message(e)}", file=sys.stderr)
        return 1
    status.clear()
    from .cli_inspect import Report
    if isinstance(out, Report):
        print(out.text)
        return out.code
    _print_path(out.resolve())
    if args.open:
        webbrowser.open(out.resolve().as_uri())
    return 0
