"""Whole datasets at a glance: one summary record per recording file, computed on Dask.

`summarize_dataset` walks a folder (or takes a list of files), sends the files
in batches to Dask workers, and has each worker summarise its files with one
streaming pass of the native engine (`zelq.viz.recording_page.summarize_recording`).
A file that cannot be read never stops the run: it becomes a "refused" row
with the reader's message. `write_parquet` / `read_parquet` keep the records
for pandas or polars; `export_dataset_html` writes the offline dataset page.
"""
from __future__ import annotations

import contextlib
import logging
import math
import os
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _args, pagefiles
from ._machine import cores
from .recordings import FORMATS, file_parts, in_folder

__all__ = ["summarize_dataset", "export_dataset_html", "write_parquet", "read_parquet", "read_labels",
           "STATUSES", "COLUMNS"]

STATUSES = ("ok", "cut short", "empty", "refused")

# Record keys in Parquet column order, with their Arrow types (built lazily: pyarrow is an extra).
COLUMNS = ("path", "label", "format", "sensor_size", "t_first", "t_last", "duration_us", "event_count",
           "on_count", "rate_mean", "rate_peak", "hot_pixels", "hot_count", "hot_rule", "thumbnail",
           "status", "offset", "message", "gaps", "backwards")

Record = Dict[str, Any]
Progress = Optional[Callable[[int, int, int, float], None]]

# Batches are measured in work: a file's bytes plus what opening and summarising any file
# costs, about as much as decoding _FILE_COST bytes. Few big batches keep the scheduler's
# and the client's share small (a task costs milliseconds of their CPU, which two busy
# workers feel); the last ones shrink, so that no worker waits long for another at the
# end; none is so big that progress and checkpoints come rarely.
_FILE_COST = 48 << 10
_BATCH_COST_MAX = 128 << 20
_BATCH_COST_MIN = 8 << 20
_BATCHES_PER_WORKER = 4
_CHECKPOINT_S = 30.0
# Budget of each recording page written beside the dataset page: thousands of them add up.
PAGE_MB = 10


def _extra(module: str) -> Any:
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"dataset summaries need {module.split('.')[0]}: pip install zelqviz[dataset]") from None


# ---------------------------------------------------------------- files and labels

def _files(paths_or_dir: Any) -> Tuple[List[str], Optional[Path]]:
    """Absolute paths of the recordings to summarise, sorted, and the folder they were found in."""
    if isinstance(paths_or_dir, (str, os.PathLike)):
        root = Path(os.fspath(paths_or_dir))
        if not root.is_dir():
            if not root.exists():
                raise FileNotFoundError(f"{root}: no such file or folder")
            return [os.path.abspath(root)], root.parent
        found: List[str] = []
        for folder, dirs, names in os.walk(root):
            dirs.sort()
            found.extend(os.path.join(folder, n) for n in names if os.path.splitext(n)[1].lower() in FORMATS
                         and in_folder(os.path.join(folder, n)))
        return sorted(os.path.abspath(f) for f in found), root
    if isinstance(paths_or_dir, (bytes, bytearray)) or not hasattr(paths_or_dir, "__iter__"):
        _args.refuse("paths_or_dir", "str, os.PathLike or a list of paths", paths_or_dir)
    files = []
    for p in paths_or_dir:
        if not isinstance(p, (str, os.PathLike)):
            _args.refuse("paths_or_dir", "str, os.PathLike or a list of paths", p)
        files.append(os.path.abspath(os.fspath(p)))
    common = os.path.commonpath(files) if files else None
    common_root = Path(common) if common and os.path.isdir(common) else (Path(common).parent if common else None)
    return list(dict.fromkeys(files)), common_root


