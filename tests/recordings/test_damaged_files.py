"""Recordings in any condition: cut short, out of the sensor, hostile headers and sizes,
special files. Damaged files are made here from the shared samples and the test writers;
every refusal is a RecordingError that names the file, within bounded memory."""
import os
import re
import resource
import struct
import subprocess
import sys
import tracemalloc
import warnings
import zipfile

import numpy as np
import pytest

from tests.support import writers
from tests.support.paths import shared_recording as sample
from tests.support.command import ENV
from zelq.viz import RecordingError, RecordingWarning, iter_events, read_events, read_sensor_size
from zelq.viz import _native

INT64_MAX = (1 << 63) - 1
from tests.support.decoders import EVENT_DTYPE as RECORD
SAMPLES = ["sample_evt2.raw", "sample_evt3.raw", "sample_ncars.dat", "sample_nmnist.bin", "sample.aedat4"]


def copy(tmp_path, name, data, suffix=None):
    path = tmp_path / ("f" + (suffix or os.path.splitext(name)[1]))
    path.write_bytes(data)
    return path


def read_warned(path, **kwargs):
    """(events, warning messages) of one read; warnings must point at this caller."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ev = read_events(path, **kwargs)
    assert all(w.filename == __file__ for w in caught), [w.filename for w in caught]
    return ev, [str(w.message) for w in caught if issubclass(w.category, RecordingWarning)]


def refused(path, match, reader=read_events, **kwargs):
    with pytest.raises(RecordingError) as e:
        reader(path, **kwargs)
    assert str(e.value).startswith(f"{path}: "), str(e.value)
    assert re.search(match, str(e.value)), str(e.value)
    return str(e.value)


def random_events(rng, n, width, height, t_end=2_000_000):
    return writers.records(rng.integers(0, width, n), rng.integers(0, height, n),
                           np.sort(rng.integers(0, t_end, n)), rng.integers(0, 2, n))


# ---------------------------------------------------------------- cut short

@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("fraction", [0.31, 0.77])
def test_a_recording_cut_short_gives_the_events_before_the_cut(tmp_path, name, fraction):
    data = sample(name).read_bytes()
    full = read_events(sample(name))
    cut = int(len(data) * fraction) | 1  # odd: never on a word boundary
    path = copy(tmp_path, name, data[:cut])
    ev, messages = read_warned(path)
    assert 0 < len(ev) < len(full)
    np.testing.assert_array_equal(ev, full[:len(ev)])
    assert len(messages) == 1 and messages[0].startswith(f"{path}: cut short: the file ends at byte {cut}, inside the ")
    if name.endswith((".dat", ".bin")):  # fixed records: every whole record before the cut
        header = len(data) - {"dat": 8, "bin": 5}[name[-3:]] * len(full)
        assert len(ev) == (cut - header) // (8 if name.endswith(".dat") else 5)


@pytest.mark.parametrize("name, word, bad", [("sample_evt2.raw", 4, 0x20000000), ("sample_evt3.raw", 2, 0x1000)])
def test_a_word_that_cannot_be_in_the_middle_is_still_an_error(tmp_path, name, word, bad):
    data = bytearray(sample(name).read_bytes())
    header = len(re.match(rb"(%[^\n]*\n)*", data).group(0))
    at = header + word * ((len(data) - header) // word * 2 // 3)  # a whole word, two thirds in
    data[at:at + word] = bad.to_bytes(word, "little")  # a type no word has
    refused(copy(tmp_path, name, bytes(data)), rf"corrupt data: a word of unknown type .* at byte {at}$")


# A clock word out of line: one spurious time-high word (or DAT time) far ahead, after
# which the clock reads as wrapped. The whole read decides what every time is; a window
# must be that read filtered, however it seeks.
def _spike_clock(data, fmt):
    header = len(re.match(rb"(%[^\n]*\n)*", data).group(0)) + (2 if fmt == "dat" else 0)
    word = {"evt2": 4, "evt21": 8, "evt3": 2, "dat": 8}[fmt]
    words = np.frombuffer(data, np.uint8, offset=header, count=(len(data) - header) // word * word)
    words = words.reshape(-1, word)
    if fmt == "dat":
        at = len(words) // 3
        words[at, :4] = np.frombuffer((3_000_000_000).to_bytes(4, "little"), np.uint8)
    else:
        highs = np.flatnonzero(words[:, -1] >> 4 == 0x8)
        at = highs[len(highs) // 3]
        raw = int.from_bytes(words[at].tobytes(), "little")
        bits = {"evt2": (0, 28), "evt21": (32, 28), "evt3": (0, 12)}[fmt]
        ahead = raw | 3 << (bits[0] + bits[1] - 2)  # three quarters of the counter ahead: back from it is a wrap
        words[at] = np.frombuffer(ahead.to_bytes(word, "little"), np.uint8)
    return data[:header] + words.tobytes()


@pytest.mark.parametrize("fmt", ["evt2", "evt21", "evt3", "dat"])
def test_a_window_after_a_clock_word_out_of_line_is_the_whole_read_filtered(tmp_path, fmt):
    ev = random_events(np.random.default_rng(9), 40_000, 320, 240, t_end=3_000_000)
    path = copy(tmp_path, "r" + writers.SUFFIX[fmt], _spike_clock(bytearray(writers.WRITERS[fmt](ev, geometry=(320, 240))), fmt))
    whole = read_events(path)
    assert whole["t"].max() - whole["t"].min() > 2 ** 24  # the clock did read as wrapped
    t = whole["t"]
    for start, duration in [(1_000_000, 500_000), (2_500_000, 10 ** 12), (2 ** 24 + 1_500_000, 700_000)]:
        want = whole[(t >= t[0] + start) & (t < t[0] + start + duration)]
        np.testing.assert_array_equal(read_events(path, start=start, duration=duration), want)
        pieces = list(iter_events(path, start=start, duration=duration, chunk=4096))
        np.testing.assert_array_equal(np.concatenate(pieces) if pieces else whole[:0], want)


# ---------------------------------------------------------------- geometry

FORMATS = ["evt2", "evt21", "evt3", "dat", "aedat4"]


@pytest.mark.parametrize("fmt", FORMATS)
def test_events_outside_the_declared_sensor_are_refused_or_dropped_and_counted(tmp_path, fmt):
    rng = np.random.default_rng(5)
    events = random_events(rng, 3000, 400, 300)  # written against a 320 x 240 header
    options = {"vectors": True} if fmt in ("evt21", "evt3") else {}
    path = writers.write(tmp_path / f"o{writers.SUFFIX[fmt]}", events, fmt, geometry=(320, 240), **options)
    written = read_events(writers.write(tmp_path / f"all{writers.SUFFIX[fmt]}", events, fmt,
                                        geometry=(2048, 2048) if fmt != "dat" else (16384, 16384), **options))
    inside = (written["x"] < 320) & (written["y"] < 240)
    bad = written[~inside][0]
    refused(path, rf"{(~inside).sum():,} events outside the 320 × 240 sensor its header declares; "
                  rf"the first: x={bad['x']}, y={bad['y']}, t={bad['t']}\.")
    ev, messages = read_warned(path, outside="drop")
    np.testing.assert_array_equal(ev, written[inside])
    assert messages == [f"{path}: dropped {(~inside).sum():,} events outside the 320 × 240 sensor its header "
                        f"declares (the first: x={bad['x']}, y={bad['y']}, t={bad['t']})"]
    # A window counts only the outside events within it.
    lo = written["t"][inside][0] + 500_000
    window = (written["t"] >= lo) & (written["t"] < lo + 700_000)
    ev, messages = read_warned(path, outside="drop", start=500_000, duration=700_000)
    np.testing.assert_array_equal(ev, written[inside & window])
    assert f"dropped {(~inside & window).sum():,} events outside" in messages[0]


def test_evt3_vectors_past_the_format_never_wrap_x(tmp_path):
    # A base near the format's edge, then thousands of full 12-pixel vectors on one row.
    words = [0x8001, 0x6000, 0x0005, 0x3000 | 2040] + [0x4FFF] * 3000
    path = tmp_path / "v.raw"
    path.write_bytes(b"% evt 3.0\n" + np.array(words, "<u2").tobytes())
    ev, messages = read_warned(path, outside="drop")
    np.testing.assert_array_equal(ev["x"], np.arange(2040, 2048))
    assert "dropped 35,992 events outside the 2048 × 2048 addresses of EVT 3.0" in messages[0]


def test_the_native_decoder_stops_at_an_outside_event_for_its_caller():
    # C++ callers (and this binding) get kOutside with the word's offset unless they drop.
    names = _native.events()._EVT_STATE
    state = np.array(_native.events()._EVT_STATE_INITIAL, np.int64)
    state[names.index("width")], state[names.index("height")] = 320, 240
    words = np.array([0x80000001, 0x00400802, 0x0040_0000 | 400 << 11 | 3, 0x00400805], "<u4")
    out = np.empty(8, RECORD)
    count, used = _native.events()._decode_events(0, words.tobytes(), state, out, 0)
    assert (count, used) == (1, 8)
    assert state[names.index("error")] == _native.events()._EVT_ERRORS["outside"]
    assert state[names.index("error_at")] == 8 and state[names.index("outside_x")] == 400


@pytest.mark.parametrize("edit, match", [
    ((b"% geometry 320x240", b"% geometry 99999999x99999999"), r"sensor size \(geometry 99999999x99999999\) is not a sensor"),
    ((b"% geometry 320x240", b"% geometry -1x240"), r"not a sensor"),
    ((b"% geometry 320x240", b"% geometry 0x0"), r"not a sensor"),
    ((b"% geometry 320x240", b"% geometry 320"), r"'% geometry 320' is not WIDTHxHEIGHT"),
    ((b"width=320", b"width=abc"), r"is not two whole numbers"),
    ((b"% geometry 320x240", b"% geometry 10x10"), r"two sensor sizes: geometry 10x10 and format width=320"),
    ((b'"sizeX" type="int">320', b'"sizeX" type="int">-32'), r"sizeX/sizeY -32x240\) is not a sensor"),
    ((b'"sizeY" type="int">240', b'"sizeY" type="int">000'), r"is not a sensor"),
])
def test_header_sizes_that_are_not_a_sensor_are_refused(tmp_path, edit, match):
    name = "sample.aedat4" if b"size" in edit[0] else "sample_evt3.raw"
    data = sample(name).read_bytes()
    assert edit[0] in data
    path = copy(tmp_path, name, data.replace(edit[0], edit[1], 1))
    refused(path, match, read_sensor_size)
    refused(path, match)


# ---------------------------------------------------------------- time

@pytest.mark.parametrize("t0, match", [
    (b"banana", r"'% t0' \('banana'\) is not a whole number"),
    (b"", r"'% t0' \(''\) is not a whole number"),
    (b"1.5e3", r"'% t0' \('1.5e3'\) is not a whole number"),
    (str(INT64_MAX).encode(), r"its times pass the largest 64-bit time"),
    (str(INT64_MAX * 1000).encode(), r"beyond 64-bit times"),
])
def test_a_t0_that_is_not_a_time_is_refused(tmp_path, t0, match):
    data = sample("sample_evt2.raw").read_bytes()
    refused(copy(tmp_path, "t.raw", re.sub(rb"% t0 \d+", b"% t0 " + t0, data)), match)


@pytest.mark.parametrize("line, t0", [(b"% t0 -5\n", -5), (b"% t0  77 \n", 77), (b"% t0 12\r\n", 12)])
def test_t0_lines_in_every_whole_number_form_shift_the_times(tmp_path, line, t0):
    data = sample("sample_evt2.raw").read_bytes()
    base = read_events(sample("sample_evt2.raw"))["t"] - 1605537493718345
    path = copy(tmp_path, "t.raw", re.sub(rb"% t0 \d+\n", line, data))
    np.testing.assert_array_equal(read_events(path)["t"], base + t0)


def test_clock_wraps_that_would_pass_int64_are_refused_at_their_word(tmp_path):
    # Near the top of int64 the first events fit; the 24-bit clock's wrap would not.
    t0 = INT64_MAX - (1 << 24) - 1000
    words = [0x8FFF, 0x6010, 0x0005, 0x2807, 0x8000, 0x6003, 0x2009]
    header = f"% evt 3.0\n% t0 {t0}\n".encode()
    path = tmp_path / "w.raw"
    path.write_bytes(header + np.array(words, "<u2").tobytes())
    refused(path, rf"pass the largest 64-bit time at byte {len(header) + 8} ")
    path.write_bytes(header + np.array(words[:4], "<u2").tobytes())
    assert read_events(path)["t"].tolist() == [t0 + (0xFFF << 12) + 0x10]


def test_an_aedat_event_at_int64_max_hides_no_other(tmp_path):
    events = random_events(np.random.default_rng(6), 500, 64, 48)
    events["t"][0] = INT64_MAX
    path = writers.write(tmp_path / "m.aedat4", events, "aedat4", geometry=(64, 48), packet=100)
    np.testing.assert_array_equal(read_events(path), events)


# ---------------------------------------------------------------- memory

def aedat_header_size(size):
    return lambda data: data[:14] + struct.pack("<i", size) + data[18:]


def npz_bomb(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("events.npy", "w") as f:
            header = b"{'descr': [('x', '<i2'), ('t', '<i8')], 'fortran_order': False, 'shape': (6000000,), }"
            f.write(b"\x93NUMPY\x01\x00" + struct.pack("<H", 118) + header.ljust(117) + b"\n")
            f.write(bytes(60_000_000))


@pytest.mark.parametrize("name, make, match", [
    ("zeros.raw", lambda p: p.write_bytes(b"% evt 3.0\n" + bytes(48 << 20)), None),
    ("h.npy", lambda p: p.write_bytes(b"\x93NUMPY\x02\x00\xff\xff\xff\xff{}"), r"it claims 4294967295 bytes"),
    ("s.npy", lambda p: p.write_bytes(b"\x93NUMPY\x01\x00\x46\x00" + b"{'descr': '<i8', 'fortran_order': False, "
                                      b"'shape': (10000000000,), }".ljust(70)), r"needs 80,000,000,000 bytes"),
    ("b.npz", npz_bomb, r"member 'events.npy' would inflate .* a zip bomb"),
    ("n.aedat4", lambda p: p.write_bytes(aedat_header_size(-1)(sample("sample.aedat4").read_bytes())[:18]),
     r"header: it claims -1 bytes"),
    ("m.aedat4", lambda p: p.write_bytes(aedat_header_size(0x7FFFFFF0)(sample("sample.aedat4").read_bytes())),
     r"header: it claims 2147483632 bytes"),
])
def test_sizes_a_file_claims_are_checked_before_allocating(tmp_path, name, make, match):
    path = tmp_path / name
    make(path)
    tracemalloc.start()
    try:
        if match is None:
            assert len(read_events(path)) == 0
        else:
            refused(path, match)
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 16 << 20, f"{peak >> 20} MiB"


@pytest.mark.parametrize("at", [2340, 60_000, 500_000])
def test_flipped_bytes_in_aedat_packets_are_recording_errors_at_their_packet(tmp_path, at):
    data = bytearray(sample("sample.aedat4").read_bytes())
    data[at:at + 16] = bytes(255 - b for b in data[at:at + 16])
    message = refused(copy(tmp_path, "f.aedat4", bytes(data)), r"corrupt AEDAT 4 packet at byte \d+: ")
    assert at - (1 << 16) < int(re.search(r"at byte (\d+)", message).group(1)) <= at


# ---------------------------------------------------------------- detection and special files

@pytest.mark.parametrize("x", [35, 37, 80])  # '#', '%', 'P'
def test_nmnist_files_whose_first_byte_is_another_formats_magic_are_read(tmp_path, x):
    data = bytearray(sample("sample_nmnist.bin").read_bytes())
    data[0] = x
    path = copy(tmp_path, "n.bin", bytes(data))
    expected = read_events(sample("sample_nmnist.bin"))
    expected["x"][0] = x
    np.testing.assert_array_equal(read_events(path), expected)


def run_cli(*args, cwd, memory=None):
    limit = None if memory is None else lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return subprocess.run([sys.executable, "-m", "zelq.viz", *map(str, args)], cwd=cwd, env=ENV,
                          capture_output=True, timeout=60, preexec_fn=limit)


@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_special_files_are_refused_without_being_opened(tmp_path, kind):
    path = tmp_path / "x.raw"
    {"fifo": os.mkfifo, "directory": os.mkdir, "device": lambda p: os.symlink("/dev/zero", p)}[kind](path)
    r = run_cli("events", path, cwd=tmp_path)  # a FIFO opened for reading would wait here
    assert r.returncode == 1 and r.stderr.decode() == f"zelqviz events: error: {path}: not a regular file\n"
    refused(path, "not a regular file$", read_sensor_size)


def test_cli_prints_one_warning_for_a_cut_recording_and_writes_the_page(tmp_path):
    data = sample("sample_evt3.raw").read_bytes()
    path = copy(tmp_path, "c.raw", data[:len(data) // 2 | 1])
    r = run_cli("events", path, "-o", "c.html", cwd=tmp_path)
    assert r.returncode == 0
    assert r.stderr.decode().startswith(f"zelqviz events: warning: {path}: cut short: the file ends at byte ")
    assert r.stderr.count(b"\n") == 1 and (tmp_path / "c.html").stat().st_size > 0


@pytest.mark.parametrize("args, message", [
    (["--sensor-size", "32767x32767"], "sensor size '32767x32767' out of range"),
    (["--sensor-size", "16384x16384"], "the page's images would take"),
    (["--frames", "10000000"], "count '10000000' out of range"),
    (["--start", "99999999999999999"], "time '99999999999999999' out of range"),
])
@pytest.mark.no_sanitizer  # the sanitizer's shadow memory cannot map under an address-space limit
def test_cli_numbers_out_of_range_exit_2_before_reading(tmp_path, args, message):
    # Under a 4 GiB address space: the page's memory is weighed against the limit, not the machine.
    r = run_cli("events", sample("sample_evt3.raw"), *args, cwd=tmp_path, memory=4 << 30)
    assert r.returncode == 2 and message in r.stderr.decode() and r.stderr.count(b"\n") == 1
    assert not list(tmp_path.iterdir())


def test_a_non_utf8_name_gives_a_page_and_a_failure_leaves_none(tmp_path):
    name = os.fsdecode(b"\xff\xfe.raw")
    (tmp_path / name).write_bytes(sample("sample_evt2.raw").read_bytes())
    r = run_cli("events", name, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    page = tmp_path / os.fsdecode(b"\xff\xfe.html")
    assert "<title>\ufffd\ufffd.raw</title>" in page.read_text(encoding="utf-8")
    (tmp_path / name).write_bytes(sample("sample_evt2.raw").read_bytes() + b"\x00\x00\x00\x20")
    page.unlink()
    r = run_cli("events", name, cwd=tmp_path)
    assert r.returncode == 1 and os.listdir(tmp_path) == [name]


def _huge_files(tmp_path):
    """Files of no declared size whose events reach far past any sensor (a few flipped bytes)."""
    from tests.support import format_writers as fw
    rng = np.random.default_rng(3)
    n = 3000
    ev = np.zeros(n, RECORD)
    ev["x"], ev["y"] = rng.integers(0, 300, n), rng.integers(0, 200, n)
    ev["t"], ev["p"] = np.sort(rng.integers(0, 10**6, n)), 1
    ev["x"][1500], ev["y"][1500], ev["x"][1600] = 16383, 16383, 9000
    rec = np.empty(n, [("t", "<u4"), ("d", "<u4")])
    rec["t"], rec["d"] = ev["t"], ev["x"].astype("u4") | (ev["y"].astype("u4") << 14) | (1 << 28)
    return ev, {
        "dat": (b"% Data file containing CD events.\n% Version 2\n" + bytes([0, 8]) + rec.tobytes()),
        "txt": fw.text_lines(ev),
        "csv": fw.csv_lines(ev),
        "aedat": fw.aedat31(ev, source=None),
    }


@pytest.mark.parametrize("ext", ["dat", "txt", "csv", "aedat"])
def test_huge_coordinates_never_size_the_engine(tmp_path, ext):
    from zelq.viz.stream import export_recording_html, summarize_recording
    ev, files = _huge_files(tmp_path)
    path = tmp_path / f"h.{ext}"
    path.write_bytes(files[ext])
    first = f"x={ev['x'][1500]}, y={ev['y'][1500]}, t={ev['t'][1500]}"
    with pytest.raises(RecordingError, match=rf"{path}: 2 events outside the 2048 × 2048 pixels .*; the first: {first}"):
        export_recording_html(path, tmp_path / "p.html")
    assert sorted(os.listdir(tmp_path)) == [path.name]  # no page, no spool, no part left behind
    with pytest.warns(RecordingWarning, match="dropped 2 events outside the 2048 × 2048"):
        export_recording_html(path, tmp_path / "p.html", outside="drop")
    with pytest.warns(RecordingWarning, match="dropped 2 events"):
        assert summarize_recording(path, outside="drop")["event_count"] == len(ev) - 2


def _outcome(call, path):
    """What a call gives for a path: the array's bytes or the error, and the warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = call(path)
            got = (got.dtype, got.tobytes()) if isinstance(got, np.ndarray) else got
        except (RecordingError, OSError, ValueError) as e:
            got = (type(e), str(e))
    return got, [str(w.message) for w in caught]


