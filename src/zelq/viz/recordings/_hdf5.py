"""HDF5 event files (.h5, .hdf5), through h5py and hdf5plugin (the extra `hdf5`).

The layout is recognised by its datasets:
- a group of one-dimensional datasets named with the event roles (`events/x`, `y`, `t`, `p`),
  with an optional `t_offset` beside it added to `t` and a `ms_to_idx` index used to seek;
- a compound dataset whose fields carry the role names (Prophesee's `CD/events`);
- an (N, 4) float table of x, y, t in seconds and p in -1/1, one per camera;
- `spikes/times` (seconds) and `spikes/units`, one spike train per sample, with `labels`
  (and names in `extra/keys`): a sample is read as events with x = unit and p = 1.
Where a file holds several event sources, `dataset=` names one. Data is read a slice of rows
at a time, never the whole file.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from .. import _native
from . import _pieces
from ._problems import fail
from ._registry import File, Reader, Window

MAGIC = b"\x89HDF\r\n\x1a\n"
_ROWS = 1 << 20            # rows read at a time
_ECF = 36559               # Prophesee's ECF codec, which hdf5plugin does not carry


def need_h5py() -> Any:
    try:
        import h5py
    except ImportError:
        raise ImportError("reading HDF5 files needs h5py and hdf5plugin: pip install zelqviz[hdf5]") from None
    try:
        import hdf5plugin  # noqa: F401  (registers its filters with HDF5)
    except ImportError:
        pass
    return h5py


def _signature(file: File) -> bool:
    # The superblock sits at 0, or after a user block of 512 bytes times a power of two.
    head = file.head
    return any(head.startswith(MAGIC, at) for at in (0, 512, 1024, 2048, 4096, 8192))


class Source:
    """One event source in a file: `kind` "columns" (a group), "compound", "table" or "samples"."""

    def __init__(self, kind: str, path: str, columns: Dict[str, str], seconds: bool = False) -> None:
        self.kind, self.path, self.columns, self.seconds = kind, path, columns, seconds
        self.t_offset = 0
        self.index: Optional[str] = None   # ms_to_idx: the first event of each millisecond


def _roles(names: List[str]) -> Dict[str, str]:
    x, y, t, p = _native.events()._get_event_fields(np.empty(0, [(n, "u1") for n in names]))
    return {role: name for role, name in zip("xytp", (x, y, t, p)) if name is not None}


def _sources(h5: Any) -> List[Source]:
    """Every event source the file holds, in the order HDF5 lists them."""
    h5py = need_h5py()
    found: List[Source] = []

    def visit(name: str, obj: Any) -> None:
        if isinstance(obj, h5py.Group):
            if "times" in obj and "units" in obj and isinstance(obj["times"], h5py.Dataset) \
                    and obj["times"].dtype.kind == "O":
                found.append(Source("samples", name, {}))
                return
            members = [k for k, v in obj.items() if isinstance(v, h5py.Dataset) and v.ndim == 1
                       and v.dtype.kind in "iuf"]
            roles = _roles(members)
            if "x" in roles and "t" in roles:
                found.append(Source("columns", name, roles))
            return
        if not isinstance(obj, h5py.Dataset):
            return
        if obj.dtype.names:
            roles = _roles(list(obj.dtype.names))
            if "x" in roles and "t" in roles and obj.ndim == 1:
                found.append(Source("compound", name, roles))
        elif obj.ndim == 2 and obj.shape[1] == 4 and obj.dtype.kind == "f":
            found.append(Source("table", name, {}, seconds=True))

    h5.visititems(visit)
    return found


def _choose(p: Path, h5: Any, dataset: Optional[str]) -> Source:
    found = _sources(h5)
    names = ", ".join("/" + s.path for s in found)
    if dataset is not None:
        want = dataset.strip("/")
        for s in found:
            if s.path == want:
                return _settle(p, h5, s)
        raise fail(p, f"holds no event dataset '{dataset}' (its event datasets: {names or 'none'})")
    if not found:
        raise fail(p, "holds no event data: expected events/x, y, t, p, a compound dataset with x and t "
                      "fields, an (N, 4) table or spikes/times and spikes/units")
    if len(found) > 1:
        raise fail(p, f"holds several event datasets ({names}); choose one with dataset= "
                      "(on the command line, --dataset PATH)")
    return _settle(p, h5, found[0])


def _settle(p: Path, h5: Any, s: Source) -> Source:
    """The source's lengths checked against each other, its time offset and index found."""
    if s.kind == "columns":
        group = h5[s.path]
        lengths = {name: group[name].shape[0] for name in s.columns.values()}
        if len(set(lengths.values())) > 1:
            sizes = ", ".join(f"{k}: {v:,}" for k, v in lengths.items())
            raise fail(p, f"the datasets of '/{s.path}' disagree in length ({sizes})")
        parent = h5[s.path].parent
        for where in (group, parent):
            if "t_offset" in where and getattr(where["t_offset"], "shape", None) == ():
                value = where["t_offset"][()]
                if not np.issubdtype(np.asarray(value).dtype, np.integer):
                    raise fail(p, f"its t_offset ({value!r}) is not a whole number of µs")
                s.t_offset = int(value)
                break
        for where in (group, parent):
            if "ms_to_idx" in where and where["ms_to_idx"].ndim == 1:
                s.index = where["ms_to_idx"].name
                break
    elif s.kind == "samples":
        group = h5[s.path]
        if group["times"].shape != group["units"].shape:
            raise fail(p, f"'/{s.path}/times' and '/{s.path}/units' disagree in length "
                          f"({group['times'].shape[0]:,} and {group['units'].shape[0]:,} samples)")
    return s


