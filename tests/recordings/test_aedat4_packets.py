"""AEDAT 4 packets: our LZ4 frame decoder against the lz4 package (the reference library's
own decoder) on random data and damaged frames, and files of every packet form read back
whole, in pieces and with their faults named at their packet."""
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tests.support import writers
from tests.support.events import random_events
from zelq.viz import RecordingError, RecordingWarning, iter_events, read_events
from zelq.viz import _native
from zelq.viz.recordings import _zstd

lz4_frame = pytest.importorskip("lz4.frame")

BIG = 1 << 30
# Random bytes (stored blocks) and repeated runs (matches at every distance), up to ~150 KB.
DATA = st.lists(st.one_of(st.binary(min_size=1, max_size=4000),
                          st.tuples(st.binary(min_size=1, max_size=40), st.integers(2, 600)).map(lambda t: t[0] * t[1])),
                max_size=30).map(b"".join)
OPTIONS = st.fixed_dictionaries({
    "block_size": st.sampled_from([lz4_frame.BLOCKSIZE_MAX64KB, lz4_frame.BLOCKSIZE_MAX256KB,
                                   lz4_frame.BLOCKSIZE_MAX1MB, lz4_frame.BLOCKSIZE_MAX4MB]),
    "block_linked": st.booleans(), "content_checksum": st.booleans(), "block_checksum": st.booleans(),
    "store_size": st.booleans(), "compression_level": st.sampled_from([0, 4, 10]),
})


def ours(frame, limit=BIG):
    try:
        return "ok", _native.events()._lz4_frame(frame, limit)
    except ValueError as e:
        return str(e), None


def reference(frame):
    """What the lz4 package makes of one frame: its bytes, "ends early" or its error name."""
    decoder = lz4_frame.LZ4FrameDecompressor()
    try:
        out = decoder.decompress(frame)
    except RuntimeError as e:
        return str(e).rsplit(": ", 1)[1], None
    return ("ok", out) if decoder.eof else ("ends early", None)


@settings(max_examples=150, deadline=None)
@given(data=DATA, options=OPTIONS)
def test_frames_decode_to_their_data(data, options):
    frame = lz4_frame.compress(data, **options)
    assert ours(frame) == ("ok", data)
    assert ours(frame + b"after the frame") == ("ok", data)


