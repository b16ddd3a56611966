"""zelq.ir: a small intermediate representation of spiking neural networks.

A `Graph` holds `nodes` (a dict from node identifier to node object), `edges`
(a list of (source, target) identifier pairs) and `metadata` (a dict). Nodes
are dataclasses; array fields are learned parameters, other fields are
configuration. Every node carries `input_type` and `output_type`, dicts whose
keys "input" and "output" hold its shapes (tuples, or None when unknown).
A `Concat` stacks its incoming edges, in edge order, along its `axis`; a node
of any other type with several incoming edges receives their sum. (Files
written before `Concat` existed may fold a stacking join into the node that
consumes it; shapes tell the two apart, see `zelq.viz.patterns`.)

The .zelq file format
---------------------
A .zelq file is a ZIP archive holding exactly:

* ``manifest.json``: UTF-8 JSON object
  ``{"format": "zelq", "format_version": 1, "zelq_version": str,
  "nodes": [{"id": str, "type": str, "fields": {name: value}}, ...],
  "edges": [[source, target], ...], "metadata": {str: value}}``
* ``arrays/<n>.npy``: one NumPy .npy file per array value (n a decimal
  number), each referenced exactly once from the manifest.

Values are plain JSON (null, booleans, numbers, strings, lists) or a
one-key object that tags what JSON cannot say:

* ``{"$array": "arrays/0.npy", "dtype": "float32", "shape": [4, 3]}``;
  the .npy header must agree with the declared dtype and shape;
* ``{"$tuple": [...]}`` for a tuple;
* ``{"$dict": {...}}`` for a dict (string keys).

Arrays are numeric only (bool, signed and unsigned integers, floats, complex)
and are loaded with ``allow_pickle=False``. Nothing in a file is ever
executed. `read` refuses, with `ZelqFormatError` (a ValueError) naming the
file and the reason: archives that are not ZIP files or are truncated or
corrupt; member names other than the ones above (so no absolute paths, ".."
or backslashes); duplicate members; more than `MAX_MEMBERS` members; members
whose declared or actual size exceeds the limits (checked before and while
reading) or whose compression ratio betrays a zip bomb (so does the ratio of
the whole archive); .npy headers that are malformed, declare object,
structured or non-numeric dtypes, declare a shape whose data does not match
the bytes present, or disagree with the manifest;
manifests with missing keys, wrong types, unknown node types or fields,
duplicate node identifiers, or edges naming unknown nodes.
"""
from __future__ import annotations

import io
import json
import math
import numbers
import os
import re
import stat
import zipfile
import zlib
from dataclasses import MISSING, dataclass, field, fields
from typing import Any, Callable, NoReturn, Optional

import numpy as np

__version__ = "0.1.0"

__all__ = [
    "Node", "Input", "Output", "Affine", "Linear", "Conv1d", "Conv2d", "LIF", "CubaLIF", "IF", "LI",
    "Integrator", "Scale", "Threshold", "Flatten", "SumPool2d", "AvgPool2d", "MaxPool2d", "Upsample2d", "Concat",
    "Delay", "Graph",
    "ZelqFormatError", "read", "write", "NODE_TYPES",
]

FORMAT_NAME = "zelq"
FORMAT_VERSION = 1
MANIFEST = "manifest.json"

# Limits of `read`; generous for real models, far below what would exhaust a machine.
MAX_MEMBERS = 100_000
MAX_MANIFEST_BYTES = 64 << 20
MAX_ARRAY_BYTES = 1 << 30
MAX_TOTAL_BYTES = 4 << 30
MAX_COMPRESSION_RATIO = 200  # judged for members, and for the whole archive, above 1 MiB
_RATIO_FLOOR = 1 << 20

_ARRAY_MEMBER = re.compile(r"arrays/(0|[1-9][0-9]{0,8})\.npy")
_NUMERIC_KINDS = frozenset("biufc")


