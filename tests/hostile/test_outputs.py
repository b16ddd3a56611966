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


# A driver that runs the command line with SIGINT sent to itself in the middle of the write: the
# recording page after its third block reaches the file, the video at its fifth frame.
_INTERRUPTED = r"""
import os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts with SIGINT ignored
from zelq.viz import cli
from zelq.viz.recording_page import page
from zelq.viz import video_drawing

def interrupt(at):
    calls = [0]
    def step():
        calls[0] += 1
        if calls[0] == at:
            os.kill(os.getpid(), signal.SIGINT)
    return step

page_write, stamp = page._Page.write, video_drawing.Painter.stamp
def write(self, out, *rest):
    tick = interrupt(3)
    class Out:
        def write(self, data):
            n = out.write(data)
            out.flush()
            tick()
            return n
    return page_write(self, Out(), *rest)
def stamped(self, *a, tick=interrupt(5)):
    tick()
    return stamp(self, *a)
page._Page.write, video_drawing.Painter.stamp = write, stamped
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("argv", [["events", "rec.npy", "-o", "page.html"],
                                  ["events", "rec.npy", "--video", "v.mp4", "--quiet"]])
def test_ctrl_c_during_a_write_leaves_nothing_behind(tmp_path, argv):
    import subprocess
    import sys
    if "--video" in argv:
        pytest.importorskip("av")
    from tests.support.decoders import EVENT_DTYPE
    ev = np.zeros(50_000, EVENT_DTYPE)
    ev["t"] = np.arange(len(ev)) * 10
    ev["x"], ev["y"], ev["p"] = np.arange(len(ev)) % 32, np.arange(len(ev)) % 24, 1
    np.save(tmp_path / "rec.npy", ev)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}  # this zelqviz, from any folder
    done = subprocess.run([sys.executable, "-c", _INTERRUPTED, *argv], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300, env=env)
    assert done.returncode == 130, done.stderr
    assert os.listdir(tmp_path) == ["rec.npy"]  # no page, no video, no partial or spool file


def test_diff_of_files_named_in_bytes_that_are_not_utf8_writes_the_page(files, capsysbinary):
    odd = os.fsdecode(b"model-\xff.zelq")
    shutil.copy("m.zelq", odd)
    out = os.fsdecode(b"page-\xfe.html")
    assert cli.main(["diff", "m.zelq", odd, "-o", out]) == 0, capsysbinary.readouterr().err
    assert "model-\ufffd.zelq" in Path(out).read_text(encoding="utf-8")
    assert cli.main(["diff", odd, "m.zelq"]) == 0  # the default output name, from the odd one
    assert os.path.getsize(os.fsdecode(b"model-\xff-vs-m.html")) > 0
    printed = capsysbinary.readouterr().out.splitlines()  # the paths as their own bytes
    assert [os.path.basename(p) for p in printed] == [b"page-\xfe.html", b"model-\xff-vs-m.html"]
