"""Where the suite finds the tree and the shared sensor recordings."""
import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# ZELQVIZ_RECORDINGS points elsewhere, e.g. from a worktree beside the checkout.
RECORDINGS = Path(os.environ.get("ZELQVIZ_RECORDINGS", ROOT.parent / "shared" / "data" / "recordings"))

# Where the skip says to look: a newcomer's clone has no shared folder beside it.
NO_RECORDINGS = (f"the shared sensor recordings are not in {RECORDINGS}: "
                 "set ZELQVIZ_RECORDINGS to their folder (see the README's Two commands)")

ARTIFACTS = ROOT / "tests" / "_artifacts"


def shared_recording(name):
    """The path of a shared sample recording; skips when the recordings are missing."""
    if not RECORDINGS.is_dir():
        pytest.skip(NO_RECORDINGS)
    return RECORDINGS / name
