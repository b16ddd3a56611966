"""Hostile graph files through `zelq.ir.read` and `graph_to_dict(path)`, beyond the cases of graph/test_graph_file.py.

Every file gives a clear ZelqFormatError (a ValueError) within bounded time and memory, writes
nothing anywhere, and runs no code from the file.
"""
import io
import os
import pickle
import struct
import time
import tracemalloc
import zipfile

import numpy as np
import pytest

from tests.graph.test_graph_file import GOOD_ARRAY, HOSTILE, archive, every_node_type, manifest, npy_with_header, scale_node
from zelq import ir
from zelq.viz import serialize

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
