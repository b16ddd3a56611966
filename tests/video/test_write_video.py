"""Video of a recording: the frames against the reference, decoded videos, boxes on
the pixels they name, the box reader's refusals, and the command line."""
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

from tests.support import recording_oracle as rr
from zelq.viz import video

av = pytest.importorskip("av")

from tests.support.decoders import EVENT_DTYPE as EVENT
BOX = [("ts", "<u8"), ("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4"),
       ("confidence", "<f4"), ("track_id", "<u4")]
SIZE = (96, 64)
T0 = 3_000_000
SIDE = 6  # the square's side in pixels


def random_events(seed, n=4000, size=SIZE, span=300_000):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, EVENT)
    ev["x"], ev["y"] = rng.integers(0, size[0], n), rng.integers(0, size[1], n)
    ev["t"], ev["p"] = T0 + rng.integers(0, span, n), rng.integers(0, 2, n)
    ev[:50]["x"], ev[:50]["y"] = 7, 9  # one pixel far past 255 events in a frame
    return ev  # unsorted on purpose


def square_position(t):
    """Top-left corner of the square at time t: 100 px/s to the right from (20, 24)."""
    return 20 + (t - T0) // 10_000, 24


def moving_square(span_ms=400):
    """The square's pixels fire once a millisecond, ON; it moves one pixel every 10 ms."""
    t = T0 + np.arange(span_ms) * 1000
    x0, y0 = square_position(t)
    dx, dy = np.meshgrid(np.arange(SIDE), np.arange(SIDE))
    ev = np.zeros(len(t) * SIDE * SIDE, EVENT)
    ev["t"] = np.repeat(t, SIDE * SIDE)
    ev["x"] = np.repeat(x0, SIDE * SIDE) + np.tile(dx.ravel(), len(t))
    ev["y"] = y0 + np.tile(dy.ravel(), len(t))
    ev["p"] = 1
    return ev


@pytest.mark.parametrize("kw", [
    {},
    {"palette": "okabe-ito", "background": "light", "gain": 3.0, "decay": 7_000},
    {"palette": "grey", "frame_period": 33_333, "start": 40_000, "duration": 150_000},
])
def test_frames_match_the_reference(kw):
    ev = random_events(1)
    got = list(video.array_frames(ev, SIZE, **kw))
    want = list(rr.recording_frames(ev, SIZE, **{**kw, **({"start": int(ev["t"].min()) + kw["start"]}
                                                          if "start" in kw else {})}))
    assert [t for t, _ in got] == [t for t, _ in want]
    assert max(int(np.abs(g.astype(int) - w).max()) for (_, g), (_, w) in zip(got, want)) <= 1


def decoded(path):
    with av.open(str(path)) as c:
        return [f.to_ndarray(format="rgb24") for f in c.decode(video=0)]


def lit_extent(frame, background):
    """(right, top, bottom) of the pixels far from the background colour, in video pixels."""
    far = np.abs(frame.astype(int) - background).sum(-1) > 150
    ys, xs = np.nonzero(far)
    return xs.max(), ys.min(), ys.max()


@pytest.mark.parametrize("ext, kw, zoom", [(".mp4", {}, 1), (".webm", {}, 1), (".gif", {}, 1),
                                           (".mp4", {"width": 192}, 2), (".gif", {"scale": 1.5}, 1.5)])
def test_video_decodes_to_the_frames_with_the_object_in_place(tmp_path, ext, kw, zoom):
    ev = moving_square()
    out = video.write_video(ev, tmp_path / ("v" + ext), sensor_size=SIZE, **kw)
    frames = decoded(out)
    assert len(frames) == math.ceil(400_000 / 20_000)
    h, w = frames[0].shape[:2]
    assert (w, h) == (round(SIZE[0] * zoom), round(SIZE[1] * zoom))
    bg = np.array(rr.PALETTES["blue-red"]["dark"]["background"])
    for k in (5, 15):
        frame = frames[k].copy()
        frame[: int(20 * zoom)] = bg  # the time stamp's rows
        x0, y0 = square_position(T0 + k * 20_000 + 19_999)
        right, top, bottom = lit_extent(frame, bg)
        # the square leads at the end of the frame; its trail lies behind it on the same rows
        assert abs((right + 1) / zoom - (x0 + SIDE)) <= 1
        assert abs(top / zoom - y0) <= 1 and abs((bottom + 1) / zoom - (y0 + SIDE)) <= 1


