"""AEDAT 4 windows read by the file's data table, or by a native survey where there is none:
the same arrays, warnings and refusals as the survey of the record pieces, on the shared
recording and on written files (cut short, times that fall); a table that lies about a packet
it places in the window, or that does not hold together, is not followed."""
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tests.support import writers
from tests.support.events import random_events
from tests.support.paths import shared_recording
from zelq.viz import RecordingError, iter_events, read_events
from zelq.viz.recordings import _aedat4, _pieces
from zelq.viz.recordings._registry import File, Window

pytest.importorskip("lz4.frame")
pytestmark = pytest.mark.filterwarnings("ignore::zelq.viz.RecordingWarning")  # compared where they matter

WINDOWS = [(0, 1000), (100_000, 200_000), (300_000, -1), (10, 1), (0, 10**18), (10**17, -1), (2_999_000, 5000)]


def _file(path):
    return File(path, ".aedat4", b"", path.stat().st_size)


def _outcome(call):
    """(the array's bytes or the refusal, the warnings' texts) of a call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = call().tobytes()
        except RecordingError as e:
            got = str(e)
    return got, [str(w.message) for w in caught]


def _survey(path, window):
    file = _file(path)
    return _pieces.read(_aedat4._piece_file(file), window)


def _pieces_of(path, window, chunk):
    return list(_pieces.iterate(_aedat4._piece_file(_file(path)), window, chunk))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tables")
    inside = random_events(60_000, 64, 48, 3_000_000, seed=11)
    spill = random_events(60_000, 70, 50, 3_000_000, seed=12)  # some events outside the 64 x 48 sensor
    made = {"shared": shared_recording("sample.aedat4")}
    for name, events, lz4 in [("lz4", inside, None), ("stored", inside, False), ("outside", spill, None)]:
        made[name] = folder / f"{name}.aedat4"
        made[name].write_bytes(writers.aedat4(events, geometry=(64, 48), packet=2_000, lz4_options=lz4, table=True))
    # Without a table: 60 pieces of 1,000 events (the survey's pass stops only at a piece after
    # the window), whole, cut short, and with times that fall.
    whole = writers.aedat4(spill, geometry=(64, 48), packet=2_000)
    falling = spill.copy()
    falling["t"][30_000:] -= 1_000_000
    for name, data in [("no table", whole), ("no table, cut", whole[:len(whole) * 2 // 3]),
                       ("falling", writers.aedat4(falling, geometry=(64, 48), packet=2_000))]:
        made[name] = folder / f"{name}.aedat4"
        made[name].write_bytes(data)
    return made, inside


@pytest.mark.parametrize("name", ["shared", "lz4", "stored", "outside", "no table", "no table, cut", "falling"])
@pytest.mark.parametrize("start, duration", WINDOWS)
@pytest.mark.parametrize("outside", ["refuse", "drop"])
def test_windows_by_the_table_are_the_survey_route(files, monkeypatch, name, start, duration, outside):
    made, inside = files
    path = made[name]
    window = Window(start, duration, outside)
    monkeypatch.setattr(_aedat4, "_PIECE", 1_000)  # pieces of both routes: where a pass may stop
    kw = dict(start=start, duration=None if duration < 0 else duration, outside=outside)
    want = _outcome(lambda: _survey(path, window))
    old = _outcome(lambda: np.concatenate([np.zeros(0, inside.dtype)] + _pieces_of(path, window, 777)))
    sizes = [len(p) for p in _pieces_of(path, window, 777)] if not isinstance(old[0], str) else None
    if name in ("lz4", "stored"):  # the survey is the NumPy filter of the events written
        lo = inside["t"][0] + start
        t = inside["t"]
        assert want[0] == inside[(t >= lo) & ((t - lo < duration) | (duration < 0))].tobytes()

    def survey(*args):
        raise AssertionError("the native route was set aside")
    if name != "falling":
        monkeypatch.setattr(_pieces, "read", survey)
    if "table" not in name and name != "falling":
        monkeypatch.setattr(_pieces, "iterate", survey)
    assert _outcome(lambda: read_events(path, **kw)) == want
    assert _outcome(lambda: np.concatenate([np.zeros(0, inside.dtype)] + list(iter_events(path, chunk=777, **kw)))) \
        == old
    if sizes is not None:
        assert [len(p) for p in iter_events(path, chunk=777, **kw)] == sizes


def _entries(data):
    """The written file's table, decompressed, and where it starts."""
    import lz4.frame
    at = int.from_bytes(data[58:66], "little", signed=True)
    return bytearray(lz4.frame.decompress(bytes(data[at:]))), at


def _with_table(data, table, at):
    import lz4.frame
    return bytes(data[:at]) + lz4.frame.compress(bytes(table))


