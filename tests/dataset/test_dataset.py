"""Dataset summaries on Dask, their Parquet file, the zelqviz dataset command and the dataset page."""
import base64
import math
import io
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from tests.support import summary_standin
from tests.support.browser import wait_until
from tests.support import writers
from zelq.viz import cli, dataset, read_events, stream
from zelq.viz.recordings import RecordingError, RecordingWarning

distributed = pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

# Python plumbing over worker processes: the engine's native code is checked by its own tests.
pytestmark = pytest.mark.no_sanitizer

HOSTILE_LABEL = '<img src=x onerror="window.pwned=1">'
HOSTILE_NAME = '"><svg onload=window.pwned=2>&amp;\u2028.npy'
HOT_PIXEL = (5, 7, 400)


def noise(n, width, height, seed, duration=200_000):
    rng = np.random.default_rng(seed)
    return writers.records(rng.integers(0, width, n), rng.integers(0, height, n),
                           np.sort(rng.integers(1_000, 1_000 + duration, n)), rng.integers(0, 2, n))


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Recordings in every format under two labels, with planted problems.

    Returns (folder, {file name: what it should summarise to})."""
    root = tmp_path_factory.mktemp("dataset")
    for d in ("digits", "gestures", HOSTILE_LABEL):
        (root / d).mkdir()
    digits, gestures = root / "digits", root / "gestures"
    plan = {}
    for k, (fmt, name) in enumerate([("nmnist", "a.bin"), ("dat", "b.dat"), ("evt2", "c.raw"),
                                     ("evt21", "d.raw"), ("evt3", "e.raw"), ("aedat4", "f.aedat4")]):
        options = {} if fmt == "nmnist" else {"geometry": (34, 34)}
        writers.write((digits if k % 2 else gestures) / name, noise(2_000 + 100 * k, 34, 34, k), fmt, **options)
        plan[name] = "ok"
    hot = noise(1_500, 34, 34, 9)
    hot["x"][::5], hot["y"][::5] = HOT_PIXEL[0], HOT_PIXEL[1]
    writers.write(gestures / "hot.raw", hot, "evt3", geometry=(34, 34))
    plan["hot.raw"] = "hot"
    np.save(digits / "g.npy", noise(700, 34, 34, 11))
    np.savez(digits / "h.npz", **{f: noise(600, 34, 34, 12)[f] for f in "xytp"})
    (digits / "empty.bin").write_bytes(b"")
    plan.update({"g.npy": "ok", "h.npz": "ok", "empty.bin": "empty"})
    whole = writers.evt2(noise(900, 34, 34, 13), geometry=(34, 34))
    (gestures / "cut.raw").write_bytes(whole[:-3])
    (gestures / "whole.raw").write_bytes(whole)  # the oracle of the cut one
    plan.update({"cut.raw": "cut short", "whole.raw": "ok"})
    head = writers.evt_header("evt2", (34, 34))
    words = np.frombuffer(whole[len(head):], "<u4").copy()
    words[len(words) // 2] = 0x5 << 28  # no EVT 2.0 word has type 5
    (gestures / "corrupt.raw").write_bytes(head + words.tobytes())
    (digits / "wrong.bin").write_bytes(writers.dat(noise(50, 34, 34, 14)))
    plan.update({"corrupt.raw": "refused", "wrong.bin": "refused"})
    np.save(root / HOSTILE_LABEL / HOSTILE_NAME, noise(300, 34, 34, 15))
    plan[HOSTILE_NAME] = "ok"
    (digits / "notes.txt").write_text("not a recording")
    return root, plan


@pytest.fixture(scope="module")
def client():
    with dataset.environ_kept():
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    c = distributed.Client(cluster, set_as_default=False)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def summary(folder, client, tmp_path_factory):
    root, _ = folder
    parquet = tmp_path_factory.mktemp("out") / "summary.parquet"
    calls = []
    records = dataset.summarize_dataset(root, client=client, parquet=parquet,
                                        progress=lambda *a: calls.append(a))
    return records, parquet, calls


def by_name(records):
    return {os.path.basename(r["path"]): r for r in records}


def test_one_record_per_recording_with_its_folder_as_label(folder, summary):
    root, plan = folder
    records, _, calls = summary
    assert sorted(by_name(records)) == sorted(plan)  # notes.txt is no recording
    assert [r["path"] for r in records] == sorted(r["path"] for r in records)
    for r in records:
        assert r["label"] == os.path.basename(os.path.dirname(r["path"]))
        assert r["status"] == {"hot": "ok"}.get(plan[os.path.basename(r["path"])], plan[os.path.basename(r["path"])])
    done = [c[0] for c in calls]
    assert done == sorted(done) and done[-1] == len(plan) and all(c[1] == len(plan) for c in calls)
    assert calls[-1][2] == sum(r["event_count"] or 0 for r in records)


def test_records_match_a_whole_read_with_numpy(folder, summary):
    root, plan = folder
    got = by_name(summary[0])
    for name, r in got.items():
        if r["status"] != "ok":
            continue
        want = summary_standin.summarize_recording(r["path"])
        for key in ("event_count", "on_count", "t_first", "t_last", "duration_us", "rate_peak"):
            assert r[key] == want[key], (name, key)
        assert r["rate_mean"] == pytest.approx(want["rate_mean"], rel=1e-12), name
        if want["sensor_size"] is not None:
            assert r["sensor_size"] == want["sensor_size"], name
        assert r["hot_pixels"] == want["hot_pixels"], name
        assert r["hot_count"] == want["hot_count"], name
        np.testing.assert_array_equal(thumbnail_pixels(r["thumbnail"]), engine_thumbnail(r["path"], r["sensor_size"]),
                                      err_msg=name)
    x, y, _ = HOT_PIXEL
    assert [x, y] in [p[:2] for p in got["hot.raw"]["hot_pixels"]]


def level(counts):
    """min(255, ceil(16 * log2(1 + c))): one event is 16, none is 0."""
    return np.minimum(255, np.ceil(16 * np.log2(1 + counts.astype(np.float64)))).astype(np.uint8)


def thumbnail_of(on, off, long_side=64):
    """The thumbnail rule in NumPy: k x k block sums (the long side at most 64), levelled,
    stretched so that the 99th percentile of the lit cells is full brightness; OFF red, ON green."""
    h, w = on.shape
    k = max(1, math.ceil(max(w, h) / long_side))
    ph, pw = math.ceil(h / k), math.ceil(w / k)

    def pooled(c):
        padded = np.zeros((ph * k, pw * k), np.int64)
        padded[:h, :w] = c
        return padded.reshape(ph, k, pw, k).sum(axis=(1, 3))
    sums = np.stack([pooled(off), pooled(on)], axis=-1)
    lit = np.sort(sums[sums > 0])
    top = int(level(lit[(lit.size - 1) * 99 // 100])) if lit.size else 255
    rgb = np.zeros((ph, pw, 3), np.uint8)
    rgb[..., :2] = np.minimum(255, level(sums).astype(np.int64) * 255 // top)
    return rgb


def thumbnail_pixels(text):
    """The pixels of a summary's thumbnail (base64 of an RGB PNG)."""
    image = Image.open(io.BytesIO(base64.b64decode(text)))
    assert image.mode == "RGB", image.mode
    return np.asarray(image)


