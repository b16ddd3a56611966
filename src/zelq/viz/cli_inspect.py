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


def add_commands(sub: Any, sensor_size: Callable[[str], tuple], names: Callable[[str], List[str]],
                 fraction: Callable[[str], float]) -> None:
    """The inspection subcommands, on the command line's subparsers."""
    c = sub.add_parser("check", help="the health of a recording: gaps, backwards times, bursts, dead rows and "
                                     "columns, hot pixels (exit status 1 on gaps, backwards times or dead lines)",
                       description="the health of a recording file")
    c.add_argument("input", metavar="RECORDING")
    c.add_argument("--json", action="store_true", help="print the report as JSON")
    c.add_argument("--sensor-size", type=sensor_size, metavar="WxH", help="the sensor (default: the header's)")
    c.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    c.set_defaults(run=_check, open=False)
