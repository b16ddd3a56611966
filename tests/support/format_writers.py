"""Writers of the formats read through extras and of jAER/cAER files, for tests: AEDAT 2.0 and
3.1 bytes, event text, HDF5 layouts and ROS bags (with rosbags' own writers). Each takes the
documented records and writes what the format's own tools would."""
import struct
from pathlib import Path
from typing import Optional, Sequence, Tuple

import numpy as np

# ---------------------------------------------------------------- AEDAT 2.0


def aedat2_header(chip: Optional[str]) -> bytes:
    lines = [b"#!AER-DAT2.0", b"# This is a raw AE data file - do not edit",
             b"# Data format is int32 address, int32 timestamp (8 bytes total), repeated for each event"]
    if chip:
        lines.append(b"# AEChip: " + chip.encode())
    lines.append(b"# created Mon Jan 01 00:00:00 CET 2018")
    return b"".join(line + b"\r\n" for line in lines)


def dvs128_address(x, y, on) -> np.ndarray:
    x, y, on = (np.asarray(v, np.uint32) for v in (x, y, on))
    return ((127 - x) << 1) | (y << 8) | (1 - on)


def davis_address(x, y, on, width) -> np.ndarray:
    x, y, on = (np.asarray(v, np.int64) for v in (x, y, on))
    return ((y << 22) | ((width - 1 - x) << 12) | (on << 11)).astype(np.uint32)


def aedat2(addresses, times, chip: Optional[str] = "ch.unizh.ini.jaer.chip.retina.DVS128") -> bytes:
    rec = np.empty(len(addresses), [("a", ">u4"), ("t", ">u4")])
    rec["a"], rec["t"] = addresses, np.asarray(times, np.int64) & 0xFFFFFFFF
    return aedat2_header(chip) + rec.tobytes()


# ---------------------------------------------------------------- AEDAT 3.1


def aedat31_header(source: Optional[str] = "DVS128") -> bytes:
    lines = [b"#!AER-DAT3.1", b"#Format: RAW"]
    if source:
        lines.append(b"#Source 1: " + source.encode())
    lines += [b"#Start-Time: 2017-06-05 10:33:46 (TZ-0500)", b"#!END-HEADER"]
    return b"".join(line + b"\r\n" for line in lines)


def packet_header(type_: int, size: int, ts_offset: int, overflow: int, number: int,
                  capacity: Optional[int] = None, valid: Optional[int] = None) -> bytes:
    return struct.pack("<hhiiiiii", type_, 1, size, ts_offset, overflow,
                       number if capacity is None else capacity, number, number if valid is None else valid)


def polarity_packet(x, y, t, on, valid=None, overflow: int = 0) -> bytes:
    x, y, on = (np.asarray(v, np.uint32) for v in (x, y, on))
    ok = np.ones(len(x), np.uint32) if valid is None else np.asarray(valid, np.uint32)
    rec = np.empty(len(x), [("d", "<u4"), ("t", "<i4")])
    rec["d"] = (x << 17) | (y << 2) | (on << 1) | ok
    rec["t"] = np.asarray(t, np.int64) & 0x7FFFFFFF
    return packet_header(1, 8, 4, overflow, len(x), valid=int(ok.sum())) + rec.tobytes()


def special_packet(n: int) -> bytes:
    return packet_header(0, 8, 4, 0, n) + bytes(8 * n)


def frame_packet(n: int, size: int = 37) -> bytes:
    # Frame events need not be a multiple of 4 bytes: the decoder must not assume it.
    return packet_header(2, size, 4, 0, n) + bytes(size * n)