class ZelqFormatError(ValueError):
    """A .zelq file that is malformed, truncated or unsafe to load."""


Shape = Optional[tuple]
# Raises ZelqFormatError naming the file; never returns.
Fail = Callable[[str], NoReturn]


def _shape(value) -> Shape:
    """A shape as a tuple of ints; nested sequences (one shape per input) as tuples of those."""
    if value is None:
        return None
    return tuple(_shape(v) if isinstance(v, (tuple, list)) else int(v) for v in value)


def _arr(value, dtype=np.float32) -> Optional[np.ndarray]:
    if value is None:
        return None
    return np.asarray(value, dtype=dtype) if not isinstance(value, np.ndarray) else value


@dataclass(eq=False)
class Node:
    """Base of every node; subclasses fill in their shapes when not given."""

    input_type: dict = field(default_factory=dict, kw_only=True)
    output_type: dict = field(default_factory=dict, kw_only=True)

    def __post_init__(self):
        inp, out = self._shapes()
        self.input_type = dict(self.input_type) if self.input_type else {"input": _shape(inp)}
        self.output_type = dict(self.output_type) if self.output_type else {"output": _shape(out)}

    def _shapes(self):
        return None, None


def _elementwise(*names):
    """Shapes of a neuron-like node: those of its first parameter array."""

    def shapes(self):
        for n in names:
            a = getattr(self, n)
            if isinstance(a, np.ndarray):
                return a.shape, a.shape
        return None, None

    return shapes


@dataclass(eq=False)
class Input(Node):
    shape: tuple = ()

    def _shapes(self):
        return self.shape, self.shape


@dataclass(eq=False)
class Output(Node):
    shape: tuple = ()

    def _shapes(self):
        return self.shape, self.shape


@dataclass(eq=False)
class Affine(Node):
    """y = weight @ x + bias; weight (out, in)."""

    weight: Optional[np.ndarray] = None
    bias: Optional[np.ndarray] = None

    def _shapes(self):
        return (self.weight.shape[1],), (self.weight.shape[0],)


@dataclass(eq=False)
class Linear(Node):
    """y = weight @ x; weight (out, in)."""

    weight: Optional[np.ndarray] = None

    def _shapes(self):
        return (self.weight.shape[1],), (self.weight.shape[0],)


def _conv_out(size, k, stride, pad, dil):
    return (size + 2 * pad - dil * (k - 1) - 1) // stride + 1


@dataclass(eq=False)
class Conv1d(Node):
    """weight (out_channels, in_channels / groups, kernel)."""

    weight: Optional[np.ndarray] = None
    bias: Optional[np.ndarray] = None
    stride: int = 1
    padding: int = 0
    dilation: int = 1
    groups: int = 1
    input_shape: Optional[tuple] = None  # (channels, length)

    def _shapes(self):
        if self.input_shape is None:
            return None, None
        c, n = self.input_shape
        k = self.weight.shape[-1]
        return self.input_shape, (self.weight.shape[0], _conv_out(n, k, self.stride, self.padding, self.dilation))


@dataclass(eq=False)
class Conv2d(Node):
    """weight (out_channels, in_channels / groups, kh, kw)."""

    weight: Optional[np.ndarray] = None
    bias: Optional[np.ndarray] = None
    stride: tuple = (1, 1)
    padding: tuple = (0, 0)
    dilation: tuple = (1, 1)
    groups: int = 1
    input_shape: Optional[tuple] = None  # (channels, height, width)

    def _shapes(self):
        if self.input_shape is None:
            return None, None
        _, h, w = self.input_shape
        kh, kw = self.weight.shape[-2:]
        oh = _conv_out(h, kh, self.stride[0], self.padding[0], self.dilation[0])
        ow = _conv_out(w, kw, self.stride[1], self.padding[1], self.dilation[1])
        return self.input_shape, (self.weight.shape[0], oh, ow)