def engine_thumbnail(path, sensor_size):
    """The thumbnail's pixels, by the NumPy rule, of the pixel counts of a whole read."""
    ev = read_events(path)
    w, h = sensor_size
    on = ev["p"] > 0
    flat = ev["y"].astype(np.int64) * w + ev["x"]
    return thumbnail_of(np.bincount(flat[on], minlength=w * h).reshape(h, w),
                        np.bincount(flat[~on], minlength=w * h).reshape(h, w))


@pytest.mark.parametrize("fmt, n", [("evt2", 300_000), ("evt3", 300_000), ("dat", 300_000), ("nmnist", 300_000),
                                    ("nmnist", 2_000)])
def test_files_longer_than_the_first_read_are_summarised_whole(tmp_path, fmt, n):
    # Over a MB: the first read in Python holds only the start; the rest is read on, across chunks.
    # A small N-MNIST file is decoded once; a long one twice (its sensor first).
    ev = noise(n, 34, 34, 21, duration=3_000_000)
    ev["x"][::7], ev["y"][::7] = 3, 4
    options = {} if fmt == "nmnist" else {"geometry": (34, 34)}
    suffix = {"evt2": ".raw", "evt3": ".raw", "dat": ".dat", "nmnist": ".bin"}[fmt]
    whole = writers.write(tmp_path / f"whole{suffix}", ev, fmt, **options).read_bytes()
    assert (len(whole) > 1 << 20) == (n > 100_000)
    r = stream.summarize_recording(tmp_path / f"whole{suffix}")
    want = summary_standin.summarize_recording(tmp_path / f"whole{suffix}")
    for key in ("event_count", "on_count", "t_first", "t_last", "rate_peak", "hot_pixels", "hot_count"):
        assert r[key] == want[key], key
    assert r["sensor_size"] == (want["sensor_size"] or [34, 34])
    np.testing.assert_array_equal(thumbnail_pixels(r["thumbnail"]), engine_thumbnail(tmp_path / f"whole{suffix}", r["sensor_size"]))
    cut = tmp_path / f"cut{suffix}"
    cut.write_bytes(whole[:-1])
    with pytest.warns(RecordingWarning, match="cut short"):
        short = stream.summarize_recording(cut)
    word = {"evt2": 4, "evt3": 2, "dat": 8, "nmnist": 5}[fmt]
    assert short["status"] == "cut short" and short["offset"] == len(whole) - word
    with pytest.warns(RecordingWarning):
        assert short["event_count"] == len(read_events(cut))


