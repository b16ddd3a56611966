"""Huge inputs without huge memory: billions of events through a stride-0 view, gigabytes through a memory map.

The stride-0 tests take about a minute natively and are marked `huge`: CI runs them once
(ZELQVIZ_HUGE=1). benchmarks/bench_huge_memmap.py frames a recording larger than the free RAM.
"""
import numpy as np
import pytest

from zelq.viz import spikes

from tests.support.decoders import EVENT_DTYPE as EV_DTYPE
N = 3 * 10**9


def one_event_repeated(n):
    one = np.zeros(1, EV_DTYPE)
    one["x"], one["y"], one["t"], one["p"] = 2, 1, 7, 1
    return np.lib.stride_tricks.as_strided(one, shape=(n,), strides=(0,))


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) << 10
    raise KeyError(key)


@pytest.mark.huge
@pytest.mark.no_sanitizer
def test_frames_count_three_billion_events_in_one_cell():
    frames = spikes.events_to_frames(one_event_repeated(N), (4, 3), 1)
    assert frames.dtype == np.float32 and frames.shape == (1, 2, 3, 4)
    assert frames[0, 0, 1, 2] == np.float32(N)  # 64-bit count, rounded once to float32
    assert np.count_nonzero(frames) == 1


@pytest.mark.huge
@pytest.mark.no_sanitizer
def test_grid_and_raster_of_three_billion_events():
    ev = one_event_repeated(N)
    grid = spikes.events_to_grid(ev, (4, 3), 1)
    expected = np.zeros((1, 3, 4, 3), np.uint8)
    expected[0, 1, 2, 2] = 255  # ON in blue, at full brightness
    assert np.array_equal(grid, expected)
    raster = spikes.events_to_raster(ev, 12, 1)
    # Neuron y * width + x, with the width found from the largest x (2 + 1).
    assert raster.shape == (1, 12) and raster[0, 1 * 3 + 2] == np.float32(N) and np.count_nonzero(raster) == 1


@pytest.mark.no_sanitizer
def test_memory_mapped_recording_is_framed_in_place(tmp_path):
    """A sparse 3 GiB recording: anonymous memory stays far below the file size."""
    size = 3 << 30
    n = size // EV_DTYPE.itemsize
    path = tmp_path / "recording.bin"
    with open(path, "wb") as f:
        f.truncate(n * EV_DTYPE.itemsize)  # a hole: every record reads as x=y=t=p=0, an OFF event
    tail = np.memmap(path, EV_DTYPE, mode="r+", offset=(n - 5) * EV_DTYPE.itemsize, shape=(5,))
    tail["x"], tail["y"], tail["t"], tail["p"] = [5, 5, 5, 5, 9], [3, 3, 3, 3, 0], 1000, 1  # x=9 is off-sensor
    tail.flush()
    del tail

    events = np.memmap(path, EV_DTYPE, mode="r")
    anon = status("RssAnon")
    frames = spikes.events_to_frames(events, (8, 4), 2)
    raster = spikes.events_to_raster(events, 64, 2)  # width 10 from the largest x
    grown = status("RssAnon") - anon
    del events

    assert grown < 64 << 20, f"anonymous memory grew by {grown >> 20} MiB for a {size >> 30} GiB file"
    assert frames[0, 1, 0, 0] == np.float32(n - 5) and frames[1, 0, 3, 5] == 4
    assert np.count_nonzero(frames) == 2
    assert raster[0, 0] == np.float32(n - 5) and raster[1, 3 * 10 + 5] == 4 and raster[1, 9] == 1
    assert np.count_nonzero(raster) == 3