@dataclass(eq=False)
class LIF(Node):
    """Leaky integrate-and-fire: tau dv/dt = (v_leak - v) + r * i."""

    tau: Optional[np.ndarray] = None
    r: Optional[np.ndarray] = None
    v_leak: Optional[np.ndarray] = None
    v_threshold: Optional[np.ndarray] = None
    v_reset: Optional[np.ndarray] = None

    _shapes = _elementwise("tau")


@dataclass(eq=False)
class CubaLIF(Node):
    """Current-based LIF: a synaptic current filter before the membrane."""

    tau_syn: Optional[np.ndarray] = None
    tau_mem: Optional[np.ndarray] = None
    r: Optional[np.ndarray] = None
    v_leak: Optional[np.ndarray] = None
    v_threshold: Optional[np.ndarray] = None
    w_in: Optional[np.ndarray] = None

    _shapes = _elementwise("tau_mem")


@dataclass(eq=False)
class IF(Node):
    """Integrate-and-fire without leak."""

    r: Optional[np.ndarray] = None
    v_threshold: Optional[np.ndarray] = None
    v_reset: Optional[np.ndarray] = None

    _shapes = _elementwise("r")


@dataclass(eq=False)
class LI(Node):
    """Leaky integrator without spikes."""

    tau: Optional[np.ndarray] = None
    r: Optional[np.ndarray] = None
    v_leak: Optional[np.ndarray] = None

    _shapes = _elementwise("tau")


@dataclass(eq=False)
class Integrator(Node):
    r: Optional[np.ndarray] = None

    _shapes = _elementwise("r")


@dataclass(eq=False)
class Scale(Node):
    scale: Optional[np.ndarray] = None

    _shapes = _elementwise("scale")


@dataclass(eq=False)
class Threshold(Node):
    threshold: Optional[np.ndarray] = None

    _shapes = _elementwise("threshold")


@dataclass(eq=False)
class Flatten(Node):
    start_dim: int = 0
    end_dim: int = -1
    input_shape: Optional[tuple] = None

    def _shapes(self):
        if self.input_shape is None:
            return None, None
        s = list(self.input_shape)
        end = self.end_dim % len(s) if s else 0
        return self.input_shape, tuple(s[: self.start_dim] + [math.prod(s[self.start_dim : end + 1])] + s[end + 1 :])


@dataclass(eq=False)
class _Pool2d(Node):
    kernel_size: tuple = (2, 2)
    stride: Optional[tuple] = None  # None: the kernel size
    padding: tuple = (0, 0)
    input_shape: Optional[tuple] = None  # (channels, height, width)

    def _shapes(self):
        if self.input_shape is None:
            return None, None
        c, h, w = self.input_shape
        stride = self.stride or self.kernel_size
        oh = _conv_out(h, self.kernel_size[0], stride[0], self.padding[0], 1)
        ow = _conv_out(w, self.kernel_size[1], stride[1], self.padding[1], 1)
        return self.input_shape, (c, oh, ow)


@dataclass(eq=False)
class SumPool2d(_Pool2d):
    pass


@dataclass(eq=False)
class AvgPool2d(_Pool2d):
    pass


@dataclass(eq=False)
class MaxPool2d(_Pool2d):
    pass


@dataclass(eq=False)
class Upsample2d(Node):
    """Nearest-neighbour upsampling by `scale_factor` (one number, or (height, width))."""

    scale_factor: tuple = (2, 2)
    input_shape: Optional[tuple] = None  # (channels, height, width)

    def _shapes(self):
        if self.input_shape is None:
            return None, None
        c, h, w = self.input_shape
        f = self.scale_factor
        fh, fw = (f, f) if isinstance(f, numbers.Real) else f
        if not (fh > 0 and fw > 0):
            raise ValueError(f"scale_factor must be positive, not {f!r}")
        return self.input_shape, (c, math.floor(h * fh), math.floor(w * fw))