@pytest.mark.parametrize("n", [1, 5, 9, 3_001])  # fewer and more events than the counts are delayed by
def test_hd_pixel_counts_are_whole_whatever_the_number_of_events(tmp_path, n):
    ev = noise(n, 1280, 720, 24)
    ev["x"][::3], ev["y"][::3] = 1279, 719
    path = writers.write(tmp_path / "hd.raw", ev, "evt3", geometry=(1280, 720))
    r, want = stream.summarize_recording(path), summary_standin.summarize_recording(path)
    assert (r["hot_pixels"], r["hot_count"], r["event_count"]) == (want["hot_pixels"], want["hot_count"], n)
    np.testing.assert_array_equal(thumbnail_pixels(r["thumbnail"]), engine_thumbnail(path, (1280, 720)))


def test_thumbnails_span_their_range_and_a_hot_pixel_dims_nothing(tmp_path):
    ev = noise(3_000, 34, 34, 25)  # about 2.6 events a pixel: near black on a fixed curve
    hot = writers.records(np.zeros(3_000, int), np.zeros(3_000, int), np.sort(ev["t"]), np.ones(3_000, int))
    with_hot = np.sort(np.concatenate([ev, hot]), order="t", kind="stable")
    images = []
    for name, events in (("plain.raw", ev), ("hot.raw", with_hot)):
        path = writers.write(tmp_path / name, events, "evt3", geometry=(34, 34))
        images.append(thumbnail_pixels(stream.summarize_recording(path)["thumbnail"]).astype(int))
    plain, hot_image = images
    assert plain[..., :2].max() == 255 and hot_image[0, 0, 1] == 255
    assert np.array_equal(plain[1:], hot_image[1:]) and np.array_equal(plain[0, 1:], hot_image[0, 1:])


@pytest.mark.parametrize("fmt, header_end", [("dat", (64 << 10) - 1), ("dat", 64 << 10), ("evt3", 100_001)])
def test_headers_past_the_first_read_are_read_whole(tmp_path, fmt, header_end):
    # A summary reads 64 KiB first: a header that reaches past them (a DAT file's type and
    # size bytes too) must still be read whole, as every other reader reads it.
    suffix = {"dat": ".dat", "evt3": ".raw"}[fmt]
    ev = noise(20_000, 34, 34, 23)
    data = writers.write(tmp_path / f"plain{suffix}", ev, fmt, geometry=(34, 34)).read_bytes()
    first = data.index(b"\n") + 1
    end = len(writers.evt_header(fmt, (34, 34))) if fmt == "evt3" else len(writers.dat(ev[:0], geometry=(34, 34))) - 2
    note = b"% " + b"n" * (header_end - end - 3) + b"\n"
    path = tmp_path / f"long{suffix}"
    path.write_bytes(data[:first] + note + data[first:])
    r = stream.summarize_recording(path)
    want = summary_standin.summarize_recording(path)
    assert r["status"] == "ok" and r["sensor_size"] == want["sensor_size"] == [34, 34]
    for key in ("event_count", "on_count", "t_first", "t_last", "rate_peak", "hot_pixels", "hot_count"):
        assert r[key] == want[key] == summary_standin.summarize_recording(tmp_path / f"plain{suffix}")[key], key