def check_filters(p: Path, ds: Any) -> None:
    """Refuses a dataset whose compression filter this HDF5 cannot apply, naming it and the cure."""
    h5py = need_h5py()
    plist = ds.id.get_create_plist()
    for i in range(plist.get_nfilters()):
        fid, _, _, name = plist.get_filter(i)
        if h5py.h5z.filter_avail(fid):
            continue
        label = (name.decode("ascii", "replace") if isinstance(name, bytes) else str(name)) or "unnamed"
        what = f"'{ds.name}' is compressed with the {label} filter (id {fid}), which is not available here"
        if fid == _ECF:
            raise fail(p, f"{what}: install Prophesee's ECF codec (an HDF5 plugin) and put its folder on "
                          "HDF5_PLUGIN_PATH")
        try:
            import hdf5plugin  # noqa: F401
            cure = "put an HDF5 plugin for it on HDF5_PLUGIN_PATH"
        except ImportError:
            cure = "install hdf5plugin (pip install zelqviz[hdf5])"
        raise fail(p, f"{what}: {cure}")


def _open(p: Path) -> Any:
    h5py = need_h5py()
    try:
        return h5py.File(p, "r")
    except OSError as e:
        raise fail(p, f"cannot be read as HDF5 ({e})") from None


def _us(p: Path, t: np.ndarray, seconds: bool, offset: int) -> np.ndarray:
    if seconds or t.dtype.kind == "f":
        # In double precision whatever the stored float: a float32 product loses µs past 0.5 s.
        scaled = t.astype(np.float64) * 1e6 if seconds else t.astype(np.float64)
        if not np.isfinite(scaled).all() or (np.abs(scaled) > 9.2e18).any():
            raise fail(p, "holds a time that is not a number of µs within 64-bit times")
        us = np.rint(scaled).astype(np.int64)
    else:
        us = t.astype(np.int64)
    return us + offset if offset else us


def _rows(p: Path, read: Any, what: str) -> Any:
    try:
        return read()
    except OSError as e:
        raise fail(p, f"cannot read '{what}' ({e})") from None


def _column_pieces(p: Path, s: Source, sample: Optional[int]) -> _pieces.Pieces:
    """Passes over the source's events, a slice of rows at a time."""

    def pieces(lo: Optional[int]) -> Iterator[np.ndarray]:
        with _open(p) as h5:
            if s.kind == "samples":
                yield from _sample_pieces(p, h5, s, sample)
                return None
            node = h5[s.path]
            datasets = [node[c] for c in s.columns.values()] if s.kind == "columns" else [node]
            for ds in datasets:
                check_filters(p, ds)
            n = datasets[0].shape[0]
            at = _seek(p, h5, s, lo, n) if lo is not None else 0
            for i in range(at, n, _ROWS):
                j = min(i + _ROWS, n)
                yield _slice(p, node, s, i, j)
        return None

    return pieces  # type: ignore[return-value]


def _slice(p: Path, node: Any, s: Source, i: int, j: int) -> np.ndarray:
    c = s.columns
    if s.kind == "columns":
        col = {role: _rows(p, lambda name=name: node[name][i:j], f"{node.name}/{name}") for role, name in c.items()}
    elif s.kind == "compound":
        part = _rows(p, lambda: node[i:j], node.name)
        col = {role: part[name] for role, name in c.items()}
    else:
        part = _rows(p, lambda: node[i:j], node.name)
        col = {"x": part[:, 0], "y": part[:, 1], "t": part[:, 2], "p": part[:, 3]}
    for role in ("x", "y"):
        if role in col and col[role].dtype.kind == "f":
            col[role] = np.where(np.isfinite(col[role]), col[role], -1).astype(np.int64)
    t = _us(p, col["t"], s.seconds, s.t_offset)
    return _pieces.records(col["x"], col.get("y"), t, col.get("p"))


def _seek(p: Path, h5: Any, s: Source, lo: int, n: int) -> int:
    """The first row to read so that no event at or after `lo` is skipped: from the ms index when
    the file has one whose entry checks out against the times, else the first row."""
    if s.index is None:
        return 0
    index = h5[s.index]
    ms = (lo - s.t_offset) // 1000
    if ms <= 0 or ms >= index.shape[0]:
        return 0
    at = int(index[ms])
    if not 0 < at <= n:
        return 0
    t = h5[s.path][s.columns["t"]]
    before = int(_us(p, t[at - 1:at], s.seconds, s.t_offset)[0])
    return at if before < lo else 0


