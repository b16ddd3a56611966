"""The .zelq graph file through `zelq.ir.read`, `write` and `graph_to_dict(path)`: exact round trips,
and refusal of every malformed or hostile archive: each gives a clear ZelqFormatError (a ValueError)
within bounded time and memory, writes nothing anywhere, and runs no code from the file."""
import io
import json
import math
import os
import pickle
import struct
import time
import tracemalloc
import warnings
import zipfile
from dataclasses import fields

import numpy as np
import pytest

from zelq import ir
from zelq.viz import serialize


def _w(*shape, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).standard_normal(shape).astype(dtype)


def every_node_type():
    """One node of every type, with varied dtypes, layouts and configuration values."""
    g = ir.Graph(metadata={
        "name": "all types \u00b5",
        "tuple": (1, (2, 3)),
        "nested": {"a": [1, 2.5, None, True], "b": {"c": np.arange(4, dtype=np.int16)}},
        "nan": math.nan,
        "scalar": np.float64(0.25),
    })
    g.add("in", ir.Input((2, 8, 8)))
    g.add("conv1", ir.Conv1d(_w(4, 2, 3), None, stride=2, input_shape=(2, 16)))
    g.add("conv2", ir.Conv2d(np.asfortranarray(_w(4, 2, 3, 3)), _w(4), padding=(1, 1), input_shape=(2, 8, 8)))
    g.add("lif", ir.LIF(_w(4, 8, 8), _w(4, 8, 8), _w(4, 8, 8), _w(4, 8, 8, dtype=np.float64)))
    g.add("cuba", ir.CubaLIF(_w(3), _w(3), _w(3), _w(3), _w(3), w_in=_w(3)))
    g.add("if", ir.IF(_w(3, dtype=np.float16), _w(3)))
    g.add("li", ir.LI(_w(3), _w(3), _w(3)))
    g.add("int", ir.Integrator(np.array(2.0)))  # zero-dimensional
    g.add("scale", ir.Scale(np.zeros((0,), np.float32)))  # empty
    g.add("thr", ir.Threshold(np.array([1, 2, 3], dtype=">i4")))  # big-endian
    g.add("flat", ir.Flatten(input_shape=(4, 4, 4)))
    g.add("aff", ir.Affine(_w(10, 64), _w(10)))
    g.add("lin", ir.Linear(_w(5, 10)[:, ::2]))  # a strided view
    g.add("sum", ir.SumPool2d((2, 2), input_shape=(4, 8, 8)))
    g.add("avg", ir.AvgPool2d((3, 3), (1, 1), (1, 1), input_shape=(4, 8, 8)))
    g.add("delay", ir.Delay(np.array([[1, 2], [3, 4]], dtype=np.uint8)))
    g.add("max", ir.MaxPool2d((3, 3), (2, 2), (1, 1), input_shape=(4, 8, 8)))
    g.add("up", ir.Upsample2d(2, input_shape=(4, 4, 4)))
    g.add("cat", ir.Concat(input_shapes=((4, 8, 8), (2, 8, 8))))
    g.add("bool", ir.Threshold(np.array([True, False])))
    g.add("cplx", ir.Scale(np.array([1 + 2j], dtype=np.complex64)))
    g.add("out", ir.Output((5,)))
    g.connect("in", "conv2", "lif", "sum", "flat", "aff", "lin", "out")
    g.connect("in", "avg")
    g.connect("lif", "max")
    g.connect("avg", "cat")
    g.connect("in", "cat")  # stacked in edge order: (4, 8, 8) then (2, 8, 8)
    g.edges.append(("lif", "lif"))  # recurrence is allowed
    return g


def assert_same_value(a, b, where=""):
    if isinstance(a, np.ndarray):
        assert isinstance(b, np.ndarray), where
        assert a.dtype == b.dtype and a.shape == b.shape, where
        assert a.tobytes(order="C") == b.tobytes(order="C"), where
        return
    assert type(a) is type(b), (where, a, b)
    if isinstance(a, (list, tuple)):
        assert len(a) == len(b), where
        for x, y in zip(a, b):
            assert_same_value(x, y, where)
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for k in a:
            assert_same_value(a[k], b[k], f"{where}.{k}")
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b), where
    else:
        assert a == b, where