def _short_matches(seed=0):
    """Matches of 4 to 18 bytes at offsets 1 to 20 (overlapping where shorter than the
    match), each between fresh random bytes, and an event packet's 16-byte records."""
    rng = np.random.default_rng(seed)
    pieces = []
    for offset in range(1, 21):
        for length in range(4, 19):
            r = rng.bytes(offset)
            pieces += [r, (r * 19)[:length], rng.bytes(6)]
    events = np.zeros(20000, [("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("on", "u1"), ("pad", "V3")])
    events["t"] = 1_700_000_000_000_000 + np.cumsum(rng.integers(0, 3, events.size))
    events["x"], events["y"], events["on"] = rng.integers(0, 640, events.size), rng.integers(0, 480, events.size), rng.integers(0, 2, events.size)
    return b"".join(pieces) + events.tobytes()


@pytest.mark.parametrize("level", [0, 4, 10])
@pytest.mark.parametrize("linked", [False, True])
def test_short_matches_decode_to_their_data(level, linked):
    data = _short_matches()
    frame = lz4_frame.compress(data, compression_level=level, block_linked=linked)
    assert ours(frame) == ("ok", data)


@settings(max_examples=400, deadline=None)
@given(data=DATA, options=OPTIONS, cut=st.floats(0, 1), flips=st.lists(st.tuples(st.floats(0, 1), st.integers(1, 255)),
                                                                        max_size=3))
def test_damaged_frames_are_refused_as_the_reference_refuses_them(data, options, cut, flips):
    frame = bytearray(lz4_frame.compress(data, **options))
    for where, mask in flips:
        frame[int(where * (len(frame) - 1))] ^= mask
    frame = bytes(frame[:int(cut * len(frame))] if cut < 0.5 else frame)
    got, want = ours(frame), reference(frame)
    if got != want:
        # Where a damaged block decodes under one decoder's end-of-block rules and not the
        # other's, the refusal can only be that the block is damaged.
        assert "ERROR_decompressionFailed" in (got[0], want[0]), (got[0], want[0])


def _with_header(frame, flags, extra):
    """The frame's blocks behind a descriptor of other flags and fields, with the header
    checksum the reference accepts (found by trying each of the 256)."""
    start = 7 + (8 if frame[4] & 0x08 else 0)
    for hc in range(256):
        made = frame[:4] + bytes([flags, frame[5]]) + extra + bytes([hc]) + frame[start:]
        if reference(made)[0] != "ERROR_headerChecksum_invalid":
            return made
    raise AssertionError("no header checksum accepted")


@pytest.mark.parametrize("what", ["dictionary id", "wrong content size", "bad header checksum"])
def test_descriptor_fields_as_the_reference_takes_them(what):
    data = b"abc" * 20000
    frame = lz4_frame.compress(data, store_size=False, block_linked=False)
    if what == "dictionary id":  # read, and no dictionary needed by these blocks
        made = _with_header(frame, frame[4] | 0x01, b"\x07\0\0\0")
    elif what == "wrong content size":
        made = _with_header(frame, frame[4] | 0x08, (len(data) + 1).to_bytes(8, "little"))
    else:
        made = frame[:6] + bytes([frame[6] ^ 1]) + frame[7:]
    assert ours(made) == reference(made)
    assert ours(made)[0] == {"dictionary id": "ok", "wrong content size": "ERROR_frameSize_wrong",
                             "bad header checksum": "ERROR_headerChecksum_invalid"}[what]


def test_skippable_frames_and_the_output_limit():
    skippable = (0x184D2A53).to_bytes(4, "little") + (5).to_bytes(4, "little") + b"12345"
    assert ours(skippable) == reference(skippable) == ("ok", b"")
    assert ours(skippable[:-1]) == reference(skippable[:-1]) == ("ends early", None)
    frame = lz4_frame.compress(bytes(300_000), block_size=lz4_frame.BLOCKSIZE_MAX64KB)
    assert ours(frame, 300_000) == ("ok", bytes(300_000))
    assert ours(frame, 200_000) == ("too large", None)  # refused at the block that passes it


# ---------------------------------------------------------------- files of every packet form

PACKED = {"stored": False, "linked, checksums": {"block_linked": True, "content_checksum": True, "block_checksum": True},
          "4 MiB blocks, sized": {"block_size": lz4_frame.BLOCKSIZE_MAX4MB, "store_size": True}}


@pytest.mark.parametrize("form", list(PACKED))
def test_packet_forms_read_whole_and_in_pieces(tmp_path, form):
    events = random_events(120_000, 64, 48, 5_000_000, seed=3)
    path = tmp_path / "f.aedat4"
    path.write_bytes(writers.aedat4(events, geometry=(64, 48), packet=7_000, lz4_options=PACKED[form]))
    np.testing.assert_array_equal(read_events(path), events)
    pieces = list(iter_events(path, chunk=10_000))
    assert [len(p) for p in pieces] == [10_000] * 12
    np.testing.assert_array_equal(np.concatenate(pieces), events)
    window = read_events(path, start=1_000_000, duration=2_000_000)
    lo = events["t"][0] + 1_000_000
    np.testing.assert_array_equal(window, events[(events["t"] >= lo) & (events["t"] < lo + 2_000_000)])


def _file(tmp_path, packets, compression=1):
    header = writers._aedat_header(writers._aedat_info(64, 48), compression)
    body = b"".join(np.array([0, len(p)], "<i4").tobytes() + p for p in packets)
    path = tmp_path / "d.aedat4"
    path.write_bytes(b"#!AER-DAT4.0\r\n" + len(header).to_bytes(4, "little") + header + body)
    return path, 14 + 4 + len(header)


def _packet(events, stored=False, **options):
    return writers._aedat_packet(events["x"], events["y"], events["t"], (events["p"] > 0).astype(np.uint8),
                                 False if stored else options)


@pytest.mark.parametrize("damage, message", [
    ("cut frame", "its compressed data ends early"),
    ("content checksum", r"its LZ4 data is damaged \(LZ4F_decompress failed with code: ERROR_contentChecksum_invalid\)"),
    ("block size", r"its LZ4 data is damaged \(LZ4F_decompress failed with code: ERROR_maxBlockSize_invalid\)"),
    ("event count", r"it claims 4294967295 events, more than it holds"),
    ("zstd", None),
])
def test_a_damaged_packet_is_refused_at_its_offset_after_the_packets_before_it(tmp_path, monkeypatch, damage,
                                                                               message):
    events = random_events(30_000, 64, 48, 1_000_000, seed=5)
    good = [_packet(events[i:i + 3000], content_checksum=True) for i in range(0, 30_000, 3000)]
    bad = bytearray(good[6])
    if damage == "cut frame":
        bad = bad[:-9]
    elif damage == "content checksum":
        bad[-1] ^= 0x40
    elif damage == "block size":
        bad[-5] = 0x7F  # the end mark holds a block header claiming too much
    elif damage == "event count":
        bad = bytearray(lz4_frame.compress(lz4_frame.decompress(bytes(bad))[:28] + b"\xff" * 4 +
                                           lz4_frame.decompress(bytes(bad))[32:]))
    path, start = _file(tmp_path, good[:6] + [bytes(bad)] + good[7:], compression=3 if damage == "zstd" else 1)
    at = start + sum(8 + len(p) for p in good[:6])
    if message is None:  # without libzstd and zstandard
        monkeypatch.setattr(_zstd, "unpacker", lambda: None)
        monkeypatch.setattr(_native.events(), "_ZSTD_LIBRARY", False)
        message = re.escape("its packets are ZSTD-compressed; only LZ4 and uncompressed AEDAT 4 are read "
                            "(ZSTD needs zstandard: pip install zelqviz[aedat])")
        at = None
    for read in (read_events, lambda p: list(iter_events(p, chunk=4096)), lambda p: read_events(p, start=10)):
        with pytest.raises(RecordingError) as caught:
            read(path)
        where = "" if at is None else rf"corrupt AEDAT 4 packet at byte {at}: "
        assert re.fullmatch(rf"{re.escape(str(path))}: {where}{message}", str(caught.value)), str(caught.value)


@pytest.mark.parametrize("table, expected", [(0, 3000), (5, 0), (-1, 3000), ("end", 3000), ("inside", 1500)])
def test_the_data_table_position_ends_the_packets(tmp_path, table, expected):
    events = random_events(3000, 64, 48, 100_000, seed=2)
    packets = [_packet(events[:1500]), _packet(events[1500:])]
    path, start = _file(tmp_path, packets)
    data = bytearray(path.read_bytes())
    at = {"end": len(data), "inside": start + 8 + len(packets[0])}.get(table, table)
    data[14 + 4 + 40:14 + 4 + 48] = int(at).to_bytes(8, "little", signed=True)  # dataTablePosition
    path.write_bytes(bytes(data))
    np.testing.assert_array_equal(read_events(path), events[:expected])


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(cut=st.integers(0, 400_000))
def test_a_file_cut_anywhere_reads_its_whole_packets(tmp_path, cut):
    events = random_events(25_000, 64, 48, 1_000_000, seed=9)
    data = writers.aedat4(events, geometry=(64, 48), packet=2_500)
    path = tmp_path / "c.aedat4"
    path.write_bytes(data[:cut])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = read_events(path)
        except RecordingError as e:  # a cut inside the header
            assert re.search(r"AEDAT 4 header|not a AEDAT 4 file", str(e)), str(e)
            return
    assert len(got) % 2_500 == 0
    np.testing.assert_array_equal(got, events[:len(got)])
    notes = [str(w.message) for w in caught]
    assert all(re.search(rf"cut short: .* inside the packet at byte \d+; {len(got):,} events", n) for n in notes), notes
    assert (len(got) == len(events)) == (cut >= len(data))


# ---------------------------------------------------------------- ZSTD packets, by libzstd or the zstandard package

ZSTD = {"sized": {}, "unsized": {"write_content_size": False}, "checksum, level 19": {"write_checksum": True, "level": 19}}


@pytest.fixture(params=["libzstd", "zstandard"])
def zstd_decoder(request, monkeypatch):
    """Each ZSTD case by the system's libzstd and by the zstandard package, which must agree."""
    if request.param == "libzstd" and not _native.events()._ZSTD_LIBRARY:
        pytest.skip("libzstd is not on this system")
    if request.param == "zstandard":
        monkeypatch.setattr(_native.events(), "_ZSTD_LIBRARY", False)
    return request.param


@pytest.mark.parametrize("form", list(ZSTD))
def test_zstd_packets_read_whole_in_pieces_and_by_window(tmp_path, form, zstd_decoder):
    pytest.importorskip("zstandard")
    events = random_events(60_000, 64, 48, 5_000_000, seed=21)
    path = tmp_path / "z.aedat4"
    path.write_bytes(writers.aedat4(events, geometry=(64, 48), packet=7_000, zstd=ZSTD[form], table=True))
    np.testing.assert_array_equal(read_events(path), events)
    np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=9_999))), events)
    lo = events["t"][0] + 1_000_000
    np.testing.assert_array_equal(read_events(path, start=1_000_000, duration=2_000_000),
                                  events[(events["t"] >= lo) & (events["t"] < lo + 2_000_000)])


