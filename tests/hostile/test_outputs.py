"""Every command's outputs: never one of its inputs or another output, a directory or a
missing folder refused before the work naming the output, and nothing left behind."""
import os
import resource
import shutil
import signal
from pathlib import Path

import numpy as np
import pytest

from zelq.viz import cli, pagefiles

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "data" / "example.zelq"


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    shutil.copy(EXAMPLE, "m.zelq")
    shutil.copy(EXAMPLE, "n.zelq")
    np.savez("act.npz", stem_lif=np.zeros((4, 16), np.uint8))
    np.save("frames.npy", np.zeros((2, 2, 4, 4), np.float32))
    os.mkdir("folder")
    return tmp_path


CASES = [
    (["graph", "m.zelq", "-o", "m.zelq"], 2, "-o m.zelq is the input of the command"),
    (["graph", "m.zelq", "--activity", "act.npz", "-o", "act.npz"], 2, "-o act.npz is the activity of the command"),
    (["diff", "m.zelq", "n.zelq", "-o", "n.zelq"], 2, "is the second input of the command"),
    (["frames", "frames.npy", "-o", "frames.npy"], 2, "is the input of the command"),
    (["events", "frames.npy", "--video", "v.gif", "-o", "v.gif"], 2, "-o and --video name the same file: v.gif"),
    (["dataset", "folder", "-o", "ds.parquet"], 2, "-o and the Parquet file beside the page name the same file"),
    (["dataset", "folder", "--parquet", "folder.html"], 2, "the page and --parquet name the same file"),
    (["dataset", "folder", "-o", "folder"], 1, "folder: Is a directory"),
    (["dataset", "folder", "--parquet", "folder"], 1, "folder: Is a directory"),
    (["graph", "m.zelq", "-o", "folder"], 1, "folder: Is a directory"),
    (["diff", "m.zelq", "n.zelq", "-o", "missing/d.html"], 1, "missing: no such directory"),
]


@pytest.mark.parametrize("argv, code, message", CASES)
def test_outputs_are_refused_before_the_work_and_inputs_stay(files, capsys, argv, code, message):
    before = {p: p.read_bytes() for p in files.rglob("*") if p.is_file()}
    assert cli.main(argv) == code
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err
    assert {p: p.read_bytes() for p in files.rglob("*") if p.is_file()} == before  # nothing written, nothing lost


def test_a_full_disk_names_the_output_and_leaves_nothing(files, capsys):
    old = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, old[1]))
    try:
        code = cli.main(["graph", "m.zelq", "-o", "page.html"])
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, old)
        signal.signal(signal.SIGXFSZ, handler)
    assert code == 1 and "page.html: File too large" in capsys.readouterr().err
    assert sorted(os.listdir(files)) == ["act.npz", "folder", "frames.npy", "m.zelq", "n.zelq"]
    with pytest.raises(OSError, match="File too large") as e:
        with pagefiles.replacing(files / "x.html"):
            raise OSError(27, "File too large")
    assert e.value.filename == str(files / "x.html")