def test_every_node_type_is_covered():
    assert set(ir.NODE_TYPES) == {n for n in (
        "Input Output Affine Linear Conv1d Conv2d LIF CubaLIF IF LI Integrator Scale Threshold Flatten "
        "SumPool2d AvgPool2d Delay MaxPool2d Upsample2d Concat").split()}
    assert {type(n).__name__ for n in every_node_type().nodes.values()} == set(ir.NODE_TYPES)


@pytest.mark.parametrize("kind", ["str", "bytes", "path"])
def test_round_trip_is_exact(tmp_path, kind):
    g = every_node_type()
    p = tmp_path / "g.zelq"
    target = {"str": str(p), "bytes": str(p).encode(), "path": p}[kind]
    ir.write(target, g)
    h = ir.read(target)
    assert list(h.nodes) == list(g.nodes)
    for name, node in g.nodes.items():
        back = h.nodes[name]
        assert type(back) is type(node)
        for f in fields(node):
            assert_same_value(getattr(node, f.name), getattr(back, f.name), f"{name}.{f.name}")
    assert h.edges == g.edges
    expected_meta = dict(g.metadata, scalar=0.25)  # NumPy scalars are stored as plain numbers
    assert_same_value(expected_meta, h.metadata, "metadata")
    assert ir.read(p).nodes["lin"].weight.flags.c_contiguous


def test_shapes_are_derived_from_parameters():
    g = every_node_type()
    assert g.nodes["conv2"].output_type == {"output": (4, 8, 8)}
    assert g.nodes["conv1"].output_type == {"output": (4, 7)}
    assert g.nodes["sum"].output_type == {"output": (4, 4, 4)}
    assert g.nodes["avg"].output_type == {"output": (4, 8, 8)}
    assert g.nodes["flat"].output_type == {"output": (64,)}
    assert g.nodes["aff"].input_type == {"input": (64,)}
    assert g.nodes["lif"].input_type == {"input": (4, 8, 8)}
    assert g.nodes["in"].input_type == {"input": (2, 8, 8)}
    assert g.nodes["max"].output_type == {"output": (4, 4, 4)}
    assert g.nodes["up"].output_type == {"output": (4, 8, 8)}
    assert g.nodes["cat"].input_type == {"input": ((4, 8, 8), (2, 8, 8))}
    assert g.nodes["cat"].output_type == {"output": (6, 8, 8)}
    assert ir.Concat(axis=-1, input_shapes=((2, 3), (2, 5))).output_type == {"output": (2, 8)}


@pytest.mark.parametrize("node", [
    lambda: ir.Concat(input_shapes=((4, 8, 8), (4, 8, 7))),  # spatial sizes differ
    lambda: ir.Concat(input_shapes=((4, 8, 8), (4, 8))),     # ranks differ
    lambda: ir.Concat(axis=3, input_shapes=((4, 8, 8),)),
    lambda: ir.Upsample2d(0, input_shape=(4, 8, 8)),
])
def test_inconsistent_shapes_are_refused(node):
    with pytest.raises(ValueError):
        node()


@pytest.mark.parametrize("value", [np.array([object()]), np.array(["a"]), np.zeros(2, "i4,f4"), {1: 2}, {3}])
def test_write_refuses_values_the_format_cannot_hold(tmp_path, value):
    g = ir.Graph(metadata={"x": value})
    with pytest.raises(TypeError):
        ir.write(tmp_path / "x.zelq", g)


def test_write_refuses_unknown_edges_and_node_classes(tmp_path):
    g = ir.Graph()
    g.add("a", ir.Input((1,)))
    g.edges.append(("a", "ghost"))
    with pytest.raises(KeyError, match="ghost"):
        ir.write(tmp_path / "x.zelq", g)

    class Input(ir.Input):  # same name, not the library's class
        pass

    g = ir.Graph(nodes={"a": Input((1,))})
    with pytest.raises(TypeError, match="not a zelq.ir node type"):
        ir.write(tmp_path / "x.zelq", g)


