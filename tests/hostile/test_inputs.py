"""Other people's files against every input of the graph, activity, box, measure, label,
Parquet and comparison readers: refused in one line naming the file, never hung, never
allocated past what the file holds, never unpickled."""
import contextlib
import io
import json
import os
import threading
import zipfile
from pathlib import Path

import numpy as np
import pytest

from zelq import ir
from zelq.viz import boxes, cli, comparison, dataset, inputfiles, render, serialize
from zelq.viz.network import statistics

from tests.support import viewer_docs as vd

BOX_FIELDS = [("t", "<i8")] + [(f, "<f4") for f in "xywh"] + [("class_id", "<u4")]
LIBRARY_WORDS = ("MemoryError", "KeyError", "NotImplementedError", "UnicodeDecodeError", "RecursionError",
                 "OverflowError", "codec", "field limit", "Traceback")


def _graph_file(tmp_path):
    path = tmp_path / "g.zelq"
    ir.write(str(path), vd.mlp())
    return path


def _graph_command(option):
    """`zelqviz graph` reading `path` through `option`: its one-line error, raised as a ValueError."""
    def read(path):
        graph = Path(path).parent / "command_graph.zelq"
        if not graph.exists():
            ir.write(str(graph), vd.mlp())
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            code = cli.main(["graph", str(graph), option, str(path), "-o", str(graph.with_suffix(".html")), "--quiet"])
        if code:
            raise ValueError(err.getvalue().rstrip("\n"))
    return read


READERS = {
    "activity": lambda p: dict(statistics.activity_arrays(p)),
    "activity (command line)": _graph_command("--activity"),
    "boxes": boxes.read_boxes,
    "node data": _graph_command("--node-data"),
    "labels": dataset.read_labels,
    "parquet": dataset.read_parquet,
    "graph": ir.read,
    "graph_to_dict": lambda p: serialize.graph_to_dict(str(p)),
    "compare": lambda p: comparison.compare(str(p), str(p)),
}


def _refused(call, path, match):
    with pytest.raises(ValueError) as e:
        call(path)
    text = str(e.value)
    assert str(path) in text and match in text and "\n" not in text, text
    assert not any(w in text for w in LIBRARY_WORDS), text


@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("special", ["fifo", "dir", "/dev/null"])
def test_special_files_are_refused_before_opening(tmp_path, reader, special):
    if reader == "parquet":
        pytest.importorskip("pyarrow")
    path = tmp_path / "special"
    if special == "fifo":
        os.mkfifo(path)
    elif special == "dir":
        path.mkdir()
    else:
        path = special
    done = []
    worker = threading.Thread(target=lambda: done.append(_refused(READERS[reader], path, "not a regular file")
                                                        or True), daemon=True)
    worker.start()
    worker.join(20)
    if worker.is_alive():  # a hang: a writer releases the blocked open, and the test fails
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        worker.join(5)
    assert done == [True]


def _npy(shape, descr="<f8", data=b""):
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue() + data


def _npz(path, members, compression=zipfile.ZIP_STORED):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in members.items():
            z.writestr(name, data)


def _object_npy():
    buf = io.BytesIO()
    np.lib.format.write_array(buf, np.array([1, None], object), allow_pickle=True)
    return buf.getvalue()