def _entry(i, field):
    """Where field (0 offset, 1 stream, 2 size, 3 count, 4 first, 5 last) of entry i lies in the
    writer's table (entries of 48 bytes after the vector, see writers._aedat_table)."""
    n = 30
    first = 52 + 4 * n + (-(52 + 4 * n) % 8)
    return first + 48 * i + {0: 16, 1: 8, 2: 12, 3: 24, 4: 32, 5: 40}[field]


LIES = {
    "a count one short": lambda t: t.__setitem__(slice(_entry(15, 3), _entry(15, 3) + 8), (1999).to_bytes(8, "little")),
    "a first time after its first event": lambda t: t.__setitem__(slice(_entry(15, 4), _entry(15, 4) + 8),
                                                                  (int.from_bytes(t[_entry(15, 4):_entry(15, 4) + 8],
                                                                                  "little") + 1).to_bytes(8, "little")),
    "an offset off the packets": lambda t: t.__setitem__(slice(_entry(3, 0), _entry(3, 0) + 8),
                                                         (int.from_bytes(t[_entry(3, 0):_entry(3, 0) + 8], "little")
                                                          + 1).to_bytes(8, "little")),
    "times that fall": lambda t: t.__setitem__(slice(_entry(20, 4), _entry(20, 4) + 16), bytes(16)),
    "a vector running past the table": lambda t: t.__setitem__(slice(48, 52), (10**6).to_bytes(4, "little")),
    "cut short": lambda t: t.__delitem__(slice(len(t) - 30, None)),
    "a packet given to another stream": lambda t: t.__setitem__(_entry(14, 1), t[_entry(14, 1)] ^ 1),
}


@pytest.mark.parametrize("lie", list(LIES))
def test_a_table_that_does_not_hold_together_is_not_followed(tmp_path, lie):
    events = random_events(60_000, 64, 48, 3_000_000, seed=13)
    data = writers.aedat4(events, geometry=(64, 48), packet=2_000, table=True)
    table, at = _entries(data)
    LIES[lie](table)
    path = tmp_path / "lie.aedat4"
    path.write_bytes(_with_table(data, table, at))
    window = Window(1_400_000, 200_000)  # packets 14 to 16
    assert _aedat4._read_window(_file(path), window, (64, 48)) is None
    assert _outcome(lambda: read_events(path, start=1_400_000, duration=200_000)) == _outcome(lambda: _survey(path, window))
    pieces = list(iter_events(path, start=1_400_000, duration=200_000, chunk=500))
    assert b"".join(p.tobytes() for p in pieces) == _survey(path, window).tobytes()


def test_a_damaged_packet_in_the_window_is_refused_as_the_survey_refuses_it(tmp_path):
    events = random_events(60_000, 64, 48, 3_000_000, seed=14)
    data = bytearray(writers.aedat4(events, geometry=(64, 48), packet=2_000, table=True))
    table, _ = _entries(data)
    packet = int.from_bytes(table[_entry(15, 0):_entry(15, 0) + 8], "little")
    data[packet + 7:packet + 11] = b"\xff\xff\xff\x7f"  # packet 15's first LZ4 block claims too much
    path = tmp_path / "damaged.aedat4"
    path.write_bytes(bytes(data))
    got = _outcome(lambda: read_events(path, start=1_400_000, duration=200_000))
    assert re.search(rf"corrupt AEDAT 4 packet at byte {packet - 8}: ", got[0]), got
    assert got == _outcome(lambda: _survey(path, Window(1_400_000, 200_000)))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(flips=st.lists(st.tuples(st.integers(0, 1 << 20), st.integers(1, 255)), min_size=1, max_size=4),
       start=st.integers(0, 3_000_000))
def test_damaged_tables_give_window_events_or_the_survey(tmp_path, flips, start):
    events = random_events(30_000, 64, 48, 3_000_000, seed=15)
    data = writers.aedat4(events, geometry=(64, 48), packet=2_000, table=True)
    table, at = _entries(data)
    for where, mask in flips:
        table[where % len(table)] ^= mask
    path = tmp_path / "flipped.aedat4"
    path.write_bytes(_with_table(data, table, at))
    window = Window(start, 100_000)
    got = _aedat4._read_window(_file(path), window, (64, 48))
    want = _survey(path, window)
    if got is None:
        return
    # What the table places outside the window is taken as it says: the events read are the
    # window's events of the packets read, in file order.
    lo = events["t"][0] + start
    assert np.all((got["t"] >= lo) & (got["t"] < lo + 100_000))
    assert np.all(np.isin(got["t"], want["t"])) and np.all(np.diff(got["t"]) >= 0)
