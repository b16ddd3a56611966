"""Time windows and chunked iteration: a windowed read (or iteration) equals the full read
filtered to the window, across clock wraps, seeks, unsorted times and int64 edges."""
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

from tests.support import writers
from tests.support.paths import shared_recording
from tests.support.decoders import read_aedat4
from tests.support.decoders import dat_oracle, nmnist_oracle
from zelq.viz import RecordingError, RecordingWarning, export_recording_html, iter_events, read_events

T0 = 1_000_000_007
FAR = 1 << 61  # a window start after every recording's end


def page_extent(path):
    """(first, last) event times as the recording page finds them before its pass (from the readers'
    time index where the header gives the sensor): the span its refusal of an empty window names."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RecordingWarning)
        with pytest.raises(ValueError, match="no events in the time window") as empty:
            export_recording_html(path, f"{path}.never.html", start=FAR, outside="drop")
    first, last = re.search(r"from t = (-?[\d,]+) to (-?[\d,]+) µs", str(empty.value)).groups()
    return int(first.replace(",", "")), int(last.replace(",", ""))


def scene(seed, n=6000, span=60_000_000, width=640, height=480):
    """Events over `span` µs (EVT 3's 24-bit clock wraps three times), with same-time row bursts."""
    rng = np.random.default_rng(seed)
    units = n // 3
    t = np.sort(rng.integers(0, span, units)) + T0
    length = rng.integers(1, 6, units)
    rep = np.repeat(np.arange(units), length)
    step = np.arange(len(rep)) - np.repeat(np.cumsum(length) - length, length)
    x = np.minimum(rng.integers(0, width - 8, units)[rep] + step, width - 1)
    return writers.records(x, rng.integers(0, height, units)[rep], t[rep], rng.integers(0, 2, units)[rep])


def filtered(full, start, duration):
    lo = int(full["t"].min()) + start
    keep = full["t"] >= lo
    if duration is not None:
        keep &= full["t"] < lo + duration
    return full[keep]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    d = tmp_path_factory.mktemp("windows")
    ev = scene(0)
    ev["t"][len(ev) // 2:] += 20_000_000  # a silent stretch longer than EVT 3's clock
    files = {
        "evt2": writers.write(d / "a.raw", ev, "evt2", t0=T0),
        "evt21": writers.write(d / "b.raw", ev, "evt21", geometry=(640, 480)),
        "evt3": writers.write(d / "c.raw", ev, "evt3", t0=T0, vectors=True),
        "evt3-plain": writers.write(d / "d.raw", ev, "evt3", t0=T0, geometry=(640, 480)),  # 24 bits need t0
        "dat": writers.write(d / "e.dat", ev, "dat"),
    }
    return ev, files


@pytest.mark.parametrize("fmt, oracle", [("dat", dat_oracle), ("nmnist", nmnist_oracle), ("aedat4", read_aedat4)])
def test_writers_agree_with_the_independent_decoders(tmp_path, fmt, oracle):
    ev = scene(1, n=3000, width=34, height=34)
    ev["t"] -= T0 - 9_000_000  # N-MNIST's 23-bit clock overflows over 9 s
    path = writers.write(tmp_path / ("f" + writers.SUFFIX[fmt]), ev, fmt)
    np.testing.assert_array_equal(oracle(path), ev)


def test_full_reads_and_extents_of_wrapping_files(generated):
    ev, files = generated
    for name, path in files.items():
        np.testing.assert_array_equal(read_events(path), ev, err_msg=name)
        assert page_extent(path) == (ev["t"][0], ev["t"][-1]), name


def random_windows(seed, n, span, longest):
    rng = np.random.default_rng(seed)
    starts = rng.integers(0, span, n)
    durations = rng.integers(0, longest, n)
    return [(int(a), None if i % 10 == 0 else int(d)) for i, (a, d) in enumerate(zip(starts, durations))]


@pytest.mark.parametrize("name", ["evt2", "evt21", "evt3", "evt3-plain", "dat"])
def test_windows_and_chunks_equal_the_filtered_full_read(generated, name):
    ev, files = generated
    for i, (start, duration) in enumerate(random_windows(len(name), 60, 82_000_000, 20_000_000)):
        expected = filtered(ev, start, duration)
        got = read_events(files[name], start=start, duration=duration)
        np.testing.assert_array_equal(got, expected, err_msg=f"{start}, {duration}")
        if i % 6 == 0:
            chunk = 1 + i * 37
            parts = list(iter_events(files[name], start=start, duration=duration, chunk=chunk))
            assert all(len(p) <= chunk for p in parts)
            np.testing.assert_array_equal(np.concatenate([ev[:0], *parts]), expected)


@pytest.fixture(scope="module")
def long_files(tmp_path_factory):
    """Files of a few MiB: iter_events reads a file a buffer (a megabyte) at a time, so words and
    EVT 2.1's 32-event vectors meet buffer edges in these."""
    d = tmp_path_factory.mktemp("long")
    events = {"evt21": 300_000, "evt3": 450_000, "dat": 200_000}  # 1.5 to 1.7 MiB
    return {fmt: writers.write(d / f"{fmt}{writers.SUFFIX[fmt]}", scene(7, n=n, span=600_000_000), fmt,
                               geometry=(640, 480)) for fmt, n in events.items()}


@pytest.mark.parametrize("name", ["evt21", "evt3", "dat", "sample_nmnist.bin"])
def test_iteration_across_read_buffers_equals_the_read(long_files, name):
    path = long_files.get(name) or shared_recording(name)
    for window, chunk in [({}, 77), ({"start": 1000, "duration": 300_000_000}, 5000)]:
        np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=chunk, **window))),
                                      read_events(path, **window))


