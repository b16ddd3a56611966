"""The command line's inspection commands: reports printed, not pages written.

    zelqviz check RECORDING [--json]               the recording's health; exit 1 on gaps,
                                                   backwards times or dead rows or columns
    zelqviz score TRUTH.npy PRED.npy [--iou 0.5]   predictions scored against labels
              [--classes a,b] [--json]
"""
from __future__ import annotations

import argparse
import json
import os
from pathlib import Path
from typing import Any, Callable, List, NamedTuple


class Report(NamedTuple):
    """What an inspection command prints on stdout, and its exit status."""
    text: str
    code: int = 0


def _check(args: argparse.Namespace, status: Any) -> Report:
    from .health import check_recording, failing, report_text
    status(f"checking {Path(args.input).name}")
    report = check_recording(args.input, sensor_size=args.sensor_size)
    text = json.dumps(report, indent=1) if args.json else report_text(os.path.basename(args.input), report)
    return Report(text, 1 if failing(report) else 0)


def _score(args: argparse.Namespace, status: Any) -> Report:
    from .scoring import score_boxes, score_text
    status(f"scoring {Path(args.other).name} against {Path(args.input).name}")
    result = score_boxes(args.input, args.other, iou=args.iou, classes=args.classes)
    return Report(json.dumps(result, indent=1) if args.json else score_text(result))


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"not an IoU above 0 and at most 1: {text!r}")
    return value


def add_commands(sub: Any, sensor_size: Callable[[str], tuple], names: Callable[[str], List[str]]) -> None:
    """The inspection subcommands, on the command line's subparsers."""
    c = sub.add_parser("check", help="the health of a recording: gaps, backwards times, bursts, dead rows and "
                                     "columns, hot pixels (exit status 1 on gaps, backwards times or dead lines)",
                       description="the health of a recording file")
    c.add_argument("input", metavar="RECORDING")
    c.add_argument("--json", action="store_true", help="print the report as JSON")
    c.add_argument("--sensor-size", type=sensor_size, metavar="WxH", help="the sensor (default: the header's)")
    c.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    c.set_defaults(run=_check, open=False)
    s = sub.add_parser("score", help="predicted boxes scored against labelled ones: precision, recall and AP "
                                     "per class, and the frames with the most errors",
                       description="predicted boxes scored against labelled ones")
    s.add_argument("input", metavar="TRUTH.npy")
    s.add_argument("other", metavar="PRED.npy")
    s.add_argument("--iou", type=_fraction, default=0.5, metavar="T", help="IoU a match needs (default 0.5)")
    s.add_argument("--classes", type=names, metavar="A,B,C", help="class names, in class_id order")
    s.add_argument("--json", action="store_true", help="print the result as JSON")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    s.set_defaults(run=_score, open=False)