def _dat_body(n, header_lines=()):
    rng = np.random.default_rng(n)
    head = b"% Data file containing Event CD events.\n% Version 2\n% Width 640\n% Height 480\n"
    head += b"".join(line + b"\n" for line in header_lines)
    return head + bytes([0x0C, 8]) + writers.dat_records(random_events(rng, n, 640, 480))


_PADDING = [b"%% note %07d %s" % (i, b"." * 60) for i in range(1000)]  # 80 KB of '%' lines


@pytest.mark.parametrize("name, body", [
    ("small.dat", _dat_body(5000)),
    ("mapped.dat", _dat_body(60_000)),                   # past what opening reads whole
    ("long_header.dat", _dat_body(40_000, _PADDING)),     # a header past the first head read
    ("huge_header.dat", _dat_body(100, _PADDING * 14)),   # past the header limit
    ("crs.raw", b"% evt 2.0\r\n% end\r\r\n%" + bytes(4003)),  # data that begins with a '%'
    ("header_only.dat", _dat_body(0)[:-2]),
    ("no_newline.raw", b"% evt 2.0\n% geometry 64x64"),
    ("cut.raw", b"% evt 2.0\n% end\n" + bytes(4001)),
    ("named.raw", _dat_body(100)),
    ("empty.bin", b""),
    ("percent.bin", b"%\x80\n" + bytes(800)),
    (os.fsdecode(b"\xff\xfe.dat"), _dat_body(100)),
    ("unreadable.dat", "/proc/self/mem"),                # regular, size 0, every read fails
    ("fifo.dat", os.mkfifo),
])
def test_opening_natively_gives_what_opening_in_python_gives(tmp_path, monkeypatch, name, body):
    # The Python path is the oracle: the same head, size and header length, and the same arrays,
    # errors and warnings from every entry point.
    from zelq.viz import iter_events
    from zelq.viz.recordings._sniffing import open_checked
    path = tmp_path / name
    if isinstance(body, bytes):
        path.write_bytes(body)
    elif isinstance(body, str):
        os.symlink(body, path)
    else:
        body(path)
    calls = [read_events, read_sensor_size, lambda p: np.concatenate([np.empty(0, RECORD), *iter_events(p)]),
             lambda p: read_events(p, outside="drop", start=5)]
    spellings = [path, str(path), f"{tmp_path}//./{name}"]

    def seen():
        opened = [_outcome(lambda p: tuple(open_checked(p)[:4]) + (open_checked(p).header,), p) for p in spellings]
        return opened + [_outcome(call, p) for call in calls for p in spellings]
    native = seen()
    monkeypatch.setattr(_native.events(), "_open_head", lambda *args: None, raising=False)
    monkeypatch.setattr(_native.events(), "_decode_whole_file", lambda *args: None, raising=False)
    assert seen() == native