def test_pieces_kept_or_dropped_in_a_loop_hold_their_events(generated):
    # Buffers of pieces the caller let go of are reused: held ones (and views of them) never are.
    ev, files = generated
    held, sums = [], []
    for i, piece in enumerate(iter_events(files["evt21"], chunk=500)):
        sums.append(int(piece["t"].sum()))
        if i % 3 == 0:
            held.append((len(sums) - 1, piece["x"]))
    starts = np.arange(0, len(ev), 500)
    assert sums == [int(ev["t"][a:a + 500].sum()) for a in starts]
    for i, x in held:
        np.testing.assert_array_equal(x, ev["x"][starts[i]:starts[i] + 500])


@pytest.mark.parametrize("name", ["sample_evt2.raw", "sample_evt3.raw", "sample_ncars.dat", "sample_nmnist.bin"])
def test_windows_of_the_shared_samples(name):
    path = shared_recording(name)
    full = read_events(path)
    for start, duration in random_windows(1, 30, 700_000, 400_000):
        np.testing.assert_array_equal(read_events(path, start=start, duration=duration),
                                      filtered(full, start, duration))


@pytest.mark.parametrize("fmt", ["evt3", "dat", "nmnist"])
@pytest.mark.parametrize("where", ["first", "middle"])
def test_times_going_backwards_lose_nothing(tmp_path, fmt, where):
    ev = scene(2, n=3000, span=6_000_000, width=34, height=34)  # EVT 3 reads 8 s back as a wrap
    ev["t"] -= T0 - 1000
    i = 0 if where == "first" else len(ev) // 2
    # One event far in the future (a flipped high bit), then one before everything else:
    # every window below reads up to them, so the reader sees the disorder.
    ev["t"][i] += 5_000_000
    ev["t"][i + 1] = 10
    path = writers.write(tmp_path / ("f" + writers.SUFFIX[fmt]), ev, fmt)
    full = read_events(path)
    np.testing.assert_array_equal(full, ev)
    for start, duration in [(0, 30_000_000), (2_000_000, 2_000_000), (1000, 1)]:
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always")
            got = read_events(path, start=start, duration=duration)
        np.testing.assert_array_equal(got, filtered(full, start, duration))


def test_a_window_read_whole_because_of_disorder_names_the_byte(tmp_path):
    ev = scene(3, n=3000)
    ev["t"][2000] = ev["t"][1999] - 5000  # times go back after the seek point
    path = writers.write(tmp_path / "f.dat", ev, "dat")
    start = int(ev["t"][1500] - ev["t"].min())
    with pytest.warns(UserWarning, match=rf"{path.name}: times go backwards at byte \d+"):
        got = read_events(path, start=start, duration=10**9)
    np.testing.assert_array_equal(got, filtered(ev, start, 10**9))


@pytest.mark.parametrize("suffix", [".raw", ".dat", ".npy"])
@pytest.mark.parametrize("start, duration, whole", [
    (2**63 - 1, None, False), (2**64, 2**64, False), (0, 2**63 - 1, True), (0, 2**70, True)])
