"""What the command's subcommands share: the usage error, and reading the files they are given."""
from __future__ import annotations

import os
import stat
from pathlib import Path


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