@dataclass(eq=False)
class Concat(Node):
    """Stacks its inputs, in edge order, along `axis` of the per-sample shape (0: channels).

    `input_shapes` holds one per-sample shape per input; the node's input shape is
    that tuple of shapes, its output the stacked shape.
    """

    axis: int = 0
    input_shapes: Optional[tuple] = None

    def _shapes(self):
        if self.input_shapes is None:
            return None, None
        shapes = [tuple(int(d) for d in s) for s in self.input_shapes]
        if not shapes:
            raise ValueError("a Concat needs at least one input shape")
        rank = len(shapes[0])
        if not -rank <= self.axis < rank:
            raise ValueError(f"axis {self.axis} is out of range for shapes of rank {rank}")
        axis = self.axis % rank
        rest = [s[:axis] + s[axis + 1:] for s in shapes]
        if any(len(s) != rank for s in shapes) or any(r != rest[0] for r in rest):
            raise ValueError(f"shapes {shapes} differ outside axis {self.axis}")
        out = list(shapes[0])
        out[axis] = sum(s[axis] for s in shapes)
        return tuple(shapes), tuple(out)


@dataclass(eq=False)
class Delay(Node):
    """Per-element transmission delay in time steps."""

    delay: Optional[np.ndarray] = None

    _shapes = _elementwise("delay")


NODE_TYPES = {
    cls.__name__: cls
    for cls in (Input, Output, Affine, Linear, Conv1d, Conv2d, LIF, CubaLIF, IF, LI, Integrator, Scale,
                Threshold, Flatten, SumPool2d, AvgPool2d, Delay, MaxPool2d, Upsample2d, Concat)
}


@dataclass(eq=False)
class Graph:
    nodes: dict = field(default_factory=dict)
    edges: list = field(default_factory=list)
    metadata: dict = field(default_factory=dict)

    def add(self, name: str, node: Node) -> str:
        if name in self.nodes:
            raise ValueError(f"duplicate node identifier {name!r}")
        self.nodes[name] = node
        return name

    def connect(self, *chain: str) -> None:
        """Add the edges a -> b -> c ... along `chain`."""
        for src, dst in zip(chain, chain[1:]):
            for n in (src, dst):
                if n not in self.nodes:
                    raise KeyError(f"no node {n!r}")
            self.edges.append((src, dst))


# ---------------------------------------------------------------- writing


def _check_array(a: np.ndarray, where: str) -> None:
    if a.dtype.kind not in _NUMERIC_KINDS or a.dtype.fields is not None or a.dtype.subdtype is not None:
        raise TypeError(f"{where}: only numeric arrays can be stored, not dtype {a.dtype}")


class _Writer:
    def __init__(self):
        self.arrays: list[np.ndarray] = []

    def value(self, v, where: str):
        if isinstance(v, np.ndarray):
            _check_array(v, where)
            name = f"arrays/{len(self.arrays)}.npy"
            self.arrays.append(v)
            return {"$array": name, "dtype": v.dtype.str, "shape": list(v.shape)}
        if isinstance(v, np.generic):
            return self.value(v.item(), where)
        if v is None or isinstance(v, (bool, int, float, str)):
            return v
        if isinstance(v, tuple):
            return {"$tuple": [self.value(x, where) for x in v]}
        if isinstance(v, list):
            return [self.value(x, where) for x in v]
        if isinstance(v, dict):
            for k in v:
                if not isinstance(k, str):
                    raise TypeError(f"{where}: dict keys must be strings, not {type(k).__name__}")
            return {"$dict": {k: self.value(x, where) for k, x in v.items()}}
        raise TypeError(f"{where}: cannot store a value of type {type(v).__name__}")


