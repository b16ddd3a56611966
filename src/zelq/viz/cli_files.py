"""What the command's subcommands share: the usage error, and reading the files they are given."""
from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Any, List, Tuple


class UsageError(Exception):
    """A command line that cannot work, found after parsing: exit status 2."""


def readable(path: str) -> Path:
    p = Path(path)
    # Checked before opening: opening a FIFO for reading waits for a writer.
    if os.path.exists(p) and not stat.S_ISREG(os.stat(p).st_mode):
        raise ValueError(f"{p}: not a regular file")
    with open(p, "rb"):  # a missing or unreadable file fails here, with the OS's reason
        pass
    return p


def arrays_by_node(path: Path) -> dict:
    """Recorded activity from an .npz whose keys are node identifiers (arrays: time first)."""
    from .inputfiles import npz_arrays
    # Loaded whole: the summaries read every step of every neuron anyway.
    return dict(npz_arrays(path, "activity"))


# The options that name files a command reads, and what they hold (in the order they are shown).
_INPUTS = (("input", "the input"), ("other", "the second input"), ("activity", "the activity"),
           ("states", "the states"), ("input_recording", "the input recording"), ("node_data", "the node data"),
           ("boxes", "the box file"), ("predictions", "the predictions"), ("labels", "the labels"))


def _same(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def written_files(args: Any) -> List[Tuple[str, Path]]:
    """(option, path) of each file the command was told to write, the dataset's default
    Parquet file beside its page included."""
    out: List[Tuple[str, Path]] = [(flag, Path(getattr(args, dest))) for flag, dest in
                                   (("-o", "output"), ("--video", "video"), ("--parquet", "parquet"))
                                   if getattr(args, dest, None) is not None]
    if getattr(args, "command", None) == "dataset":
        page = Path(args.output) if args.output else Path.cwd() / ((Path(args.input).resolve().name or "dataset") + ".html")
        if not args.output:
            out.insert(0, ("the page", page))
        if args.parquet is None:
            out.append(("the Parquet file beside the page", page.with_suffix(".parquet")))
    return out


def check_outputs(args: Any) -> None:
    """Before any work: each output goes, as a file, into a folder that exists, and is none of
    the command's inputs and no other output."""
    from ._args import output_folder
    written = written_files(args)
    for i, (flag, path) in enumerate(written):
        if path.is_dir():
            raise IsADirectoryError(21, "Is a directory", str(path))
        output_folder(path)
        for other_flag, other in written[:i]:
            if _same(path, other):
                raise UsageError(f"{other_flag} and {flag} name the same file: {path}")
        for dest, what in _INPUTS:
            given = getattr(args, dest, None)
            if isinstance(given, (str, os.PathLike)) and _same(path, Path(given)):
                raise UsageError(f"{flag} {path} is {what} of the command: writing it would destroy it")