@pytest.mark.parametrize("fmt", ["evt2", "evt3", "dat"])
def test_events_outside_the_header_sensor_are_refused_or_dropped_as_the_reader_does(tmp_path, fmt):
    ev = noise(30_000, 40, 34, 24)
    path = writers.write(tmp_path / f"wide{'.dat' if fmt == 'dat' else '.raw'}", ev, fmt, geometry=(34, 34))
    with pytest.raises(RecordingError) as got:
        stream.summarize_recording(path)
    with pytest.raises(RecordingError) as read:
        read_events(path)
    assert str(got.value) == str(read.value) and "outside the 34 × 34 sensor" in str(got.value)
    with pytest.warns(RecordingWarning, match="dropped"):
        r = stream.summarize_recording(path, outside="drop")
        inside = read_events(path, outside="drop")
    assert r["event_count"] == len(inside) == np.count_nonzero(ev["x"] < 34)
    assert r["on_count"] == np.count_nonzero(inside["p"] > 0) and r["t_last"] == inside["t"].max()


@pytest.mark.parametrize("geometry", [(34, 34), None])  # None: the sensor comes from the events
def test_corrupt_word_past_the_first_read_names_its_byte(tmp_path, geometry):
    data = bytearray(writers.evt2(noise(400_000, 34, 34, 22), geometry=geometry))
    at = len(data) - 4000
    at -= (at - len(writers.evt_header("evt2", geometry))) % 4
    data[at:at + 4] = (0x5 << 28).to_bytes(4, "little")
    path = tmp_path / "bad.raw"
    path.write_bytes(bytes(data))
    with pytest.raises(RecordingError, match=f"at byte {at}$") as got:
        stream.summarize_recording(path)
    with pytest.raises(RecordingError) as read:
        read_events(path)
    assert str(got.value) == str(read.value)


def test_problem_files_are_rows_with_reasons(folder, summary):
    root, _ = folder
    got = by_name(summary[0])
    whole = got["whole.raw"]
    cut = got["cut.raw"]
    # three bytes short of the last word: every event before it is kept
    assert cut["status"] == "cut short" and cut["event_count"] == whole["event_count"] - 1
    assert cut["offset"] == os.path.getsize(root / "gestures" / "whole.raw") - 4 and "cut.raw" in cut["message"]
    assert got["empty.bin"]["event_count"] == 0
    for name, words in (("corrupt.raw", "corrupt"), ("wrong.bin", "looks like")):
        r = got[name]
        assert r["status"] == "refused" and words in r["message"] and name in r["message"]
        assert r["event_count"] is None and r["label"] in ("digits", "gestures")


def test_parquet_holds_the_records_and_resume_reads_only_new_files(folder, summary, client, tmp_path):
    root, _ = folder
    records, parquet, _ = summary
    assert dataset.read_parquet(parquet) == [{k: r[k] for k in dataset.COLUMNS} for r in records]
    resumed = tmp_path / "resumed.parquet"
    dataset.write_parquet(records[:-2], resumed)
    # files already in the Parquet file are never read again: this summarize refuses every file it sees
    again = dataset.summarize_dataset(root, client=client, parquet=resumed, resume=True,
                                      summarize=summary_standin.refuse)
    assert len(again) == len(records)
    fresh = [r for r in again if r["message"] and summary_standin.REFUSED in r["message"]]
    assert sorted(r["path"] for r in fresh) == sorted(r["path"] for r in records[-2:])
    assert [r["status"] for r in again[:-2]] == [r["status"] for r in records[:-2]]
    assert len(dataset.read_parquet(resumed)) == len(records)


def test_resume_knows_files_whose_names_are_not_utf8(client, tmp_path):
    name = os.fsdecode(b"r\xff.npy")  # stored in Parquet with a replacement character
    np.save(tmp_path / name, noise(300, 34, 34, 16))
    parquet = tmp_path / "s.parquet"
    first = dataset.summarize_dataset(tmp_path, client=client, parquet=parquet)
    again = dataset.summarize_dataset(tmp_path, client=client, parquet=parquet, resume=True,
                                      summarize=summary_standin.refuse)
    assert [r["status"] for r in first] == [r["status"] for r in again] == ["ok"]