def write(path, graph: Graph) -> None:
    """Write `graph` to `path` (str, bytes or path-like) as a .zelq archive."""
    w = _Writer()
    nodes = []
    for name, node in graph.nodes.items():
        if not isinstance(name, str):
            raise TypeError(f"node identifiers must be strings, not {type(name).__name__}")
        cls = type(node)
        if NODE_TYPES.get(cls.__name__) is not cls:
            raise TypeError(f"node {name!r}: {cls.__name__} is not a zelq.ir node type")
        values = {f.name: w.value(getattr(node, f.name), f"node {name!r} field {f.name!r}") for f in fields(node)}
        nodes.append({"id": name, "type": cls.__name__, "fields": values})
    edges = []
    for e in graph.edges:
        src, dst = e
        if src not in graph.nodes or dst not in graph.nodes:
            raise KeyError(f"edge ({src!r}, {dst!r}) names a node that is not in the graph")
        edges.append([src, dst])
    metadata = w.value(dict(graph.metadata or {}), "metadata")["$dict"]
    manifest = {"format": FORMAT_NAME, "format_version": FORMAT_VERSION, "zelq_version": __version__,
                "nodes": nodes, "edges": edges, "metadata": metadata}
    text = json.dumps(manifest, ensure_ascii=False, allow_nan=True).encode("utf-8")
    with zipfile.ZipFile(_fspath(path), "w", compression=zipfile.ZIP_DEFLATED) as zf:
        zf.writestr(MANIFEST, text)
        for i, a in enumerate(w.arrays):
            buf = io.BytesIO()
            np.lib.format.write_array(buf, a, allow_pickle=False)
            zf.writestr(f"arrays/{i}.npy", buf.getvalue())


# ---------------------------------------------------------------- reading


def _fspath(path) -> str:
    p = os.fspath(path)
    return os.fsdecode(p) if isinstance(p, bytes) else p


