"""ROS 1 and ROS 2 bags of event messages, written with rosbags' own writers: EventArray topics
against the records written, EventPacket EVT 3.0 bytes split across messages, topic choice,
sensor sizes and malformed messages."""
import shutil

import numpy as np
import pytest

from tests.support import format_writers as fw
from tests.support import writers
from tests.support.events import random_events, read_both_ways
from zelq.viz.recordings import RecordingError, read_events, read_sensor_size

pytest.importorskip("rosbags")
from zelq.viz.recordings._rosbag import typestore  # noqa: E402

ARRAYS = ["dvs_msgs/msg/EventArray", "prophesee_event_msgs/msg/EventArray"]


def _events(n=3000, seed=0, t0=1_600_000_000_000_000):
    return random_events(n, 346, 260, 2_000_000, seed, t0)


def _bag(tmp_path, topics, ros2):
    path = tmp_path / ("bag2" if ros2 else "r.bag")
    fw.write_bag(path, topics, ros2)
    return path / "bag2.db3" if ros2 else path


def _arrays(ev, msgtype, ros2, per=400):
    store = typestore(not ros2)
    return [fw.ros_events(store, msgtype, ev[i:i + per], 346, 260, ros2) for i in range(0, len(ev), per)]


def _both(path, **kw):
    return read_both_ways(path, 555, **kw)


@pytest.mark.parametrize("ros2", [False, True])
@pytest.mark.parametrize("msgtype", ARRAYS)
def test_event_arrays(tmp_path, ros2, msgtype):
    ev = _events()
    path = _bag(tmp_path, {"/dvs/events": (msgtype, _arrays(ev, msgtype, ros2))}, ros2)
    np.testing.assert_array_equal(_both(path), ev)
    assert read_sensor_size(path) == (346, 260)
    if ros2:  # the bag's folder reads as its storage file does
        np.testing.assert_array_equal(_both(path.parent), ev)
    lo = ev["t"][0] + 500_000
    np.testing.assert_array_equal(_both(path, start=500_000, duration=400_000),
                                  ev[(ev["t"] >= lo) & (ev["t"] < lo + 400_000)])


@pytest.mark.parametrize("ros2", [False, True])
def test_evt3_packets_carry_the_decoder_state(tmp_path, ros2):
    ev = _events(t0=0)
    data = writers.evt3(ev, geometry=(346, 260), vectors=True)
    body = data[data.index(b"% end\n") + 6:] if b"% end\n" in data else data[len(writers.evt_header("evt3")):]
    cuts = [0, 1000, 3001 * 2, len(body) // 2 + 1, len(body)]  # mid-word and mid-state splits
    store = typestore(not ros2)
    msgs = [fw.ros_packet(store, body[a:b], 346, 260, ros2) for a, b in zip(cuts, cuts[1:])]
    path = _bag(tmp_path, {"/events": ("event_camera_msgs/msg/EventPacket", msgs)}, ros2)
    np.testing.assert_array_equal(_both(path), ev)


def test_topic_choice(tmp_path):
    ev = _events()
    left, right = ev[::2], ev[1::2]
    path = _bag(tmp_path, {"/left": (ARRAYS[0], _arrays(left, ARRAYS[0], False)),
                           "/right": (ARRAYS[1], _arrays(right, ARRAYS[1], False)),
                           "/imu": ("sensor_msgs/msg/Imu", [])}, False)
    with pytest.raises(RecordingError, match=r"several event topics \(/left \(dvs_msgs\), /right "
                                             r"\(prophesee_event_msgs\)\); choose one with topic="):
        read_events(path)
    np.testing.assert_array_equal(read_events(path, topic="/right"), right)
    with pytest.raises(RecordingError, match="no event topic '/imu'"):
        read_events(path, topic="/imu")
    with pytest.raises(ValueError, match="dataset= applies to HDF5 files only"):
        read_events(path, dataset="/x")


@pytest.mark.parametrize("cause", ["count past the message", "cut frame id", "unknown encoding"])
def test_malformed_messages(tmp_path, cause):
    from rosbags.rosbag1 import Writer
    store = typestore(True)
    ev = _events(10)
    path = tmp_path / "bad.bag"
    if cause == "unknown encoding":
        msgtype = "event_camera_msgs/msg/EventPacket"
        raw = store.serialize_ros1(fw.ros_packet(store, b"\0\0", 346, 260, False, encoding="libcaer_cmp"), msgtype)
    else:
        msgtype = ARRAYS[0]
        raw = bytes(store.serialize_ros1(fw.ros_events(store, msgtype, ev, 346, 260, False), msgtype))
        raw = raw[:-20] if cause == "count past the message" else raw[:14]
    with Writer(path) as w:
        conn = w.add_connection("/events", msgtype, typestore=store)
        w.write(conn, 1, raw)
    with pytest.raises(RecordingError, match=rf"{path}: message 0 of topic /events is malformed: it "):
        read_events(path)


def test_ros2_file_outside_a_bag_folder(tmp_path):
    ev = _events(50)
    path = _bag(tmp_path, {"/e": (ARRAYS[0], _arrays(ev, ARRAYS[0], True))}, True)
    lone = tmp_path / "lone.db3"
    shutil.copy(path, lone)
    with pytest.raises(RecordingError, match="not inside a ROS 2 bag"):
        read_events(lone)