def square_boxes(times_ms, class_id=1):
    b = np.zeros(len(times_ms), BOX)
    b["ts"] = T0 + np.asarray(times_ms) * 1000
    x0, y0 = square_position(b["ts"].astype(np.int64))
    b["x"], b["y"], b["w"], b["h"] = x0, y0, SIDE, SIDE
    b["class_id"], b["confidence"], b["track_id"] = class_id, 0.9, 7
    return b


def is_colour(px, colour, tol=12):
    return np.abs(px.astype(int) - colour).max(-1) <= tol


def test_a_box_lands_on_the_pixels_it_names(tmp_path):
    ev = moving_square()
    labels = square_boxes([105, 305])  # in frames 5 and 15
    preds = square_boxes([205], class_id=2)
    out = video.write_video(ev, tmp_path / "b.gif", sensor_size=SIZE, boxes=labels, predictions=preds,
                            classes="car,person,bike")
    frames = decoded(out)
    colour = video.CLASS_COLOURS[1]
    for k, t_ms in ((5, 105), (15, 305)):
        x0, y0 = square_position(T0 + t_ms * 1000)
        hit = is_colour(frames[k], colour)
        ring = np.zeros(hit.shape, bool)
        ring[y0:y0 + SIDE, x0:x0 + SIDE] = True
        ring[y0 + 1:y0 + SIDE - 1, x0 + 1:x0 + SIDE - 1] = False
        assert hit[ring].all()
        # nothing of the outline outside it (the label text sits above the box)
        outside = hit.copy()
        outside[:y0] = False
        outside[ring] = False
        assert not outside.any()
    for k in (4, 6, 14, 16):  # the frames around: no box
        assert not is_colour(frames[k][20:], colour).any()
    dashed = is_colour(frames[10], video.CLASS_COLOURS[2])
    x0, y0 = square_position(T0 + 205_000)
    top = dashed[y0, x0:x0 + SIDE]
    assert 0 < top.sum() < SIDE or top.all()  # dashes of 4 on 3 off: a 6-pixel side shows 4 or 5


def save(tmp_path, name, value):
    path = tmp_path / name
    np.save(path, value, allow_pickle=True)
    return path


@pytest.mark.parametrize("value, message", [
    (np.array([{"t": 1}], dtype=object), "not a readable .npy box array"),
    (np.zeros((2, 3)), "one-dimensional record array"),
    (np.zeros(2, [("t", "<i8"), ("x", "<f4")]), "lacks the fields y, w, h, class_id"),
    (np.zeros(2, [("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4")]), "t (or ts)"),
    (np.array([(0, np.nan, 0, 1, 1, 0)], [("t", "<i8")] + [(f, "<f4") for f in "xywh"] + [("class_id", "<u4")]),
     "NaN or infinite"),
    (np.array([(0, 0, 0, -1, 1, 0)], [("t", "<i8")] + [(f, "<f4") for f in "xywh"] + [("class_id", "<u4")]),
     "negative width"),
    (np.array([(0.5, 0, 0, 1, 1, 0)], [("t", "<f8")] + [(f, "<f4") for f in "xywh"] + [("class_id", "<u4")]),
     "not whole numbers"),
    (np.array([(0, 0, 0, 1, 1, b"a")], [("t", "<i8")] + [(f, "<f4") for f in "xywh"] + [("class_id", "S1")]),
     "not a number"),
])
def test_box_reader_refuses_bad_files_by_name(tmp_path, value, message):
    path = save(tmp_path, "boxes.npy", value)
    with pytest.raises(ValueError, match="boxes.npy") as e:
        video.read_boxes(path)
    assert message in str(e.value)


def test_box_reader_reads_both_time_names_and_refuses_other_files(tmp_path):
    boxes = video.read_boxes(save(tmp_path, "b.npy", square_boxes([30, 10, 20])))
    assert boxes.t.tolist() == [T0 + 10_000, T0 + 20_000, T0 + 30_000] and boxes.track_id.tolist() == [7] * 3
    (tmp_path / "junk.npy").write_bytes(b"\x93NUMPY garbage")
    (tmp_path / "dir.npy").mkdir()
    for name, error in (("junk.npy", ValueError), ("dir.npy", ValueError), ("missing.npy", FileNotFoundError)):
        with pytest.raises(error, match=name):
            video.read_boxes(tmp_path / name)


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "zelq.viz", "events", *map(str, args), "-q"],
                          capture_output=True, text=True)