def read_labels(path: Union[str, os.PathLike]) -> Dict[str, str]:
    """Labels from a CSV file of `path,label` rows (a header row `path,label` is skipped)."""
    from .inputfiles import csv_rows, text as read_text
    out: Dict[str, str] = {}
    first = True
    for line, row in csv_rows(read_text(path), str(path)):
        if not row or not any(c.strip() for c in row):
            continue
        if len(row) < 2:
            raise ValueError(f"{path}: line {line} has no label (expected path,label)")
        if first and [c.strip().lower() for c in row[:2]] == ["path", "label"]:
            first = False
            continue
        first = False
        out[row[0].strip()] = row[1].strip()
    return out


def _labeller(labels: Optional[Mapping[Any, Any]], root: Optional[Path]) -> Callable[[str], str]:
    """path -> label: the mapping's entry (by absolute path, path under the root, or file name), else the folder name."""
    by_path: Dict[str, str] = {}
    if labels is not None:
        if not isinstance(labels, Mapping):
            _args.refuse("labels", "dict", labels)
        for key, value in labels.items():
            if not isinstance(key, (str, os.PathLike)):
                _args.refuse("labels", "dict of path to label", key)
            key = os.fspath(key)
            by_path[os.path.normpath(key)] = str(value)
            if root is not None and not os.path.isabs(key):
                by_path.setdefault(os.path.normpath(os.path.join(os.path.abspath(root), key)), str(value))

    def label(path: str) -> str:
        if by_path:
            for key in (path, _relative(path, root), os.path.basename(path)):
                if key in by_path:
                    return by_path[key]
        return os.path.basename(os.path.dirname(path))

    return label


def _relative(path: str, root: Optional[Path]) -> str:
    if root is None:
        return path
    try:
        rel = os.path.relpath(path, os.path.abspath(root))
    except ValueError:
        return path
    return path if rel.startswith("..") else rel


# ---------------------------------------------------------------- one file, on a worker

def _refused(path: str, message: str) -> Record:
    ext = os.path.splitext(path)[1].lower()
    rec: Record = dict.fromkeys(COLUMNS)
    rec.update(path=path, format=FORMATS.get(ext), status="refused", message=message)
    return rec