def _zstd_frame_claiming(size):
    """A ZSTD frame header that states `size` bytes of content (8-byte field), and one raw block."""
    return b"\x28\xb5\x2f\xfd" + bytes([0xE0]) + size.to_bytes(8, "little") + b"\x01\x00\x00"


@pytest.mark.parametrize("damage, message", [
    ("cut frame", "its compressed data ends early"),
    ("cut header", "its compressed data ends early"),
    ("checksum", r"its ZSTD data is damaged \(.*checksum.*\)"),
    ("not a frame", r"its ZSTD data is damaged \(.*\)"),
    ("claims 1 TiB", r"it decompresses to more than 256 MiB"),
    ("unsized, cut", "its compressed data ends early"),
])
def test_a_damaged_zstd_packet_is_refused_at_its_offset(tmp_path, damage, message, zstd_decoder):
    zstandard = pytest.importorskip("zstandard")
    events = random_events(30_000, 64, 48, 1_000_000, seed=22)
    squeeze = zstandard.ZstdCompressor(write_checksum=True, write_content_size=damage != "unsized, cut").compress
    good = [squeeze(_packet(events[i:i + 3000], stored=True)) for i in range(0, 30_000, 3000)]
    bad = bytearray(good[4])
    if damage in ("cut frame", "unsized, cut"):
        bad = bad[:-20]
    elif damage == "cut header":
        bad = bad[:3]
    elif damage == "checksum":
        bad[-1] ^= 0x5A
    elif damage == "not a frame":
        bad[:4] = b"\0\0\0\0"
    else:
        bad = bytearray(_zstd_frame_claiming(1 << 40))
    path, start = _file(tmp_path, good[:4] + [bytes(bad)] + good[5:], compression=3)
    at = start + sum(8 + len(p) for p in good[:4])
    for read in (read_events, lambda p: list(iter_events(p, chunk=4096)), lambda p: read_events(p, start=10)):
        with pytest.raises(RecordingError) as caught:
            read(path)
        assert re.fullmatch(rf"{re.escape(str(path))}: corrupt AEDAT 4 packet at byte {at}: {message}",
                            str(caught.value)), str(caught.value)