def _bomb(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z, z.open("a.npy", "w", force_zip64=True) as f:
        f.write(_npy((300 << 20,), "|u1"))
        for _ in range(300):
            f.write(bytes(1 << 20))


def _box_file(dtype, n=2):
    return lambda p: np.save(p, np.zeros(n, dtype))


ARRAY_FILES = [
    ("activity", lambda p: _npz(p, {"a.npy": _npy((671088640,), data=bytes(100))}),
     "claims 5,368,709,120 bytes of data, but the member holds 100"),
    ("activity", _bomb, "member 'a.npy': unpacks to 0.29 GiB from"),
    ("activity", lambda p: _npz(p, {"a.npy": _object_npy()}), "Python objects"),
    ("activity", lambda p: p.write_bytes(_npy((0,))), "must be an .npz archive"),
    ("activity", lambda p: p.write_bytes(b"PK\x03\x04" + bytes(40)), "not a readable .npz archive"),
    ("activity (command line)", lambda p: np.savez(p, a=np.zeros((1000, 1000))), "more than this machine's memory"),
    ("boxes", lambda p: p.write_bytes(_npy((10**8,), np.lib.format.dtype_to_descr(np.dtype(BOX_FIELDS)))),
     "claims 2,800,000,000 bytes of data, but the file holds 0"),
    ("boxes", _box_file(BOX_FIELDS, 10_000), "more than this machine's memory"),
    ("boxes", _box_file([("t", "<i8", (2,))] + BOX_FIELDS[1:]), "the box field 't' holds 2 values per box"),
    ("boxes", _box_file(BOX_FIELDS[:1] + [("x", "<f4", (2,))] + BOX_FIELDS[2:]), "the box field 'x' holds 2 values"),
]


@pytest.mark.parametrize("reader, write, match", ARRAY_FILES)
def test_array_files_are_judged_by_their_headers_before_loading(tmp_path, monkeypatch, reader, write, match):
    monkeypatch.setattr(inputfiles, "memory_budget", lambda: 1 << 19)  # 512 KiB: the cases above go past it
    path = tmp_path / ("file.npy" if reader == "boxes" else "file.npz")
    write(path)
    _refused(READERS[reader], path, match)


TEXT_FILES = [
    ("node data", "m.csv", b"a,m,1\nb,m,caf\xe9\n", "line 2 is not UTF-8 text"),
    ("node data", "m.csv", b"a,m,1\n\nb,m," + b"9" * 200_000 + b"\n", "line 3: field larger than"),
    ("node data", "m.json", b'{"m": {"a": 1,', "not valid JSON"),
    ("node data", "m.json", b'{"m": ' * 100_000 + b"1" + b"}" * 100_000, "nested too deeply"),
    ("node data", "m.json", b'{"m": {"a": ' + b"1" * 401 + b"}}", "is out of range"),
    ("node data", "m.csv", b"a,m,1e999\n", "m.csv:1: '1e999' is out of range"),
    ("labels", "l.csv", b"path,label\n\na.bin,x\n\nb.bin\n", "line 5 has no label"),
    ("labels", "l.csv", b'path,label\n"a\nb",x\n' + b"c" * 200_000 + b"\n", "line 4: field larger than"),
]


@pytest.mark.parametrize("reader, name, content, match", TEXT_FILES)
def test_text_files_name_the_file_and_line(tmp_path, reader, name, content, match):
    path = tmp_path / name
    path.write_bytes(content)
    _refused(READERS[reader], path, match)


def test_damaged_graph_and_summary_files_give_their_own_errors(tmp_path):
    path = _graph_file(tmp_path)
    data = bytearray(path.read_bytes())
    central = data.rindex(b"PK\x01\x02")
    data[central + 6] = 177  # "version needed to extract": 17.7
    path.write_bytes(bytes(data))
    with pytest.raises(ir.ZelqFormatError, match="g.zelq: "):
        serialize.graph_to_dict(str(path))
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    table = pa.table({"path": ["a"], "status": ["ok"], "event_count": ["many"]})
    pq.write_table(table, tmp_path / "d.parquet")
    _refused(dataset.read_parquet, tmp_path / "d.parquet", "the column 'event_count' holds string, not int64")
    doc = serialize.graph_to_dict(vd.mlp())
    del doc["nodes"][1]["id"]
    with pytest.raises(ValueError, match='node #1 of the viewer document has no "id"'):
        comparison.compare(doc, doc)


# ---------------------------------------------------------------- numbers


def _scaled_oracle(a, b):
    s = max(np.abs(a).max(), np.abs(b).max())
    return float(np.linalg.norm(a / s - b / s) / np.linalg.norm(a / s))


@pytest.mark.parametrize("a, b", [([1.7e308, -1.7e308], [-1.7e308, 1.7e308]), ([1e-320, 0.0], [0.0, 0.0]),
                                  ([1e-160, 2e-160], [1e-160, 1e-160]), ([1e200, 1.0], [1e200, 2.0])])
def test_rel_l2_stays_finite_at_the_ends_of_the_float_range(a, b):
    ga, gb = vd.mlp(), vd.mlp()
    ga.nodes["fc0"].bias = np.array(a + [0.0] * (len(ga.nodes["fc0"].bias) - 2), np.float64)
    gb.nodes["fc0"].bias = np.array(b + [0.0] * (len(gb.nodes["fc0"].bias) - 2), np.float64)
    rel = comparison.compare(ga, gb)["changed"]["fc0"]["params"]["bias"]["rel_l2"]
    assert rel == pytest.approx(_scaled_oracle(ga.nodes["fc0"].bias, gb.nodes["fc0"].bias), rel=1e-12)


@pytest.mark.parametrize("activity, dt, match", [
    ({"lif0": np.full((4, 64), 1e308)}, 1e-3, "rates overflow"),
    ({"lif0": np.ones((4, 64))}, 1e-320, "1e-320 seconds is too small"),
    ({"lif0": np.ones((4, 65))}, 1e-3, "holds 65 neurons a step, which does not fit the node's output shape"),
])
def test_activity_rates_are_finite_or_refused_naming_the_value(activity, dt, match):
    doc = serialize.graph_to_dict(vd.mlp(), False)
    with pytest.raises(ValueError, match=match):
        render.render_html(doc, "t", activity=activity, dt=dt)


@pytest.mark.parametrize("argv, option", [
    (["events", "r.npy", "--video", "v.gif", "--fps", "1001"], "fps '1001' out of range (above 0 and at most 1000)"),
    (["events", "r.npy", "--video", "v.gif", "--width", "1"], "width '1' out of range (at least 2 and at most 8192)"),
    (["events", "r.npy", "--video", "v.gif", "--width", "100000"], "width '100000' out of range"),
    (["events", "r.npy", "--video", "v.gif", "--scale", "65"], "scale '65' out of range (above 0 and at most 64)"),
    (["dataset", ".", "--scheduler", "garbage"], "not a scheduler address: 'garbage'"),
])
def test_command_line_values_out_of_range_exit_2_naming_the_option(capsys, argv, option):
    if argv[0] == "dataset":
        pytest.importorskip("distributed")
    with pytest.raises(SystemExit) as e:
        cli.main(argv)
    assert e.value.code == 2 and option in capsys.readouterr().err