# ---------------------------------------------------------------- hostile archives


def npy(a) -> bytes:
    buf = io.BytesIO()
    np.lib.format.write_array(buf, np.asarray(a), allow_pickle=True)
    return buf.getvalue()


def npy_with_header(descr: str, shape: tuple, data: bytes) -> bytes:
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue() + data


def manifest(nodes=None, edges=None, metadata=None, **over):
    m = {"format": "zelq", "format_version": 1, "zelq_version": "0", "nodes": nodes if nodes is not None else [],
         "edges": edges if edges is not None else [], "metadata": metadata if metadata is not None else {}}
    m.update(over)
    return m


def scale_node(name="s", ref=None):
    ref = ref or {"$array": "arrays/0.npy", "dtype": "<f4", "shape": [3]}
    return {"id": name, "type": "Scale", "fields": {"scale": ref}}


def archive(tmp_path, members, name="bad.zelq"):
    """A .zelq file with exactly `members` (name -> bytes, or a dict written as JSON)."""
    p = tmp_path / name
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names
        with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED) as zf:
            for n, data in members:
                zf.writestr(n, json.dumps(data) if isinstance(data, dict) else data)
    return p


GOOD_ARRAY = npy(np.arange(3, dtype=np.float32))


def test_minimal_hand_made_archive_is_read(tmp_path):
    p = archive(tmp_path, [("manifest.json", manifest([scale_node()])), ("arrays/0.npy", GOOD_ARRAY)])
    g = ir.read(p)
    assert g.nodes["s"].scale.tolist() == [0, 1, 2]