def test_int64_edge_windows(tmp_path, suffix, start, duration, whole):
    ev = scene(4, n=600)
    path = tmp_path / ("f" + suffix)
    if suffix == ".npy":
        np.save(path, ev)
    else:
        writers.write(path, ev, "evt3" if suffix == ".raw" else "dat", t0=T0)
    expected = ev if whole else ev[:0]
    np.testing.assert_array_equal(read_events(path, start=start, duration=duration), expected)
    np.testing.assert_array_equal(np.concatenate([ev[:0], *iter_events(path, start=start, duration=duration)]),
                                  expected)


@pytest.mark.parametrize("chunk, error", [(0, ValueError), ("10", TypeError)])
def test_iter_events_refuses_bad_chunks_when_called(generated, chunk, error):
    with pytest.raises(error):
        iter_events(generated[1]["evt3"], chunk=chunk)


@pytest.mark.parametrize("fmt", ["evt2", "evt21", "evt3", "dat"])
def test_iteration_and_extent_of_damaged_files_match_the_read(tmp_path, fmt):
    ev = scene(5, n=3000, width=120, height=100)
    ev["x"][100] = 150  # outside the declared sensor
    data = writers.write(tmp_path / ("w" + writers.SUFFIX[fmt]), ev, fmt, geometry=(120, 100), t0=T0).read_bytes()
    path = tmp_path / ("f" + writers.SUFFIX[fmt])
    path.write_bytes(data[:len(data) - 8 * (len(data) // 24) - 1])  # cut a third from the end, inside a word
    for window in [{}, {"start": 100, "duration": 50_000_000}]:
        caught = []
        for read in (read_events, lambda p, **kw: np.concatenate(list(iter_events(p, chunk=333, **kw)))):
            # The refusal (an event outside the sensor) comes after the cut has been told.
            with warnings.catch_warnings(record=True) as cut:
                warnings.simplefilter("always")
                with pytest.raises(RecordingError) as refused:
                    read(path, **window)
            assert [w.category for w in cut] == [RecordingWarning] and "cut short" in str(cut[0].message)
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                got = read(path, outside="drop", **window)
            caught.append((str(refused.value), [str(m.message) for m in w], got))
        assert caught[0][0] == caught[1][0] and caught[0][1] == caught[1][1]
        assert any("cut short" in m for m in caught[0][1]) and any("dropped 1 event" in m for m in caught[0][1])
        np.testing.assert_array_equal(caught[0][2], caught[1][2])
        if not window:
            kept = ev[ev["x"] < 120][:len(got)]
            np.testing.assert_array_equal(got, kept)
            assert page_extent(path) == (kept["t"][0], kept["t"][-1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for end in range(len(data) // 2, len(data) // 2 + 48):  # cuts after every kind of word
            path.write_bytes(data[:end])
            got = read_events(path, outside="drop")
            assert page_extent(path) == (got["t"][0], got["t"].max()), end


def test_time_index_probes_leave_the_file_unmapped_from_memory(tmp_path):
    """An hour's probes touch a page every few hundred KB; those pages must not stay resident."""
    blocks = 500_000  # one time-high word every 64 bytes: 2,048 s, 122 counter wraps, 32 MB
    words = np.full((blocks, 32), 0x6000, "<u2")  # time-low words as filler
    k = np.arange(blocks)
    words[:, 0] = 0x8000 | (k & 0xFFF)
    words[:, 2] = 0x0000 | 3                  # y = 3
    words[:, 3] = 0x2000 | (1 << 11) | 5      # an ON event at x = 5
    path = tmp_path / "long.raw"
    path.write_bytes(writers.evt_header("evt3", (16, 16)) + words.tobytes())
    # The page learns the extent from the probes before its pass; a window past the end stops it there.
    code = ("import re, sys\nfrom zelq.viz import export_recording_html\n"
            "def status(key):\n"
            "    return next(int(line.split()[1]) for line in open('/proc/self/status') if line.startswith(key))\n"
            "def extent(path):\n"
            f"    try: export_recording_html(path, path + '.never.html', start={FAR})\n"
            "    except ValueError as e: m = re.search(r'from t = ([\\d,]+) to ([\\d,]+)', str(e))\n"
            "    return tuple(int(v.replace(',', '')) for v in m.groups())\n"
            "extent(sys.argv[1])  # imports and first-call set-up\n"
            "open('/proc/self/clear_refs', 'w').write('5')  # the peak starts again from here\n"
            "before = status('VmRSS:')\n"
            "print(extent(sys.argv[1]), status('VmHWM:') - before)\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120)
    if "PermissionError" in out.stderr:
        pytest.skip("this kernel does not let a process reset its peak memory")
    assert out.returncode == 0, out.stderr
    extent, grown_kb = out.stdout.rsplit(" ", 1)
    assert extent == str((0, (blocks - 1) * 4096))
    assert int(grown_kb) < 8 << 10, f"the probes kept {int(grown_kb) >> 10} MB of a 32 MB file resident"


def _late_copy(fmt, events, path):
    """The file with a slice of its data copied again near its end (times go back there)."""
    data = writers.WRITERS[fmt](events, **({"geometry": (640, 480)} if fmt != "nmnist" else {}))
    header = {"nmnist": 0, "dat": len(writers.dat(events[:0], geometry=(640, 480))),
              "evt3": len(writers.evt_header("evt3", (640, 480)))}[fmt]
    word = {"nmnist": 5, "dat": 8, "evt3": 2}[fmt]
    body = data[header:]
    a = len(body) // 10 // word * word
    if fmt == "evt3":  # whole time words and rows: start the copy at a time-high word
        words = np.frombuffer(body, "<u2")
        highs = np.flatnonzero(words >> 12 == 0x8)
        a = int(highs[len(highs) // 10]) * 2
    cut = len(body) * 9 // 10 // word * word
    path.write_bytes(data[:header] + body[:cut] + body[a:a + 4000 * word // word * word] + body[cut:])
    return path


@pytest.mark.parametrize("cause", ["nmnist copied", "dat copied", "evt3 copied", "dat first event late"])
def test_windows_over_times_that_go_backwards_are_the_full_read_filtered(tmp_path, cause):
    fmt = cause.split()[0]
    ev = scene(31, n=20_000, span=2_000_000, width=34 if fmt == "nmnist" else 640,
               height=34 if fmt == "nmnist" else 480)
    if fmt == "nmnist":  # its 23-bit clock: no overflow records, which a copy would add to
        ev["t"] -= T0
    path = tmp_path / ("f" + writers.SUFFIX[fmt])
    if cause.endswith("late"):
        ev = ev.copy()
        ev["t"][0] += 1 << 30  # a flipped bit: the first event 1000 s after the rest
        writers.write(path, ev, fmt, geometry=(640, 480))
    else:
        _late_copy(fmt, ev, path)
    full = read_events(path)
    for start, duration in ((100_000, 300_000), (0, 50_000)):
        lo = int(full["t"].min()) + start
        expected = full[(full["t"] >= lo) & (full["t"] < lo + duration)]
        for read in (read_events, lambda p, **kw: np.concatenate(list(iter_events(p, chunk=777, **kw)))):
            with pytest.warns(RecordingWarning, match=rf"{path}: times go backwards at byte \d+"):
                got = read(path, start=start, duration=duration)
            np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("window, refusal", [({"start": -1}, "start must not be negative (got -1)"),
                                             ({"duration": -5}, "duration must not be negative (got -5)")])
def test_the_readers_and_the_page_take_windows_by_one_rule(generated, tmp_path, window, refusal):
    from zelq.viz import export_recording_html, recording_frames
    path = generated[1]["evt21"]
    for call in (read_events, iter_events, recording_frames,
                 lambda p, **kw: export_recording_html(p, tmp_path / "p.html", **kw)):
        with pytest.raises(ValueError, match=re.escape(refusal)):
            call(path, **window)
    # Numbers are truncated and the end of 64-bit times bounds them, alike everywhere.
    np.testing.assert_array_equal(read_events(path, start=1000.9, duration=2.0 ** 70), read_events(path, start=1000))
    period = 10_000_000
    frames = [t for t, _ in recording_frames(path, start=1000.9, duration=2 * period, frame_period=period)]
    assert frames == [t for t, _ in recording_frames(path, start=1000, duration=2 * period, frame_period=period)]
    assert len(frames) == 2 and frames[0] == int(generated[0]["t"].min()) + 1000
    with pytest.raises(ValueError, match="no events in the time window"):
        export_recording_html(path, tmp_path / "p.html", start=2 ** 70)
    assert len(read_events(path, start=2 ** 70)) == 0