def _reason(path: str, e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return f"{path}: {e.strerror}"
    text = str(e).splitlines()[0] if str(e) else ""
    if isinstance(e, (ValueError, ImportError)) and text:
        return text
    return f"{path}: {type(e).__name__}{': ' + text if text else ''}"


def _summarize_file(path: str, summarize: Callable[..., Record], page: Optional[str],
                    export: Optional[Callable[..., Any]]) -> List[Record]:
    """The rows of a file: one, or one per labelled segment or spike-train sample it holds, each
    with its own label (in `_label`)."""
    try:
        parts = file_parts(path)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - the row says why, the run goes on
        return [_refused(path, _reason(path, e))]
    if parts is None:
        return [_summarize_part(path, summarize, page, export, {})]
    rows = []
    for i, (choice, label) in enumerate(parts):
        row = _summarize_part(path, summarize, page if i == 0 else None, export, choice)
        row["_label"] = label
        rows.append(row)
    return rows


def _summarize_part(path: str, summarize: Callable[..., Record], page: Optional[str],
                    export: Optional[Callable[..., Any]], choice: Dict[str, Any]) -> Record:
    try:
        rec = dict(summarize(path, **choice))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - a reader's panic too: the row says why, the run goes on
        return _refused(path, _reason(path, e))
    out: Record = dict.fromkeys(COLUMNS)
    out.update((k, v) for k, v in rec.items() if k in out)
    out["path"] = path
    if page is not None and export is not None and out["status"] != "refused":
        try:
            os.makedirs(os.path.dirname(page), exist_ok=True)
            export(path, page, max_page_mb=PAGE_MB, **{k: v for k, v in choice.items() if k == "sample"})
            out["page"] = page
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # noqa: BLE001 - the summary stands without its page
            out["page_error"] = _reason(path, e)
    return out


_ALLOCATOR_TUNED = False


def _keep_buffers() -> None:
    """Let glibc keep freed buffers in this process (once).

    Dask starts worker processes with MALLOC_TRIM_THRESHOLD_ set, which also fixes
    the mmap threshold at 128 KiB: every file's engine buffers are then mapped fresh
    and page-faulted again, several times the cost of a small file's decoding.
    """
    global _ALLOCATOR_TUNED
    if _ALLOCATOR_TUNED:
        return
    _ALLOCATOR_TUNED = True
    import multiprocessing
    if not sys.platform.startswith("linux") or multiprocessing.parent_process() is None:
        return  # the user's own process keeps its allocator settings
    try:
        import ctypes
        libc = ctypes.CDLL("libc.so.6")
        libc.mallopt(-3, 32 << 20)   # M_MMAP_THRESHOLD
        libc.mallopt(-1, 128 << 20)  # M_TRIM_THRESHOLD
    except (OSError, AttributeError):  # not glibc: nothing to tune
        pass


def _summarize_batch(paths: Sequence[str], summarize: Optional[Callable[[str], Record]],
                     pages: Optional[Sequence[Optional[str]]]) -> List[Record]:
    """Records of a batch of files, in order (runs on a worker)."""
    _keep_buffers()
    export = None
    if summarize is None or pages is not None:
        from . import recording_page
        summarize = summarize or recording_page.summarize_recording
        export = recording_page.export_recording_html if pages is not None else None
    return [row for i, p in enumerate(paths) for row in _summarize_file(p, summarize, pages[i] if pages else None, export)]


# ---------------------------------------------------------------- batches and the cluster

def _batches(files: Sequence[str], workers: int) -> List[List[str]]:
    """Consecutive runs of files, several per worker, from big to small (see _batch_ends)."""
    costs = []
    for f in files:
        try:
            size = os.stat(f).st_size
        except OSError:
            size = 0
        costs.append(max(size, 4096) + _FILE_COST)
    ends = _batch_ends(costs, workers)
    return [list(files[a:b]) for a, b in zip([0] + ends, ends)]


def _batch_ends(costs: Sequence[int], workers: int) -> List[int]:
    """Where each batch of files of these costs ends: guided, each takes a share of the work
    left, between _BATCH_COST_MIN and _BATCH_COST_MAX (and at most a share of the whole that
    leaves _BATCHES_PER_WORKER batches to each worker)."""
    left = sum(costs)
    most = min(_BATCH_COST_MAX, left / (workers * _BATCHES_PER_WORKER))

    def goal() -> float:
        return min(most, max(_BATCH_COST_MIN, left / (2 * workers)))

    ends: List[int] = []
    run_cost, want = 0, goal()
    for i, c in enumerate(costs):
        run_cost += c
        if run_cost >= want:
            ends.append(i + 1)
            left -= run_cost
            run_cost, want = 0, goal()
    if run_cost:
        ends.append(len(costs))
    return ends


def local_cluster(workers: Optional[int] = None) -> Any:
    """A Dask client on a new local cluster.

    By default the cluster lives in this process with one thread per core: it starts in
    a few milliseconds, and the engine decodes without the GIL. `workers` processes of
    one thread each start in seconds, but also spread the Python work between files
    over the cores (many small files) and keep a reader's crash out of this process.
    """
    distributed = _extra("distributed")
    dask = _extra("dask")
    options: Dict[str, Any] = dict(dashboard_address=None, silence_logs=logging.ERROR)
    if workers is None:
        options.update(n_workers=1, threads_per_worker=cores(), processes=False)
    else:
        options.update(n_workers=workers, threads_per_worker=1, processes=True)
    # No dashboard shows the workers' task profiles, and sampling the running tasks' stacks
    # every 10 ms takes several percent of a worker's time.
    quiet = {"distributed.worker.profile.enabled": False}
    with warnings.catch_warnings(), environ_kept(), dask.config.set(quiet):
        # The scheduler's own HTTP routes move to a free port when 8787 is taken: no news for the user.
        warnings.filterwarnings("ignore", message="Port .* is already in use", category=UserWarning)
        cluster = distributed.LocalCluster(**options)
    return distributed.Client(cluster, set_as_default=False)


@contextlib.contextmanager
def environ_kept() -> Any:
    """Restore os.environ afterwards: starting worker processes sets variables for them in
    this process's environment (MALLOC_TRIM_THRESHOLD_, OMP_NUM_THREADS, ...), which every
    later child of the caller would inherit."""
    saved = dict(os.environ)
    try:
        yield
    finally:
        if dict(os.environ) != saved:
            os.environ.clear()
            os.environ.update(saved)


def _client(client: Any, workers: Optional[int]) -> Tuple[Any, bool]:
    """(client, owned): an existing client, one for a scheduler address, or a new local cluster."""
    if client is None:
        return local_cluster(workers), True
    if isinstance(client, str):
        distributed = _extra("distributed")
        return distributed.Client(client, set_as_default=False, timeout="20s"), True
    if not hasattr(client, "submit"):
        _args.refuse("client", "distributed.Client or scheduler address", client)
    return client, False


def _check_address(address: str) -> None:
    """Refuse a malformed TCP address before a Client is made of it: a Client that fails in its
    constructor is left half made, and closing it at exit waits 40 s with a traceback."""
    addressing = _extra("distributed.comm.addressing")
    try:
        scheme, location = addressing.parse_address(address)
        if scheme in ("tcp", "tls"):
            addressing.parse_host_port(location)
    except ValueError:
        raise ValueError(f"not a scheduler address: {address!r} (expected tcp://HOST:PORT)") from None


def _close(client: Any) -> None:
    cluster = getattr(client, "cluster", None)
    client.close()
    if cluster is not None:
        cluster.close()


def _workers(client: Any) -> List[str]:
    """The addresses of the client's workers (empty when the scheduler will not say)."""
    try:
        info = client.scheduler_info(n_workers=-1)
    except TypeError:  # older distributed: no n_workers argument
        info = client.scheduler_info()
    except Exception:  # noqa: BLE001 - a guess is enough to size batches
        return []
    return [str(a) for a in info.get("workers", {})]


_LOOPBACK = ("127.", "localhost:", "[::1]:")


def _on_this_machine(addresses: Sequence[str]) -> bool:
    """Every worker listens on this machine's loopback (a local cluster), so this process
    can always reach them."""
    hosts = [a.split("://", 1)[-1] for a in addresses]
    return bool(hosts) and all(h.startswith(_LOOPBACK) or a.startswith("inproc://")
                               for a, h in zip(addresses, hosts))


def summarize_dataset(paths_or_dir: Any, *, client: Any = None, labels: Optional[Mapping[Any, Any]] = None,
                      parquet: Optional[Union[str, os.PathLike]] = None, resume: bool = False,
                      workers: Optional[int] = None, progress: Progress = None,
                      summarize: Optional[Callable[[str], Record]] = None,
                      pages: Optional[Union[str, os.PathLike]] = None) -> List[Record]:
    """One summary record per recording file, computed on Dask.

    `paths_or_dir` is a folder (searched recursively for .aedat4, .raw, .dat, .bin, .npy
    and .npz files) or a list of files. `client` is a distributed.Client or a scheduler
    address; by default a local cluster is started and closed again: threads in this
    process, one per core, or `workers` single-threaded processes. Each record is the
    engine's summary of the file (path, format, sensor_size, t_first, t_last,
    duration_us, event_count, on_count, rate_mean, rate_peak, hot_pixels, hot_count,
    hot_rule, thumbnail, status, offset, message) plus its `label`: the `labels` entry for the file (keyed by absolute path, path
    under the folder, or file name), else the name of its folder. A file that cannot be
    read is a record with status "refused" and the reader's message.

    `parquet` names a Parquet file to write the records to (also at intervals while the
    run goes on, and when it is interrupted); with `resume`, files already in it are not
    summarised again and its records are kept. `progress(files_done, files_total,
    events_done, seconds)` is called as batches finish. `summarize` replaces the engine's
    per-file function (path -> record). `pages` names a folder where each readable
    file's recording page is written (mirroring the dataset's folders); its path is the
    record's `page`. Returns the records in file order.
    """
    resume = _args.opt_bool("resume", resume)
    workers = _args.integer("workers", workers, none=True)
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1 (got {workers})")
    if summarize is not None and not callable(summarize):
        _args.refuse("summarize", "callable", summarize)
    if isinstance(client, str):
        _check_address(client)
    if parquet is not None:
        _args.output_folder(parquet)
    files, root = _files(paths_or_dir)
    label_of = _labeller(labels, root)
    kept: List[Record] = []
    if resume and parquet is not None and os.path.exists(parquet):
        kept = read_parquet(parquet)
        done = {r["path"] for r in kept}
        # A name that is not UTF-8 was stored with replacement characters: compare it so.
        files = [f for f in files if _text(f) not in done]
    results: Dict[str, List[Record]] = {}
    page_of = None
    if pages is not None:
        pages_dir = os.path.abspath(os.fspath(pages))
        page_of = {f: os.path.join(pages_dir, _relative(f, root).lstrip(os.sep) + ".html") for f in files}
    start = time.monotonic()
    events = 0

    def save() -> None:
        if parquet is not None:
            write_parquet(kept + [r for f in files if f in results for r in results[f]], parquet)

    if files:
        client, owned = _client(client, workers)
        try:
            distributed = _extra("distributed")
            addresses = _workers(client)
            batches = _batches(files, max(1, len(addresses)))
            # Results come straight from a local worker: through the scheduler, which shares
            # this process, they would cost it twice the time, while it holds up the next task.
            # Workers elsewhere may be out of this machine's reach: there the scheduler carries them.
            direct = _on_this_machine(addresses) or None
            pending = {client.submit(_summarize_batch, b, summarize, [page_of[f] for f in b] if page_of else None,
                                     pure=False): b for b in batches}
            last_save = time.monotonic()
            queue = distributed.as_completed(list(pending), loop=client.loop)
            for future in queue:
                batch = pending.pop(future)
                try:
                    records = client.gather(future, direct=direct)
                except Exception as e:  # noqa: BLE001 - a worker died or the batch failed as a whole
                    if len(batch) > 1:  # again file by file, so only the culprit is refused
                        for f in batch:
                            single = client.submit(_summarize_batch, [f], summarize,
                                                   [page_of[f]] if page_of else None, pure=False)
                            pending[single] = [f]
                            queue.add(single)
                        continue
                    records = [_refused(batch[0], f"{batch[0]}: the worker summarising it failed "
                                                  f"({type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''})")]
                rows: Dict[str, List[Record]] = {}
                for rec in records:
                    label = rec.pop("_label", None)
                    rec["label"] = label_of(rec["path"]) if label is None else str(label)
                    rows.setdefault(rec["path"], []).append(rec)
                    events += int(rec.get("event_count") or 0)
                results.update(rows)
                if progress is not None:
                    progress(len(results), len(files), events, time.monotonic() - start)
                if parquet is not None and time.monotonic() - last_save > _CHECKPOINT_S:
                    save()
                    last_save = time.monotonic()
        finally:
            save()
            if owned:
                _close(client)
    elif parquet is not None and not (resume and os.path.exists(parquet)):
        save()
    return kept + [r for f in files for r in results[f]]


# ---------------------------------------------------------------- Parquet

def _schema() -> Any:
    pa = _extra("pyarrow")
    types = {
        "path": pa.string(), "label": pa.string(), "format": pa.string(), "sensor_size": pa.list_(pa.int64()),
        "t_first": pa.int64(), "t_last": pa.int64(), "duration_us": pa.int64(), "event_count": pa.int64(),
        "on_count": pa.int64(), "rate_mean": pa.float64(), "rate_peak": pa.float64(),
        "hot_pixels": pa.list_(pa.list_(pa.int64())), "hot_count": pa.int64(), "hot_rule": pa.string(),
        "gaps": pa.int64(), "backwards": pa.int64(),
        "thumbnail": pa.string(), "status": pa.string(), "offset": pa.int64(), "message": pa.string(),
    }
    return pa.schema([(name, types[name]) for name in COLUMNS])


def _text(value: Any) -> Any:
    # Paths that are not UTF-8 (surrogate escapes) must still fit a Parquet string column.
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    return value


def write_parquet(records: Iterable[Record], path: Union[str, os.PathLike]) -> None:
    """Write records as a Parquet file, atomically (a reader never sees half a file)."""
    pa = _extra("pyarrow")
    pq = _extra("pyarrow.parquet")
    rows = [{k: _text(r.get(k)) for k in COLUMNS} for r in records]
    table = pa.Table.from_pylist(rows, schema=_schema())
    with pagefiles.replacing(path) as partial:
        pq.write_table(table, partial)


def read_parquet(path: Union[str, os.PathLike]) -> List[Record]:
    """The records of a Parquet file written by `write_parquet` (or `zelqviz dataset`)."""
    pq = _extra("pyarrow.parquet")
    pa = _extra("pyarrow")
    from .inputfiles import regular
    try:
        table = pq.read_table(os.fspath(regular(path)))
    except (pa.ArrowException, OSError) as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise ValueError(f"{path}: not a readable Parquet file") from None
    missing = [c for c in ("path", "status") if c not in table.column_names]
    if missing:
        raise ValueError(f"{path}: not a dataset summary (no {', '.join(missing)} column)")
    schema = _schema()
    for field in table.schema:
        want = schema.field(field.name).type if field.name in schema.names else None
        if want is None or field.type == want:
            continue
        try:
            table = table.set_column(table.schema.get_field_index(field.name), field.name,
                                     table.column(field.name).cast(want))
        except pa.ArrowException:
            raise ValueError(f"{path}: the column {field.name!r} holds {field.type}, not {want}") from None
    return table.to_pylist()


# ---------------------------------------------------------------- the page

# Above this many bytes of thumbnails, only the gallery's and the problem files' keep theirs.
THUMBNAIL_BUDGET = 24 << 20
_GALLERY_PER_LABEL = 6
_TEMPLATE = "dataset.html"


def _number(value: Any) -> Any:
    if value is None:
        return None
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    return int(value)


def _gallery(records: Sequence[Record], label_index: Sequence[int]) -> List[int]:
    """A few readable files per label, spread over the label's files."""
    by_label: Dict[int, List[int]] = {}
    for i, r in enumerate(records):
        if r.get("status") in ("ok", "cut short") and r.get("thumbnail"):
            by_label.setdefault(label_index[i], []).append(i)
    picks: List[int] = []
    for rows in by_label.values():
        step = max(len(rows) / _GALLERY_PER_LABEL, 1)
        picks.extend(rows[int(k * step)] for k in range(min(_GALLERY_PER_LABEL, len(rows))))
    return sorted(picks)


def dataset_document(records: Sequence[Record], *, title: str = "Dataset", root: Optional[str] = None,
                     page_dir: Optional[str] = None) -> Dict[str, Any]:
    """The page's document: one column per field (compact for tens of thousands of rows)."""
    records = list(records)
    labels: Dict[str, int] = {}
    formats: Dict[str, int] = {}
    label_index = [labels.setdefault(str(r.get("label") or ""), len(labels)) for r in records]
    status_index = [STATUSES.index(r["status"]) if r.get("status") in STATUSES else 3 for r in records]
    gallery = _gallery(records, label_index)
    problems = {i for i, r in enumerate(records) if status_index[i] != 0 or (r.get("hot_count") or 0) > 0
                or (r.get("gaps") or 0) > 0 or (r.get("backwards") or 0) > 0}
    keep = set(gallery) | problems
    budget = THUMBNAIL_BUDGET - sum(len(records[i].get("thumbnail") or "") for i in keep)
    thumbs = []
    left_out = 0
    for i, r in enumerate(records):
        t = r.get("thumbnail") or ""
        if t and i not in keep:
            if budget >= len(t):
                budget -= len(t)
            else:
                t, left_out = "", left_out + 1
        thumbs.append(t)

    def col(key: str) -> List[Any]:
        return [_number(r.get(key)) for r in records]

    def link(r: Record) -> str:
        page = r.get("page")
        if not page or page_dir is None:
            return ""
        return os.path.relpath(page, page_dir).replace(os.sep, "/")

    sizes = [r.get("sensor_size") or [None, None] for r in records]
    format_index = [formats.setdefault(str(r.get("format") or "?"), len(formats)) for r in records]
    return {
        "kind": "dataset", "version": 1, "title": title, "root": root or "",
        "labels": list(labels), "formats": list(formats), "statuses": list(STATUSES),
        "files": len(records),
        "columns": {
            "path": [_relative(str(r.get("path") or ""), Path(root) if root else None) for r in records],
            "label": label_index,
            "format": format_index,
            "status": status_index,
            "width": [_number(s[0]) for s in sizes], "height": [_number(s[1]) for s in sizes],
            "duration_us": col("duration_us"), "event_count": col("event_count"), "on_count": col("on_count"),
            "rate_mean": col("rate_mean"), "rate_peak": col("rate_peak"), "hot_count": col("hot_count"),
            "gaps": col("gaps"), "backwards": col("backwards"),
            "offset": col("offset"),
            "message": [_own_words(r) for r in records],
            "hot": [[[int(v) for v in p[:3]] for p in (r.get("hot_pixels") or [])[:5]] for r in records],
            "hot_rule": [str(r.get("hot_rule") or "") for r in records],
            "link": [link(r) for r in records],
        },
        "thumbs": thumbs, "thumbs_left_out": left_out, "gallery": gallery,
    }


def _own_words(r: Record) -> str:
    """The record's message without the leading file name: the row shows the path already."""
    text = str(r.get("message") or r.get("page_error") or "")
    prefix = f"{r.get('path')}: "
    return text[len(prefix):] if text.startswith(prefix) else text


def render_dataset_html(doc: Dict[str, Any], title: str) -> str:
    return pagefiles.fill(pagefiles.template(_TEMPLATE), {"title": pagefiles.escape_html(title),
                                                          "data_json": pagefiles.script_json(doc)})


def export_dataset_html(records: Sequence[Record], path: Union[str, os.PathLike], *, title: Optional[str] = None,
                        root: Optional[Union[str, os.PathLike]] = None) -> str:
    """Write the dataset page of `records` (as summarize_dataset returns) to `path`; returns the path.

    Paths are shown under `root` (by default the folder the files share); rows whose
    record has a `page` link to it, relative to the page's own folder.
    """
    records = list(records)
    _args.exact("title", title, str, none=True)
    if root is None:
        paths = [str(r.get("path")) for r in records if r.get("path")]
        common = os.path.commonpath(paths) if paths else ""
        root = common if os.path.isdir(common) else os.path.dirname(common)
    out = Path(os.fspath(path))
    title = title if title is not None else (Path(os.fspath(root)).name or "Dataset")
    doc = dataset_document(records, title=title, root=os.fspath(root), page_dir=str(out.resolve().parent))
    text = render_dataset_html(doc, title)
    pagefiles.write_text(out, text, errors="replace")
    return str(out)