def test_command_line_writes_a_video_with_boxes(tmp_path):
    rec = tmp_path / "square.npy"
    np.save(rec, moving_square())
    boxes = save(tmp_path, "labels.npy", square_boxes([105]))
    out = tmp_path / "square.gif"
    done = run_cli(rec, "--video", out, "--boxes", boxes, "--classes", "car,person", "--sensor-size", "96x64")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(out) and len(decoded(out)) == 20
    assert is_colour(decoded(out)[5], video.CLASS_COLOURS[1]).any()
    for args, code in (((rec, "--video", tmp_path / "x.avi"), 2), ((rec, "--scale", "2"), 2),
                       ((rec, "--video", out, "--boxes", rec), 1)):
        done = run_cli(*args)
        assert done.returncode == code and done.stderr.count("\n") == 1, done.stderr


def test_without_the_streaming_engine_a_file_without_a_header_size_takes_the_events_extent(
        tmp_path, monkeypatch):
    ev = random_events(2, size=(50, 30))
    path = tmp_path / "events.npy"
    np.save(path, ev)
    want = list(video._frame_source(ev, None))  # the streaming engine, sized by the events
    monkeypatch.setattr(video, "_engine_frames", lambda: None)
    got = list(video._frame_source(str(path), None))
    assert got[0][1].shape == (30, 50, 3)
    assert [t for t, _ in got] == [t for t, _ in want]
    assert all(np.array_equal(a, b) for (_, a), (_, b) in zip(got, want))


@pytest.mark.parametrize("colours, message", [
    ({"palette": "neon"}, "palette must be one of 'blue-red', 'okabe-ito', 'grey', not 'neon'"),
    ({"background": "grey"}, 'background must be "dark" or "light", not \'grey\'')])
def test_the_video_and_the_page_frames_take_palettes_by_one_rule(colours, message):
    from zelq.viz import recording_frames
    ev = random_events(3)
    for frames in (lambda: list(video.array_frames(ev, SIZE, **colours)), lambda: recording_frames(ev, **colours)):
        with pytest.raises(ValueError) as refused:
            frames()
        assert str(refused.value) == message


def test_a_gif_above_100_frames_a_second_keeps_every_kth_frame_and_says_so(tmp_path):
    rec = moving_square()
    with pytest.warns(UserWarning, match="writing 1 frame in 2 \\(100 frames a second\\)"):
        video.write_video(rec, tmp_path / "fast.gif", frame_period=5_000)
    video.write_video(rec, tmp_path / "slow.gif", frame_period=10_000)
    fast, slow = decoded(tmp_path / "fast.gif"), decoded(tmp_path / "slow.gif")
    assert abs(len(fast) - len(slow)) <= 1  # every second 5 ms frame: as many as 10 ms frames over the span


def test_boxes_far_past_the_frame_are_clipped_without_warnings(tmp_path):
    huge = square_boxes([105, 205])
    huge["w"][0], huge["x"][1], huge["h"][1] = 3e38, -3e38, 3e38
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        video.write_video(moving_square(), tmp_path / "h.gif", boxes=huge, scale=2)
    assert len(decoded(tmp_path / "h.gif")) > 0


@pytest.mark.parametrize("size, outside, message", [
    ((10, 10), "refuse", "events lie outside the 10 x 10 sensor"), ((0, 0), "drop", "each from 1 to 16384"),
    ((100_000, 100_000), "drop", "not (100000, 100000)")])
def test_an_array_with_a_sensor_size_follows_the_outside_rule(tmp_path, size, outside, message):
    ev = random_events(2, size=(50, 30))
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        video.write_video(ev, tmp_path / "v.gif", sensor_size=size, outside=outside)
    assert os.listdir(tmp_path) == []
    video.write_video(ev, tmp_path / "v.gif", sensor_size=(10, 10), outside="drop")


@pytest.mark.parametrize("source", ["array", "file"])
def test_a_window_past_the_end_says_the_recordings_span(tmp_path, source):
    ev = random_events(3)
    recording = ev
    if source == "file":
        recording = tmp_path / "ev.npy"
        np.save(recording, ev)
    first, last = int(ev["t"].min()), int(ev["t"].max())
    with pytest.raises(ValueError) as e:
        video.write_video(recording, tmp_path / "v.gif", start=5_000_000)
    assert str(e.value) == (f"no frames to write: the recording or the window holds no events (the recording spans "
                            f"{(last - first) / 1000:.4g} ms, from t = {first:,} to {last:,} µs; a window's start "
                            f"counts from its first event)")
    assert not (tmp_path / "v.gif").exists()