class _Reader:
    def __init__(self, zf: zipfile.ZipFile, fail: Fail):
        self.zf = zf
        self.fail = fail
        self.total = 0
        self.used: set[str] = set()
        infos = zf.infolist()
        if len(infos) > MAX_MEMBERS:
            fail(f"too many members ({len(infos)} > {MAX_MEMBERS})")
        self.infos: dict[str, zipfile.ZipInfo] = {}
        declared = compressed = 0
        for info in infos:
            name = info.filename
            if name != MANIFEST and not _ARRAY_MEMBER.fullmatch(name):
                fail(f"unexpected member name {name!r}")
            if name in self.infos:
                fail(f"duplicate member {name!r}")
            if info.flag_bits & 0x1:
                fail(f"member {name!r} is encrypted")
            limit = MAX_MANIFEST_BYTES if name == MANIFEST else MAX_ARRAY_BYTES
            if info.file_size > limit:
                fail(f"member {name!r} declares {info.file_size} bytes, more than the limit of {limit}")
            if info.file_size > _RATIO_FLOOR and info.file_size > MAX_COMPRESSION_RATIO * max(info.compress_size, 1):
                fail(f"member {name!r} is compressed more than {MAX_COMPRESSION_RATIO}:1 (zip bomb?)")
            declared += info.file_size
            compressed += info.compress_size
            self.infos[name] = info
        if declared > MAX_TOTAL_BYTES:
            fail(f"members declare {declared} bytes in total, more than the limit of {MAX_TOTAL_BYTES}")
        # Many members just below the floor would each escape the check above.
        if declared > _RATIO_FLOOR and declared > MAX_COMPRESSION_RATIO * max(compressed, 1):
            fail(f"members are compressed more than {MAX_COMPRESSION_RATIO}:1 in total (zip bomb?)")

    def member(self, name: str, limit: int) -> bytes:
        info = self.infos.get(name)
        if info is None:
            self.fail(f"missing member {name!r}")
        chunks, size = [], 0
        # Read in bounded chunks: the sizes in the archive directory may lie.
        with self.zf.open(info) as f:
            while True:
                chunk = f.read(1 << 20)
                if not chunk:
                    break
                size += len(chunk)
                self.total += len(chunk)
                if size > limit or self.total > MAX_TOTAL_BYTES:
                    self.fail(f"member {name!r} is larger than allowed")
                chunks.append(chunk)
        return b"".join(chunks)

    def array(self, ref: dict, where: str) -> np.ndarray:
        fail = self.fail
        if set(ref) != {"$array", "dtype", "shape"}:
            fail(f"{where}: an array reference needs exactly the keys $array, dtype and shape")
        name, dtype_text, shape = ref["$array"], ref["dtype"], ref["shape"]
        if not isinstance(name, str) or not _ARRAY_MEMBER.fullmatch(name):
            fail(f"{where}: bad array member name {name!r}")
        if name in self.used:
            fail(f"{where}: array member {name!r} is referenced twice")
        self.used.add(name)
        if not isinstance(dtype_text, str) or not isinstance(shape, list) or not all(
                type(d) is int and d >= 0 for d in shape):
            fail(f"{where}: array dtype must be a string and shape a list of non-negative integers")
        data = self.member(name, MAX_ARRAY_BYTES)
        buf = io.BytesIO(data)
        # Any: NumPy 1.26 takes max_header_size, but its type stubs do not name it.
        npy: Any = np.lib.format
        try:
            version = npy.read_magic(buf)
            if version == (1, 0):
                hshape, fortran, dtype = npy.read_array_header_1_0(buf, max_header_size=10000)
            elif version in ((2, 0), (3, 0)):
                hshape, fortran, dtype = npy.read_array_header_2_0(buf, max_header_size=10000)
            else:
                raise ValueError(f"unsupported .npy version {version}")
        except (ValueError, TypeError, SyntaxError, EOFError) as e:
            fail(f"{where}: malformed .npy header in {name!r}: {e}")
        if dtype.hasobject or dtype.fields is not None or dtype.subdtype is not None or \
                dtype.kind not in _NUMERIC_KINDS:
            fail(f"{where}: {name!r} holds dtype {dtype}, only numeric arrays are allowed")
        if dtype.str != dtype_text:
            fail(f"{where}: {name!r} holds dtype {dtype.str}, the manifest declares {dtype_text}")
        if list(hshape) != shape:
            fail(f"{where}: {name!r} has shape {list(hshape)}, the manifest declares {shape}")
        expected = math.prod(hshape) * dtype.itemsize
        present = len(data) - buf.tell()
        if expected != present:
            fail(f"{where}: {name!r} declares {expected} data bytes but holds {present} (truncated or corrupt)")
        a = np.frombuffer(data, dtype=dtype, offset=buf.tell())
        a = a.reshape(hshape, order="F" if fortran else "C")
        return a.copy(order="K")

    def value(self, v, where: str, depth: int = 0):
        if depth > 100:
            self.fail(f"{where}: values nested too deeply")
        if v is None or isinstance(v, (bool, int, float, str)):
            return v
        if isinstance(v, list):
            return [self.value(x, where, depth + 1) for x in v]
        if isinstance(v, dict):
            if "$array" in v:
                return self.array(v, where)
            if set(v) == {"$tuple"} and isinstance(v["$tuple"], list):
                return tuple(self.value(x, where, depth + 1) for x in v["$tuple"])
            if set(v) == {"$dict"} and isinstance(v["$dict"], dict):
                return {k: self.value(x, where, depth + 1) for k, x in v["$dict"].items()}
        self.fail(f"{where}: malformed value {str(v)[:80]}")


def _require(obj, key, kind, fail: Fail, where):
    if not isinstance(obj, dict) or key not in obj:
        fail(f"{where}: missing key {key!r}")
    v = obj[key]
    if not isinstance(v, kind) or (kind is int and isinstance(v, bool)):
        names = kind.__name__ if isinstance(kind, type) else "/".join(k.__name__ for k in kind)
        fail(f"{where}: {key!r} must be of type {names}, not {type(v).__name__}")
    return v