def aedat31(events, source: Optional[str] = "DVS128", per_packet: int = 1000, others: bool = True) -> bytes:
    """The events (in order) in polarity packets of `per_packet`, each followed by a special and
    a frame packet when `others`; each packet's overflow is its events' time >> 31."""
    parts = [aedat31_header(source)]
    for i in range(0, len(events), per_packet):
        e = events[i:i + per_packet]
        t = e["t"].astype(np.int64)
        high = int(t[0] >> 31)
        assert (t >> 31 == high).all(), "one overflow per packet"
        parts.append(polarity_packet(e["x"], e["y"], t, e["p"] > 0, overflow=high))
        if others:
            parts.append(special_packet(2) + frame_packet(1))
    return b"".join(parts)


# ---------------------------------------------------------------- text


def text_lines(events, size: Optional[Tuple[int, int]] = None) -> bytes:
    lines = [] if size is None else [f"{size[0]} {size[1]}"]
    lines += [f"{t / 1e6:.6f} {x} {y} {int(p > 0)}" for x, y, t, p in events.tolist()]
    return ("\n".join(lines) + "\n").encode()


def csv_lines(events, header: Sequence[str] = ("t", "x", "y", "p")) -> bytes:
    cols = {"t": events["t"], "x": events["x"], "y": events["y"], "p": events["p"],
            "ts": events["t"], "polarity": (events["p"] > 0).astype(int), "extra": np.zeros(len(events), int)}
    rows = [",".join(header)]
    rows += [",".join(str(v) for v in row) for row in zip(*(cols[h].tolist() for h in header))]
    return ("\n".join(rows) + "\n").encode()


# ---------------------------------------------------------------- ROS bags


def ros_events(store, msgtype: str, events, width: int, height: int, ros2: bool):
    """One EventArray message of the records (dvs_msgs or prophesee_event_msgs)."""
    pkg = msgtype.split("/")[0]
    Event, Array = store.types[f"{pkg}/msg/Event"], store.types[msgtype]
    Time = store.types["builtin_interfaces/msg/Time"]
    Header = store.types["std_msgs/msg/Header"]
    evs = [Event(x=int(x), y=int(y), ts=Time(sec=int(t) // 1_000_000, nanosec=int(t) % 1_000_000 * 1000),
                 polarity=bool(p > 0)) for x, y, t, p in events.tolist()]
    first = int(events["t"][0]) if len(events) else 0
    header = Header(stamp=Time(sec=first // 1_000_000, nanosec=0), frame_id="cam0") if ros2 else \
        Header(seq=0, stamp=Time(sec=first // 1_000_000, nanosec=0), frame_id="cam0")
    return Array(header=header, height=height, width=width, events=evs)


def ros_packet(store, data: bytes, width: int, height: int, ros2: bool, encoding: str = "evt3"):
    Packet = store.types["event_camera_msgs/msg/EventPacket"]
    Time = store.types["builtin_interfaces/msg/Time"]
    Header = store.types["std_msgs/msg/Header"]
    header = Header(stamp=Time(sec=0, nanosec=0), frame_id="cam0") if ros2 else \
        Header(seq=0, stamp=Time(sec=0, nanosec=0), frame_id="cam0")
    return Packet(header=header, height=height, width=width, seq=0, time_base=0, encoding=encoding,
                  is_bigendian=False, events=np.frombuffer(data, np.uint8))


def write_bag(path: Path, topics, ros2: bool) -> Path:
    """A bag of `topics`: {topic: (msgtype, [message, ...])}; ROS 2 in the folder `path`."""
    from rosbags.rosbag1 import Writer as Writer1
    from rosbags.rosbag2 import Writer as Writer2
    from zelq.viz.recordings._rosbag import typestore
    store = typestore(not ros2)
    writer = Writer2(path, version=8) if ros2 else Writer1(path)
    with writer:
        for topic, (msgtype, messages) in topics.items():
            conn = writer.add_connection(topic, msgtype, typestore=store)
            for i, msg in enumerate(messages):
                raw = store.serialize_cdr(msg, msgtype) if ros2 else store.serialize_ros1(msg, msgtype)
                writer.write(conn, 1000 + i, raw)
    return path