HOSTILE = {
    "traversal": ([("manifest.json", manifest()), ("../evil.npy", GOOD_ARRAY)], "unexpected member name"),
    "absolute": ([("manifest.json", manifest()), ("/etc/evil", b"x")], "unexpected member name"),
    "dotdot inside": ([("manifest.json", manifest()), ("arrays/../0.npy", GOOD_ARRAY)], "unexpected member name"),
    "backslash": ([("manifest.json", manifest()), ("arrays\\0.npy", GOOD_ARRAY)], "unexpected member name"),
    "extra file": ([("manifest.json", manifest()), ("run.py", b"import os")], "unexpected member name"),
    "duplicate": ([("manifest.json", manifest()), ("manifest.json", manifest())], "duplicate member"),
    "no manifest": ([("arrays/0.npy", GOOD_ARRAY)], "missing member 'manifest.json'"),
    "manifest not json": ([("manifest.json", b"{nope")], "not valid UTF-8 JSON"),
    "manifest not utf8": ([("manifest.json", b'{"a": "\xff"}')], "not valid UTF-8 JSON"),
    "manifest a list": ([("manifest.json", b"[]")], "must be a JSON object"),
    "manifest too deep": ([("manifest.json", b"[" * 100000 + b"]" * 100000)], "nested too deeply"),
    "wrong format": ([("manifest.json", manifest(format="zip"))], "format is 'zip'"),
    "wrong version": ([("manifest.json", manifest(format_version=2))], "unsupported format_version"),
    "version as bool": ([("manifest.json", manifest(format_version=True))], "'format_version' must be"),
    "nodes not list": ([("manifest.json", manifest(nodes={}))], "'nodes' must be of type list"),
    "edges not list": ([("manifest.json", manifest(edges="ab"))], "'edges' must be of type list"),
    "metadata not dict": ([("manifest.json", manifest(metadata=[1]))], "'metadata' must be of type dict"),
    "node not object": ([("manifest.json", manifest(nodes=[1]))], "node #0 must be a JSON object"),
    "node id missing": ([("manifest.json", manifest(nodes=[{"type": "Input", "fields": {}}]))], "missing key 'id'"),
    "node id not str": ([("manifest.json", manifest(nodes=[{"id": 3, "type": "Input", "fields": {}}]))],
                        "'id' must be of type str"),
    "unknown node type": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "os.system", "fields": {}}]))],
                          "unknown node type 'os.system'"),
    "unknown field": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "Input", "fields": {"__class__": 1}}]))],
                      "has no field '__class__'"),
    "duplicate id": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "Flatten", "fields": {}}] * 2))],
                     "duplicate node identifier 'a'"),
    "edge of three": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "Flatten", "fields": {}}],
                                                   edges=[["a", "a", "a"]]))], "edge #0 must be a list of two"),
    "edge to unknown node": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "Flatten", "fields": {}}],
                                                          edges=[["a", "b"]]))], "unknown node 'b'"),
    "malformed tagged value": ([("manifest.json", manifest(metadata={"x": {"$eval": "1"}}))], "malformed value"),
    "inconsistent fields": ([("manifest.json", manifest(nodes=[{"id": "a", "type": "Affine", "fields": {}}]))],
                            "inconsistent fields"),
    "array ref incomplete": ([("manifest.json", manifest([scale_node(ref={"$array": "arrays/0.npy"})])),
                              ("arrays/0.npy", GOOD_ARRAY)], "needs exactly the keys"),
    "array ref traversal": ([("manifest.json", manifest([scale_node(ref={"$array": "../0.npy", "dtype": "<f4",
                                                                          "shape": [3]})]))], "bad array member name"),
    "array ref missing": ([("manifest.json", manifest([scale_node()]))], "missing member 'arrays/0.npy'"),
    "array twice": ([("manifest.json", manifest([scale_node("a"), scale_node("b")])), ("arrays/0.npy", GOOD_ARRAY)],
                    "referenced twice"),
    "unreferenced array": ([("manifest.json", manifest()), ("arrays/0.npy", GOOD_ARRAY)], "unreferenced member"),
    "pickled object array": ([("manifest.json", manifest([scale_node(ref={"$array": "arrays/0.npy", "dtype": "|O",
                                                                           "shape": [1]})])),
                              ("arrays/0.npy", npy(np.array([{"x": 1}], dtype=object)))], "only numeric arrays"),
    "structured dtype": ([("manifest.json", manifest([scale_node()])),
                          ("arrays/0.npy", npy(np.zeros(3, "i4,f4")))], "only numeric arrays"),
    "text dtype": ([("manifest.json", manifest([scale_node()])), ("arrays/0.npy", npy(np.array(["abc"])))],
                   "only numeric arrays"),
    "dtype differs from manifest": ([("manifest.json", manifest([scale_node()])),
                                     ("arrays/0.npy", npy(np.arange(3, dtype=np.float64)))], "manifest declares <f4"),
    "shape differs from manifest": ([("manifest.json", manifest([scale_node()])),
                                     ("arrays/0.npy", npy(np.arange(4, dtype=np.float32)))], "manifest declares \\[3\\]"),
    "huge header shape": ([("manifest.json", manifest([scale_node(ref={"$array": "arrays/0.npy", "dtype": "<f4",
                                                                        "shape": [10**12, 10**6]})])),
                           ("arrays/0.npy", npy_with_header("<f4", (10**12, 10**6), b"\0" * 12))],
                          "truncated or corrupt"),
    "truncated npy data": ([("manifest.json", manifest([scale_node()])),
                            ("arrays/0.npy", GOOD_ARRAY[:-4])], "truncated or corrupt"),
    "garbage npy": ([("manifest.json", manifest([scale_node()])), ("arrays/0.npy", b"\x93NUMPY garbage")],
                    "malformed .npy header"),
    "npy header executes nothing": ([("manifest.json", manifest([scale_node()])),
                                     ("arrays/0.npy", b"\x93NUMPY\x01\x00\x20\x00__import__('os').system('x')   \n")],
                                    "malformed .npy header"),
}