def test_a_whole_read_reports_its_progress_every_so_many_events(tmp_path, monkeypatch):
    from zelq.viz.recordings import _aedat4
    from zelq.viz.recordings._registry import File, Window
    monkeypatch.setattr(_aedat4, "PROGRESS_EVERY", 25_000)
    events = random_events(90_000, 64, 48, 1_000_000, seed=23)
    path = tmp_path / "long.aedat4"
    path.write_bytes(writers.aedat4(events, geometry=(64, 48), packet=10_000, lz4_options=False))
    seen = []
    got = _aedat4._read(File(path, ".aedat4", b"", path.stat().st_size), Window(progress=seen.append))
    assert got.tobytes() == events.tobytes()
    # After 25, 50 and 75 K events, the packets read whole (2, 5 and 7 of 9), then the end.
    start = 18 + len(writers._aedat_header(writers._aedat_info(64, 48)))
    packet = (path.stat().st_size - start) / 9
    np.testing.assert_allclose(seen, [(start + k * packet) / path.stat().st_size for k in (2, 5, 7)] + [1.0])


@pytest.mark.parametrize("sized", [True, False])
@pytest.mark.parametrize("cut, trailing, room", [(0, b"", 0), (0, b"", -1), (0, b"\x28\xb5\x2f\xfd tail", 1),
                                                 (7, b"", 0)])
def test_libzstd_and_zstandard_read_a_frame_alike(sized, cut, trailing, room):
    zstandard = pytest.importorskip("zstandard")
    if not _native.events()._ZSTD_LIBRARY:
        pytest.skip("libzstd is not on this system")
    content = np.random.default_rng(4).integers(0, 9, 300_000, np.uint8).tobytes()
    frame = zstandard.ZstdCompressor(write_content_size=sized).compress(content)
    data = frame[:len(frame) - cut] + trailing
    limit = len(content) + room

    def outcome(unpack):
        try:
            return unpack(data, limit)
        except ValueError as e:
            return str(e)
    want = outcome(_zstd.unpacker())
    assert outcome(_native.events()._zstd_frame) == want
    assert want == ("ends early" if cut else "too large" if room < 0 else content)
