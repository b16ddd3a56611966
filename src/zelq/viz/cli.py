"""The `zelqviz` command (also `python -m zelq.viz`): pages from files.

    zelqviz graph MODEL.zelq        the graph page of a ZELQ-IR file
                                    (--node-data FILE: measures per node as colour modes)
    zelqviz events RECORDING        the spike page of a recording file
    zelqviz frames STACK.npy        the spike page of a binned frame stack
    zelqviz diff A.zelq B.zelq      the comparison page of two ZELQ-IR files

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
    return round(float(m.group(1)) * _UNITS[m.group(2) or "s"])


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


def _node_data(path: Path) -> dict:
    """Measures per node: {measure: {node: number}} as a JSON object, or CSV rows
    node,measure,value (a first row naming those columns is a header; an empty
    value is no value)."""
    import csv
    import json

    text = path.read_text(encoding="utf-8-sig")
    if path.suffix.lower() == ".json" or (path.suffix.lower() != ".csv" and text.lstrip().startswith("{")):
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise ValueError(f"{path}: not valid JSON ({e})") from None
        if not isinstance(data, dict) or not all(isinstance(v, dict) for v in data.values()):
            raise ValueError(f"{path}: node data must be a JSON object of measure name to {{node: number}}")
        return data
    data: dict = {}
    for line, row in enumerate(csv.reader(text.splitlines()), 1):
        if not row or all(not cell.strip() for cell in row):
            continue
        if line == 1 and [c.strip().lower() for c in row] == ["node", "measure", "value"]:
            continue
        if len(row) != 3:
            raise ValueError(f"{path}:{line}: expected node,measure,value (got {len(row)} columns)")
        node, measure, value = row[0], row[1], row[2].strip()
        try:
            number = float(value) if value else float("nan")
        except ValueError:
            raise ValueError(f"{path}:{line}: {value!r} is not a number") from None
        data.setdefault(measure, {})[node] = number
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
    if args.node_data is not None:
        status(f"reading {Path(args.node_data).name}")
        extra["node_data"] = _node_data(_readable(args.node_data))
    status(f"rendering {len(doc['nodes']):,} nodes")
    page = render_html(doc, args.title if args.title is not None else p.name, **extra)
    out = _output(args)
    status(f"writing {out.name}")
    out.write_text(page, encoding="utf-8")
    return out


def _events(args: argparse.Namespace, status: _Status) -> Path:
    from . import spikes
    from .recordings import _read, read_sensor_size
    p = Path(args.input)
    size = args.sensor_size or read_sensor_size(p)
    windowed = args.start is not None or args.duration is not None
    events = _read(p, args.start, args.duration, status.fraction(f"reading {p.name}"))
    if windowed and not len(events):
        raise ValueError(f"{p}: no events in the time window")
    kwargs = {k: v for k, v in (("n_frames", args.frames), ("n_grid_bins", args.grid_bins),
                                ("raster_time_bins", args.raster_bins),
                                ("max_raster_neurons", args.raster_neurons)) if v is not None}
    out = _output(args)
    status(f"binning {len(events):,} events into {out.name}")
    spikes.export_events_html(events, str(out), size, args.title if args.title is not None else p.name, **kwargs)
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
    page = compare_html(str(a), str(b), title=args.title if args.title is not None else f"{a.name} vs {b.name}",
                        rtol=args.rtol, atol=args.atol)
    out = Path(args.output) if args.output else Path.cwd() / f"{a.stem}-vs-{b.stem}.html"
    status(f"writing {out.name}")
    out.write_text(page, encoding="utf-8")
    return out


def parser() -> argparse.ArgumentParser:
    ap = _Parser(prog="zelqviz", description="Standalone, offline HTML pages from graph, recording and frame files.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="{graph,events,frames,diff}")

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
    g.add_argument("--dt", type=_seconds, metavar="SECONDS", help="time step of the activity, for rates in Hz")
    g.add_argument("--node-data", metavar="FILE",
                   help="numbers per node to colour the graph by: JSON {measure: {node: value}} or CSV node,measure,value")
    e = command("events", _events,
                "the spike page of a recording (.aedat4, .raw, .dat, .bin, .npy, .npz)", "RECORDING")
    e.add_argument("--frames", type=count, metavar="N", help="animation frames (default 20)")
    e.add_argument("--grid-bins", type=count, metavar="N", help="time bins of the image row (default 5)")
    e.add_argument("--raster-bins", type=count, metavar="N", help="time bins of the raster (default 100)")
    e.add_argument("--raster-neurons", type=count, metavar="N", help="most neurons in the raster (default 1000)")
    e.add_argument("--sensor-size", type=sensor_size, metavar="WxH",
                   help="sensor size, instead of the file header's or the events' extent")
    e.add_argument("--start", type=time_us, metavar="TIME",
                   help="window start after the first event: seconds, or with a unit (10ms, 2s, 500us, 1min)")
    e.add_argument("--duration", type=time_us, metavar="TIME", help="window length, in the same form")
    command("frames", _frames, "the spike page of a frame stack (T, H, W) or (T, K, H, W) saved as .npy",
            "STACK.npy")
    d = command("diff", _diff, "the comparison page of two ZELQ-IR model files: what changed from A to B",
                "A.zelq", "B.zelq")
    d.add_argument("--rtol", type=_tolerance, default=1e-6, metavar="R",
                   help="relative tolerance below which tensor elements count as equal (default 1e-6)")
    d.add_argument("--atol", type=_tolerance, default=0.0, metavar="A",
                   help="absolute tolerance below which tensor elements count as equal (default 0)")
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