def _sample_pieces(p: Path, h5: Any, s: Source, sample: Optional[int]) -> Iterator[np.ndarray]:
    group = h5[s.path]
    k = _sample_index(p, group["times"].shape[0], sample)
    times, units = group["times"][k], group["units"][k]
    if len(times) != len(units):
        raise fail(p, f"sample {k} holds {len(times):,} times and {len(units):,} units")
    for i in range(0, len(times), _ROWS):
        t = _us(p, np.asarray(times[i:i + _ROWS]), True, 0)
        x = np.asarray(units[i:i + _ROWS]).astype(np.int64)
        yield _pieces.records(x, None, t, None)


def _sample_index(p: Path, n: int, sample: Optional[int]) -> int:
    if sample is None:
        raise fail(p, f"holds {n:,} samples of spike trains; choose one with sample= "
                      "(on the command line, --sample K)")
    if not 0 <= sample < n:
        raise fail(p, f"has no sample {sample} (it holds {n:,}, numbered from 0)")
    return sample


def _times(p: Path, s: Source) -> Any:
    if s.kind != "columns":
        return None

    def times() -> Iterator[np.ndarray]:
        with _open(p) as h5:
            ds = h5[s.path][s.columns["t"]]
            for i in range(0, ds.shape[0], _ROWS):
                yield _us(p, _rows(p, lambda: ds[i:i + _ROWS], ds.name), s.seconds, s.t_offset)
    return times


def _attr_sensor(p: Path, h5: Any, s: Source) -> Optional[Tuple[int, int]]:
    """A sensor size the file states in attributes (width and height, or geometry WxH)."""
    from ._headers import checked_sensor
    for node in (h5[s.path], h5[s.path].parent, h5):
        attrs = node.attrs
        if "width" in attrs and "height" in attrs:
            return checked_sensor(p, attrs["width"], attrs["height"], "width/height")
        if "geometry" in attrs:
            text = attrs["geometry"]
            text = text.decode("ascii", "replace") if isinstance(text, bytes) else str(text)
            dims = text.lower().split("x")
            if len(dims) == 2:
                return checked_sensor(p, dims[0].strip(), dims[1].strip(), "geometry")
    return None


class Opened:
    """A file's chosen source, read in pieces."""

    def __init__(self, file: File, dataset: Optional[str] = None, sample: Optional[int] = None) -> None:
        p = file.path
        with _open(p) as h5:
            self.source = _choose(p, h5, dataset)
            if self.source.kind == "samples":
                _sample_index(p, h5[self.source.path]["times"].shape[0], sample)
                self.sensor = None
            else:
                self.sensor = _attr_sensor(p, h5, self.source)
        self.piece_file = _pieces.PieceFile(p, _column_pieces(p, self.source, sample), self.sensor, file.size,
                                            unit="row", times=_times(p, self.source))


def samples(path: Any) -> Optional[List[Tuple[int, Any]]]:
    """(sample, label) of every sample of a spike-train file, labelled from its `labels` (named by
    `extra/keys` where it has them); None for a file of another layout."""
    p = Path(os.fspath(path))
    with _open(p) as h5:
        found = [s for s in _sources(h5) if s.kind == "samples"]
        if len(found) != 1:
            return None
        n = h5[found[0].path]["times"].shape[0]
        labels = np.asarray(h5["labels"][:n]) if "labels" in h5 else None
        keys = None
        if "extra" in h5 and "keys" in h5["extra"]:
            keys = [k.decode("utf-8", "replace") if isinstance(k, bytes) else str(k) for k in h5["extra"]["keys"][:]]
    out: List[Tuple[int, Any]] = []
    for k in range(n):
        label: Any = None
        if labels is not None and k < len(labels):
            label = labels[k].item()
            if keys is not None and isinstance(label, int) and 0 <= label < len(keys):
                label = keys[label]
        out.append((k, label))
    return out


def _opened(file: File) -> Opened:
    options = file.options or {}
    return Opened(file, options.get("dataset"), options.get("sample"))


def _read(file: File, window: Window) -> np.ndarray:
    return _pieces.read(_opened(file).piece_file, window)


def _iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    return _pieces.iterate(_opened(file).piece_file, window, chunk)


def _source(file: File, outside: str) -> Any:
    from ._registry import Source
    opened = _opened(file)
    return _pieces.source(opened.piece_file, "HDF5", outside)


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    """The size the file's attributes state for its one event source; None without one, or where
    the file holds several sources or spike trains."""
    with _open(file.path) as h5:
        found = _sources(h5)
        if len(found) != 1 or found[0].kind == "samples":
            return None
        return _attr_sensor(file.path, h5, found[0])


def reader(extension: str) -> Reader:
    return Reader(extension, "HDF5", _read, signature=_signature, accepts=(".h5", ".hdf5"),
                  sensor_size=_sensor_size, iterate=_iterate, source=_source, options=("dataset", "sample"))


H5 = reader(".h5")
HDF5 = reader(".hdf5")