def read(path) -> Graph:
    """Read a .zelq archive written by `write`; see the module docstring for what is refused."""
    p = _fspath(path)

    def fail(reason: str) -> NoReturn:
        raise ZelqFormatError(f"{p}: {reason}")

    try:
        # Checked before opening: opening a FIFO for reading waits for a writer.
        if not stat.S_ISREG(os.stat(p).st_mode):
            fail("not a regular file")
        zf = zipfile.ZipFile(p, "r")
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError) as e:
        fail(f"not a .zelq archive ({e})")
    try:
        with zf:
            return _read_archive(_Reader(zf, fail), fail)
    except zipfile.BadZipFile as e:
        fail(f"corrupt archive ({e})")
    except RecursionError:
        fail("manifest nested too deeply")
    except zlib.error as e:
        fail(f"corrupt archive (zlib: {e})")
    except (NotImplementedError, zipfile.LargeZipFile):  # a damaged directory names an unknown method or version
        fail("corrupt archive (its directory names a zip feature this reader does not have)")
    except (EOFError, OSError, RuntimeError) as e:
        # truncated-stream failures surface as these.
        if isinstance(e, (FileNotFoundError, PermissionError)):
            raise
        fail(f"corrupt archive ({type(e).__name__}: {e})")


def _read_archive(r: _Reader, fail: Fail) -> Graph:
    raw = r.member(MANIFEST, MAX_MANIFEST_BYTES)
    try:
        manifest = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        fail(f"manifest is not valid UTF-8 JSON ({e})")
    if not isinstance(manifest, dict):
        fail("manifest must be a JSON object")
    if _require(manifest, "format", str, fail, "manifest") != FORMAT_NAME:
        fail(f"manifest format is {manifest['format']!r}, not {FORMAT_NAME!r}")
    version = _require(manifest, "format_version", int, fail, "manifest")
    if version != FORMAT_VERSION:
        fail(f"unsupported format_version {version}")
    raw_nodes = _require(manifest, "nodes", list, fail, "manifest")
    raw_edges = _require(manifest, "edges", list, fail, "manifest")
    raw_meta = _require(manifest, "metadata", dict, fail, "manifest")

    g = Graph()
    for i, entry in enumerate(raw_nodes):
        where = f"node #{i}"
        if not isinstance(entry, dict):
            fail(f"{where} must be a JSON object")
        name = _require(entry, "id", str, fail, where)
        where = f"node {name!r}"
        type_name = _require(entry, "type", str, fail, where)
        values = _require(entry, "fields", dict, fail, where)
        cls = NODE_TYPES.get(type_name)
        if cls is None:
            fail(f"{where}: unknown node type {type_name!r}")
        if name in g.nodes:
            fail(f"duplicate node identifier {name!r}")
        known = {f.name: f for f in fields(cls)}
        for key in values:
            if key not in known:
                fail(f"{where}: {type_name} has no field {key!r}")
        for fname, f in known.items():
            if fname not in values and f.default is MISSING and f.default_factory is MISSING:
                fail(f"{where}: missing field {fname!r}")
        kwargs = {k: r.value(v, f"{where} field {k!r}") for k, v in values.items()}
        try:
            g.nodes[name] = cls(**kwargs)
        except (TypeError, ValueError, IndexError, AttributeError, ArithmeticError) as e:
            # ArithmeticError: a zero stride, or an infinite size (JSON allows Infinity).
            fail(f"{where}: inconsistent fields ({type(e).__name__}: {e})")
    for i, edge in enumerate(raw_edges):
        if not (isinstance(edge, list) and len(edge) == 2 and all(isinstance(x, str) for x in edge)):
            fail(f"edge #{i} must be a list of two node identifiers")
        for x in edge:
            if x not in g.nodes:
                fail(f"edge #{i} names unknown node {x!r}")
        g.edges.append((edge[0], edge[1]))
    g.metadata = {k: r.value(v, f"metadata {k!r}") for k, v in raw_meta.items()}
    unused = set(r.infos) - r.used - {MANIFEST}
    if unused:
        fail(f"unreferenced member {sorted(unused)[0]!r}")
    return g