@pytest.mark.parametrize("members,message", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_archives_are_refused(tmp_path, members, message):
    p = archive(tmp_path, members)
    with pytest.raises(ir.ZelqFormatError, match=message) as err:
        ir.read(p)
    assert str(p) in str(err.value)


def test_not_a_zip_truncated_and_corrupt(tmp_path):
    p = tmp_path / "g.zelq"
    ir.write(p, every_node_type())
    data = p.read_bytes()

    junk = tmp_path / "junk.zelq"
    junk.write_bytes(b"PK\x03\x04 not really")
    with pytest.raises(ir.ZelqFormatError, match="not a .zelq archive"):
        ir.read(junk)

    cut = tmp_path / "cut.zelq"
    cut.write_bytes(data[: len(data) // 2])
    with pytest.raises(ir.ZelqFormatError):
        ir.read(cut)

    # Flip bytes inside the compressed data of a member: a CRC or zlib error.
    flipped = bytearray(data)
    for i in range(200, 260):
        flipped[i] ^= 0x5A
    bad = tmp_path / "flipped.zelq"
    bad.write_bytes(bytes(flipped))
    with pytest.raises(ir.ZelqFormatError):
        ir.read(bad)


def test_missing_file_is_not_a_format_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        ir.read(tmp_path / "absent.zelq")


def test_zip_bomb_is_refused_before_inflating(tmp_path):
    bomb = np.zeros(16 << 20, dtype=np.uint8)  # 16 MiB of zeros deflate to a few KiB
    p = archive(tmp_path, [("manifest.json", manifest([scale_node(ref={"$array": "arrays/0.npy", "dtype": "|u1",
                                                                        "shape": [bomb.size]})])),
                           ("arrays/0.npy", npy(bomb))])
    with pytest.raises(ir.ZelqFormatError, match="zip bomb"):
        ir.read(p)


@pytest.mark.parametrize("limit,member", [("MAX_ARRAY_BYTES", "arrays/0.npy"), ("MAX_MANIFEST_BYTES", "manifest.json")])
def test_oversized_members_are_refused(tmp_path, monkeypatch, limit, member):
    p = archive(tmp_path, [("manifest.json", manifest([scale_node()])), ("arrays/0.npy", GOOD_ARRAY)])
    monkeypatch.setattr(ir, limit, 64)
    with pytest.raises(ir.ZelqFormatError, match=f"member '{member}' declares .* more than the limit of 64"):
        ir.read(p)


def test_total_size_and_member_count_limits(tmp_path, monkeypatch):
    p = archive(tmp_path, [("manifest.json", manifest([scale_node()])), ("arrays/0.npy", GOOD_ARRAY)])
    monkeypatch.setattr(ir, "MAX_TOTAL_BYTES", 100)
    with pytest.raises(ir.ZelqFormatError, match="in total"):
        ir.read(p)
    monkeypatch.undo()
    monkeypatch.setattr(ir, "MAX_MEMBERS", 1)
    with pytest.raises(ir.ZelqFormatError, match="too many members"):
        ir.read(p)


def test_any_damage_gives_a_format_error_or_the_same_graph(tmp_path):
    """Truncations and byte flips anywhere: never another exception, never a different graph."""
    src = tmp_path / "g.zelq"
    g = ir.Graph(metadata={"k": [1, 2]})
    g.add("in", ir.Input((3,)))
    g.add("s", ir.Scale(np.arange(3, dtype=np.float32)))
    g.connect("in", "s")
    ir.write(src, g)
    data = src.read_bytes()
    rng = np.random.default_rng(0)
    damaged = [data[:n] for n in range(0, len(data), 7)]
    for pos in rng.integers(0, len(data), 300):
        b = bytearray(data)
        b[pos] ^= 1 << int(rng.integers(0, 8))
        damaged.append(bytes(b))
    p = tmp_path / "d.zelq"
    for blob in damaged:
        p.write_bytes(blob)
        try:
            h = ir.read(p)
        except ir.ZelqFormatError:
            continue
        assert list(h.nodes) == ["in", "s"] and h.edges == [("in", "s")] and h.metadata == {"k": [1, 2]}
        assert h.nodes["s"].scale.tolist() == [0, 1, 2]


# ---------------------------------------------------------------- hostile files, both ways, within bounds

TIME_BOUND = 10.0  # seconds per read, generous for a loaded machine
MEMORY_BOUND = 64 << 20  # peak traced bytes per read


def refused(path, match=None):
    """Read `path` both ways; each must fail with ZelqFormatError within the bounds."""
    for reader in (ir.read, serialize.graph_to_dict):
        tracemalloc.start()
        t0 = time.perf_counter()
        try:
            with pytest.raises(ir.ZelqFormatError, match=match) as err:
                reader(str(path))
        finally:
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        assert time.perf_counter() - t0 < TIME_BOUND
        assert peak < MEMORY_BOUND, f"{reader.__name__} held {peak >> 20} MiB"
        assert isinstance(err.value, ValueError) and str(path) in str(err.value)


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


@pytest.mark.parametrize("members,message", HOSTILE.values(), ids=HOSTILE.keys())
def test_graph_to_dict_refuses_what_read_refuses(tmp_path, members, message):
    refused(archive(tmp_path, members), message)


@pytest.mark.parametrize("name", ["../evil.npy", "../../evil.npy", "/tmp/zelqviz-evil.npy", "arrays/../../evil.npy",
                                  "C:/evil.npy", "arrays/0.npy/../../evil.npy", "./manifest.json", "arrays//0.npy"])
def test_traversal_members_write_nothing(tmp_path, monkeypatch, name):
    work = tmp_path / "a" / "b"
    work.mkdir(parents=True)
    monkeypatch.chdir(work)
    path = archive(work, [("manifest.json", manifest()), (name, GOOD_ARRAY)])
    before = tree(tmp_path)
    refused(path, "unexpected member name")
    assert tree(tmp_path) == before
    assert not os.path.exists("/tmp/zelqviz-evil.npy")


def bomb(path, members, member_bytes):
    """`members` arrays of zeros, each just at the size that is not judged on its own."""
    zeros = npy_with_header("|u1", (member_bytes,), b"\0" * member_bytes)
    nodes = [scale_node(f"s{i}", {"$array": f"arrays/{i}.npy", "dtype": "|u1", "shape": [member_bytes]})
             for i in range(members)]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zf:
        zf.writestr("manifest.json", __import__("json").dumps(manifest(nodes)))
        for i in range(members):
            zf.writestr(f"arrays/{i}.npy", zeros)
    return path


def test_bomb_of_many_small_members_is_refused_before_inflating(tmp_path):
    # 64 members of just under 1 MiB each: no single one is judged by its ratio, the archive is.
    p = bomb(tmp_path / "bomb.zelq", 64, (1 << 20) - 200)
    assert p.stat().st_size < 200 << 10
    refused(p, "zip bomb")


def test_directory_that_understates_sizes(tmp_path):
    """The directory claims 100 bytes; the stream inflates to 64 MiB. Reading stops at the claim."""
    p = tmp_path / "liar.zelq"
    payload = npy_with_header("|u1", (64 << 20,), b"\0" * (64 << 20))
    node = scale_node(ref={"$array": "arrays/0.npy", "dtype": "|u1", "shape": [64 << 20]})
    with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("manifest.json", __import__("json").dumps(manifest([node])))
        zf.writestr("arrays/0.npy", payload)
    data = bytearray(p.read_bytes())
    # Patch the uncompressed size of the array member in its local header and in the directory.
    real = struct.pack("<I", len(payload))
    for offset in [i for i in range(len(data) - 4) if data[i:i + 4] == real]:
        data[offset:offset + 4] = struct.pack("<I", 100)
    p.write_bytes(bytes(data))
    refused(p)


@pytest.mark.parametrize("shape", [(2**62, 2**62), (-1,), (2**63,), (10**30,), (0, 2**62)])
def test_npy_headers_claiming_impossible_shapes(tmp_path, shape):
    ref = {"$array": "arrays/0.npy", "dtype": "<f4", "shape": [abs(d) for d in shape]}
    p = archive(tmp_path, [("manifest.json", manifest([scale_node(ref=ref)])),
                           ("arrays/0.npy", npy_with_header("<f4", shape, b"\0" * 16))])
    refused(p)


def test_npy_header_length_beyond_the_member(tmp_path):
    # Version 2 headers carry a 32-bit length: 4 GiB claimed, 40 bytes present.
    header = b"\x93NUMPY\x02\x00" + struct.pack("<I", 0xFFFFFFFF) + b"{'descr': '<f4'"
    p = archive(tmp_path, [("manifest.json", manifest([scale_node()])), ("arrays/0.npy", header)])
    refused(p, "malformed .npy header")


class _Marker:
    """Unpickling this would create the marker file."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


@pytest.mark.parametrize("declared", ["|O", "<f4"])
def test_pickled_payloads_are_never_unpickled(tmp_path, declared):
    marker = tmp_path / "pwned"
    body = pickle.dumps(np.array([_Marker(str(marker))], dtype=object), protocol=2)
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": "|O", "fortran_order": False, "shape": (1,)})
    ref = {"$array": "arrays/0.npy", "dtype": declared, "shape": [1]}
    p = archive(tmp_path, [("manifest.json", manifest([scale_node(ref=ref)])), ("arrays/0.npy", buf.getvalue() + body)])
    refused(p)
    assert not marker.exists()


@pytest.mark.parametrize("entry, message", [
    ({"type": "Scale", "fields": {}}, "missing key 'id'"),
    ({"id": "a", "fields": {}}, "missing key 'type'"),
    ({"id": "a", "type": "Scale"}, "missing key 'fields'"),
    ({"id": "a", "type": "Scale", "fields": []}, "'fields' must be of type dict"),
    ({"id": ["a"], "type": "Scale", "fields": {}}, "'id' must be of type str"),
    ({"id": "a", "type": 3, "fields": {}}, "'type' must be of type str"),
    ({"id": "a", "type": "Input", "fields": {"shape": {"$tuple": "12"}}}, "malformed value"),
    ({"id": "a", "type": "Input", "fields": {"shape": {"$dict": [1]}}}, "malformed value"),
    ({"id": "a", "type": "Input", "fields": {"shape": {"$tuple": [1], "x": 2}}}, "malformed value"),
    ({"id": "a", "type": "Conv2d", "fields": {"weight": "w", "input_shape": {"$tuple": [1, 4, 4]}}},
     "inconsistent fields"),
    ({"id": "a", "type": "Input", "fields": {"shape": {"$tuple": [1e999]}}}, "inconsistent fields"),
    ({"id": "a", "type": "Input", "fields": {"shape": {"$tuple": [float("nan")]}}}, "inconsistent fields"),
    ({"id": "a", "type": "SumPool2d", "fields": {"kernel_size": {"$tuple": [2, 2]}, "stride": {"$tuple": [0, 0]},
                                                  "input_shape": {"$tuple": [1, 4, 4]}}}, "inconsistent fields"),
    ({"id": "a", "type": "Flatten", "fields": {"input_shape": {"$tuple": []}, "end_dim": 5}}, None),
])
def test_manifest_entries_with_missing_keys_or_wrong_types(tmp_path, entry, message):
    p = archive(tmp_path, [("manifest.json", manifest([entry]))])
    if message is None:  # well-formed, if odd: read as written
        assert list(ir.read(p).nodes) == ["a"]
        return
    refused(p, message)


@pytest.mark.parametrize("key", ["format", "format_version", "nodes", "edges", "metadata"])
def test_manifest_without_each_key(tmp_path, key):
    m = manifest()
    del m[key]
    refused(archive(tmp_path, [("manifest.json", m)]), f"missing key '{key}'")


@pytest.mark.parametrize("cut", [0.05, 0.3, 0.6, 0.9, 0.99])
def test_truncated_archives_through_graph_to_dict(tmp_path, cut):
    p = tmp_path / "g.zelq"
    ir.write(p, every_node_type())
    data = p.read_bytes()
    p.write_bytes(data[: int(len(data) * cut)])
    refused(p)