@pytest.mark.parametrize("key", ["absolute", "relative", "name"])
def test_labels_from_a_mapping_or_csv(client, tmp_path, key):
    (tmp_path / "a").mkdir()
    files = [str(writers.write(tmp_path / "a" / f"{k}.bin", noise(50, 34, 34, k), "nmnist")) for k in range(3)]
    keys = {"absolute": files[1], "relative": os.path.join("a", "1.bin"), "name": "1.bin"}
    csv_file = tmp_path / "labels.csv"
    csv_file.write_text(f'path,label\n"{keys[key]}","seven, or so"\n')
    for labels in ({keys[key]: "seven, or so"}, dataset.read_labels(csv_file)):
        rows = dataset.summarize_dataset(tmp_path, client=client, labels=labels)
        assert [(r["path"], r["label"]) for r in rows] == list(zip(files, ["a", "seven, or so", "a"]))


def test_command_on_a_folder_without_recordings_warns(tmp_path, capsys):
    (tmp_path / "notes.txt").write_text("not a recording")
    assert cli.main(["dataset", str(tmp_path), "-o", str(tmp_path / "d.html")]) == 0
    assert "warning: no recordings under" in capsys.readouterr().err
    assert (tmp_path / "d.html").exists()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"client": "not an address"}, ValueError, "not a scheduler address: 'not an address'"),
    ({"workers": 0}, ValueError, "workers must be at least 1"),
    ({"parquet": "missing/s.parquet"}, FileNotFoundError, "missing: no such directory"),
])
def test_arguments_are_refused_before_any_work(tmp_path, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        dataset.summarize_dataset(tmp_path, **kwargs)


@pytest.mark.parametrize("option, name", [("-o", "d.html"), ("--parquet", "d.parquet")])
def test_command_refuses_a_missing_output_folder_before_the_run(tmp_path, capsys, option, name):
    assert cli.main(["dataset", str(tmp_path), option, str(tmp_path / "missing" / name)]) == 1
    assert f"{tmp_path / 'missing'}: no such directory" in capsys.readouterr().err


@pytest.mark.parametrize("content,message", [(b"path,label\na.bin,caf\xe9\n", "line 2 is not UTF-8 text"),
                                             (b"a.bin,b\nc.bin," + b"x" * 200_000, "line 2: field larger")])
def test_label_files_that_cannot_be_read_name_the_line(tmp_path, content, message):
    labels = tmp_path / "labels.csv"
    labels.write_bytes(content)
    with pytest.raises(ValueError, match=f"labels.csv: {message}"):
        dataset.read_labels(labels)


@pytest.mark.parametrize("costs,workers", [([10] * 1000, 2), ([1 << 30, 10, 10, 1 << 30], 4), ([], 2),
                                            ([5 << 20] * 37 + [1] * 900, 3), ([1 << 20] * 3000, 2)])
def test_batches_cover_every_file_once_in_order_and_shrink(costs, workers):
    ends = dataset._batch_ends(costs, workers)
    assert ends == sorted(set(ends)) and ends[-1:] == ([len(costs)] if costs else [])
    batches = [costs[a:b] for a, b in zip([0] + ends, ends)]
    if len(costs) >= workers * dataset._BATCHES_PER_WORKER:
        assert len(batches) >= workers * dataset._BATCHES_PER_WORKER
    # none over the largest batch but by its last file; the tail shrinks for the workers to finish together
    assert all(sum(b) - b[-1] < dataset._BATCH_COST_MAX for b in batches)
    if len(batches) > 2 * workers and sum(costs) > 4 * workers * dataset._BATCH_COST_MIN:
        assert sum(batches[-2]) < sum(batches[0])


@pytest.mark.parametrize("addresses,local", [
    (["tcp://127.0.0.1:4001", "tcp://127.0.0.1:4002"], True), (["inproc://10.1.2.3/77/1"], True),
    (["tcp://[::1]:4001"], True), (["tcp://127.0.0.1:4001", "tcp://10.0.0.7:4001"], False),
    (["tls://node7:4001"], False), ([], False)])
def test_results_come_straight_only_from_workers_on_this_machine(addresses, local):
    assert dataset._on_this_machine(addresses) is local


def test_command_on_a_scheduler_writes_page_parquet_and_recording_pages(folder, client, tmp_path):
    root, plan = folder
    out = tmp_path / "set.html"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = subprocess.run([sys.executable, "-m", "zelq.viz", "dataset", str(root), "-o", str(out), "--pages",
                          "--scheduler", client.scheduler.address, "--title", "Set"],
                         capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(out)
    rows = dataset.read_parquet(out.with_suffix(".parquet"))
    assert len(rows) == len(plan)
    doc = page_document(out.read_text(encoding="utf-8"))
    links = dict(zip(doc["columns"]["path"], doc["columns"]["link"]))
    readable = [p for p, link in links.items() if link]
    assert len(readable) == sum(v != "refused" for v in plan.values())
    for p in readable:
        assert (out.parent / links[p]).is_file() and links[p].startswith("set_pages/")
    again = subprocess.run([sys.executable, "-m", "zelq.viz", "dataset", str(root), "-o", str(tmp_path / "x.html"),
                            "--resume"], capture_output=True, text=True, env=env, timeout=120)
    assert again.returncode == 2 and "--resume" in again.stderr


def page_document(text):
    m = re.search(r"const DOC = (.*);\n</script>", text)
    return json.loads(m.group(1))


# ---------------------------------------------------------------- the page in Chromium

def synthetic_records(n, labels=7, seed=0):
    """n records as the engine gives them, a few of them problems."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:34, :34]
    thumbs = [summary_standin.thumbnail(rng.poisson(2 + 60 * np.exp(-((xx - 8 - 3 * k % 20) ** 2 + (yy - 17) ** 2)
                                                                   / (20 + 8 * k)))) for k in range(labels)]
    counts = rng.lognormal(8, 0.6, n).astype(np.int64) + 1
    records = []
    for i in range(n):
        status = "refused" if i % 997 == 5 else "cut short" if i % 1009 == 7 else "empty" if i % 1013 == 9 else "ok"
        records.append({"path": f"/data/set/class{i % labels}/rec{i:06d}.bin", "label": f"class{i % labels}",
                        "format": "N-MNIST binary", "sensor_size": [34, 34], "t_first": 0,
                        "t_last": int(counts[i]) * 70, "duration_us": int(counts[i]) * 70,
                        "event_count": {"refused": None, "empty": 0}.get(status, int(counts[i])),
                        "on_count": int(counts[i]) // 2,
                        "rate_mean": 1e6 / 70, "rate_peak": 2e6 / 70, "hot_pixels": [], "hot_count": 0,
                        "hot_rule": "", "thumbnail": thumbs[i % labels], "status": status,
                        "offset": 5 * int(counts[i]) if status == "cut short" else None,
                        "message": {"refused": "corrupt data: a word of unknown type (0x5A) at byte 1234",
                                    "cut short": f"truncated at byte {5 * int(counts[i])}"}.get(status, "")})
        if i % 401 == 3:
            records[-1].update(hot_pixels=[[17, 3, 9000]], hot_count=1, hot_rule="far above the median pixel")
    return records


def open_page(page_probe, path):
    page = page_probe.open(path)
    wait_until(page, "document.documentElement.dataset.state")
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    assert page_probe.errors == [] and page_probe.external_requests(path) == []
    return page


def test_page_shows_problems_first_and_stays_safe(folder, summary, page_probe, tmp_path, artifacts_dir):
    records = summary[0]
    out = tmp_path / "page.html"
    dataset.export_dataset_html(records, out)
    page = open_page(page_probe, out)
    assert page.evaluate("window.pwned") is None
    assert page.locator("script").count() == 2 and page.locator("#problems img").count() == 0
    problems = page.locator("#problems .problem .p").all_text_contents()
    assert problems[:2] == ["digits/wrong.bin", "gestures/corrupt.raw"]  # refused first, in file order
    assert set(problems) == {"gestures/corrupt.raw", "digits/wrong.bin", "gestures/cut.raw", "digits/empty.bin",
                             "gestures/hot.raw"}
    labels = page.locator("#label-table tbody td:first-child").all_text_contents()
    assert sorted(labels) == sorted(["digits", "gestures", HOSTILE_LABEL])
    assert HOSTILE_LABEL + "/" + HOSTILE_NAME in page.locator("#table-body").inner_text()
    page.select_option("#status-filter", "3")
    assert page.locator("#shown").inner_text() == f"2 of {len(records)} files"
    page.select_option("#status-filter", "")
    page.locator("#table-head span", has_text="Events").click()  # numbers sort high to low first
    shown = page.locator("#table-body .row:not([hidden]) span:nth-child(7)").all_text_contents()
    counts = [int(s.replace(",", "")) for s in shown if s != "—"]
    assert counts == sorted(counts, reverse=True) and len(counts) == len(records) - 2
    page.locator("#table-body .row:not([hidden])").first.hover()
    assert page.locator("#thumb-pop").is_visible()
    if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS"):
        big = tmp_path / "big.html"
        dataset.export_dataset_html(synthetic_records(1_342, 11), big, title="DVS Gesture-like dataset")
        page_probe.requests.clear()
        open_page(page_probe, big).screenshot(path=str(artifacts_dir.parent.parent / "docs" / "screenshots"
                                                       / "dataset-light.png"), full_page=True)


def test_page_with_70000_rows_draws_only_a_window_of_them(page_probe, tmp_path):
    out = tmp_path / "big.html"
    # Written by a child: 70,000 records would leave this process hundreds of MB larger,
    # which the children of later tests inherit in their peak-memory counts.
    script = ("import sys; from tests.dataset.test_dataset import synthetic_records; from zelq.viz import dataset; "
              "dataset.export_dataset_html(synthetic_records(70_000, 10), sys.argv[1], title='N-MNIST-like')")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    subprocess.run([sys.executable, "-c", script, str(out)], check=True, env=env, timeout=300)
    page = open_page(page_probe, out)
    assert float(page.evaluate("document.documentElement.dataset.readyMs")) < 15_000
    rows = page.locator("#table-body .row")
    assert rows.count() < 80
    page.locator("#table-body").evaluate("b => { b.scrollTop = b.scrollHeight; b.dispatchEvent(new Event('scroll')); }")
    page.wait_for_timeout(100)
    last = page.locator("#table-body .row:not([hidden]) span:nth-child(2)").all_text_contents()
    assert any(s.endswith("class9/rec069999.bin") for s in last)
    assert page.locator("#shown").inner_text() == "70,000 files"
    page.fill("#search", "rec06999")
    wait_until(page, "document.getElementById('shown').textContent.startsWith('10 of')", timeout_ms=5_000)
    assert rows.count() < 80


def test_show_inline_knows_the_dataset_page(summary, tmp_path):
    from zelq.viz import show
    out = tmp_path / "p.html"
    dataset.export_dataset_html(summary[0], out)
    inline = show(str(out))
    assert inline.kind == "dataset" and inline.height == 800 and "dataset page" in repr(inline)


def test_rows_per_labelled_segment_and_per_sample(tmp_path, client):
    # DVS Gesture beside its labels CSV and trial lists; a spike-train HDF5 file of samples.
    from tests.support import format_writers as fw
    h5py = pytest.importorskip("h5py")
    ev = noise(4000, 128, 128, seed=9, duration=1_000_000)
    gest = tmp_path / "gestures"
    gest.mkdir()
    (gest / "user02_led.aedat").write_bytes(fw.aedat31(ev))
    (gest / "user02_led_labels.csv").write_text("class,startTime_usec,endTime_usec\n4,100000,300000\n9,300000,800000\n")
    (gest / "trials_to_test.txt").write_text("user02_led.aedat\n")
    with h5py.File(tmp_path / "shd.h5", "w") as f:
        times = f.create_dataset("spikes/times", (2,), dtype=h5py.vlen_dtype(np.float32))
        units = f.create_dataset("spikes/units", (2,), dtype=h5py.vlen_dtype(np.uint16))
        times[0], units[0] = np.array([0.1, 0.2], np.float32), np.array([5, 6], np.uint16)
        times[1], units[1] = np.array([0.3], np.float32), np.array([7], np.uint16)
        f["labels"] = np.array([1, 0])
        f.create_dataset("extra/keys", data=np.array([b"null", b"eins"]))
    rows = dataset.summarize_dataset(tmp_path, client=client)
    got = [(os.path.basename(r["path"]), r["label"], r["event_count"], r["status"]) for r in rows]
    t = ev["t"]
    assert got == [("user02_led.aedat", "4", int(((t >= 100000) & (t < 300000)).sum()), "ok"),
                   ("user02_led.aedat", "9", int(((t >= 300000) & (t < 800000)).sum()), "ok"),
                   ("shd.h5", "eins", 2, "ok"), ("shd.h5", "null", 1, "ok")]
