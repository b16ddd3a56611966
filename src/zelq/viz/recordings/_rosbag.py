"""ROS 1 bags (.bag) and ROS 2 bags (a folder of .db3 or .mcap files and metadata.yaml), through
`rosbags` (the extra `ros`), with topics of dvs_msgs/EventArray, prophesee_event_msgs/EventArray
or event_camera_msgs/EventPacket.

Messages are read one at a time. An EventArray's events are taken from the message's bytes as
one NumPy view (times: seconds × 10⁶ + nanoseconds ÷ 1000); an EventPacket's EVT 3.0 bytes go
through the native EVT decoder, whose state carries from message to message, so its times are
the stream's own. The sensor size is the messages' width and height.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from .. import _native
from . import _pieces
from ._headers import checked_sensor
from ._problems import fail
from ._registry import RECORD, File, Reader, Window

ARRAY_TYPES = ("dvs_msgs/msg/EventArray", "prophesee_event_msgs/msg/EventArray")
PACKET_TYPE = "event_camera_msgs/msg/EventPacket"
EVENT_TYPES = ARRAY_TYPES + (PACKET_TYPE,)

DEFINITIONS = {
    "dvs_msgs/msg/Event": "uint16 x\nuint16 y\nbuiltin_interfaces/Time ts\nbool polarity\n",
    "dvs_msgs/msg/EventArray": "std_msgs/Header header\nuint32 height\nuint32 width\ndvs_msgs/Event[] events\n",
    "prophesee_event_msgs/msg/Event": "uint16 x\nuint16 y\nbuiltin_interfaces/Time ts\nbool polarity\n",
    "prophesee_event_msgs/msg/EventArray":
        "std_msgs/Header header\nuint32 height\nuint32 width\nprophesee_event_msgs/Event[] events\n",
    "event_camera_msgs/msg/EventPacket":
        "std_msgs/Header header\nuint32 height\nuint32 width\nuint64 seq\nuint64 time_base\nstring encoding\n"
        "bool is_bigendian\nuint8[] events\n",
}
# EVT encodings of an EventPacket ("mono" is how early drivers named EVT 3.0).
_ENCODINGS = {"evt3": "EVT 3.0", "mono": "EVT 3.0", "evt2": "EVT 2.0", "evt21": "EVT 2.1", "evt2.1": "EVT 2.1"}
_DECODE_RECORDS = 1 << 16

# One event as ROS 1 serializes it: packed.
_ROS1_EVENT = np.dtype([("x", "<u2"), ("y", "<u2"), ("sec", "<u4"), ("nsec", "<u4"), ("p", "u1")])
# As CDR aligns it: every event after the first starts at 2 mod 4, its time at 6.
_CDR_EVENT = np.dtype({"names": ["x", "y", "sec", "nsec", "p"], "formats": ["<u2", "<u2", "<i4", "<u4", "u1"],
                       "offsets": [0, 2, 6, 10, 14], "itemsize": 16})
_CDR_FIRST = np.dtype({"names": ["x", "y", "sec", "nsec", "p"], "formats": ["<u2", "<u2", "<i4", "<u4", "u1"],
                       "offsets": [0, 2, 4, 8, 12], "itemsize": 13})


def need_rosbags() -> Any:
    try:
        import rosbags.highlevel  # noqa: F401
        import rosbags.typesys  # noqa: F401
    except ImportError:
        raise ImportError("reading ROS bags needs the rosbags package: pip install zelqviz[ros]") from None
    import rosbags
    return rosbags


def typestore(ros1: bool = False) -> Any:
    """A type store of ROS 1 or ROS 2 that knows the three event messages."""
    need_rosbags()
    from rosbags.typesys import Stores, get_types_from_msg, get_typestore
    store = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.ROS2_HUMBLE)
    types: Dict[str, Any] = {}
    for name, text in DEFINITIONS.items():
        types.update(get_types_from_msg(text, name))
    store.register(types)
    return store


def _bag_paths(p: Path) -> List[Path]:
    if p.suffix.lower() == ".bag":
        return [p]
    if not (p.parent / "metadata.yaml").is_file():
        raise fail(p, "is not inside a ROS 2 bag: its folder holds no metadata.yaml")
    return [p.parent]


class _Bag:
    """An open bag and its chosen event topic."""

    def __init__(self, p: Path, topic: Optional[str]) -> None:
        need_rosbags()
        from rosbags.highlevel import AnyReader
        self.path = p
        try:
            self.reader = AnyReader(_bag_paths(p), default_typestore=typestore(p.suffix.lower() == ".bag"))
            self.reader.open()
        except Exception as e:  # rosbags raises its own errors, and others for a damaged file
            if isinstance(e, (ImportError, MemoryError)):
                raise
            raise fail(p, f"cannot be read as a ROS bag ({e})") from None
        self.ros2 = bool(self.reader.is2)
        topics: Dict[str, str] = {}
        for c in self.reader.connections:
            if c.msgtype in EVENT_TYPES:
                topics.setdefault(c.topic, c.msgtype)
        listed = ", ".join(f"{t} ({m.split('/')[0]})" for t, m in topics.items()) or "none"
        if topic is None:
            if not topics:
                self.close()
                raise fail(p, "holds no topic of event messages (dvs_msgs/EventArray, prophesee_event_msgs/EventArray "
                              "or event_camera_msgs/EventPacket)")
            if len(topics) > 1:
                self.close()
                raise fail(p, f"holds several event topics ({listed}); choose one with topic= "
                              "(on the command line, --topic NAME)")
            topic = next(iter(topics))
        elif topic not in topics:
            self.close()
            raise fail(p, f"holds no event topic '{topic}' (its event topics: {listed})")
        self.topic, self.msgtype = topic, topics[topic]
        self.connections = [c for c in self.reader.connections if c.topic == topic]

    def close(self) -> None:
        self.reader.close()

    def raw(self) -> Iterator[Tuple[int, bytes]]:
        for i, (_, _, data) in enumerate(self.reader.messages(connections=self.connections)):
            yield i, data


class _Malformed(Exception):
    pass


def _string_end(buf: memoryview, at: int, cdr: bool) -> int:
    """The offset after a serialized string starting at `at` (its length first)."""
    if cdr:
        at = (at + 3) & ~3
    if at + 4 > len(buf):
        raise _Malformed("ends inside a string")
    n = int.from_bytes(buf[at:at + 4], "little")
    if at + 4 + n > len(buf):
        raise _Malformed(f"a string claims {n:,} bytes past its end")
    return at + 4 + n


def _array_events(data: bytes, cdr: bool) -> Tuple[int, int, np.ndarray]:
    """(width, height, events as records) of one EventArray's bytes."""
    if cdr:
        if len(data) < 4 or data[1] not in (0, 1):
            raise _Malformed("has no CDR encapsulation header")
        if data[1] == 0:
            raise _Malformed("is big-endian CDR")
        buf = memoryview(data)[4:]
        at = _string_end(buf, 8, True)          # stamp (sec, nanosec), then frame_id
        at = (at + 3) & ~3
    else:
        buf = memoryview(data)
        at = _string_end(buf, 12, False)        # seq, stamp, then frame_id
    if at + 12 > len(buf):
        raise _Malformed("ends before its sizes")
    height, width, n = (int.from_bytes(buf[at + 4 * k:at + 4 * k + 4], "little") for k in range(3))
    at += 12
    room = len(buf) - at
    need = 13 * n if not cdr else (0 if n == 0 else 13 + 16 * (n - 1) - 1)
    if need > room:
        raise _Malformed(f"claims {n:,} events in {room:,} bytes")
    if not cdr:
        ev = np.frombuffer(buf, _ROS1_EVENT, n, at)
    else:
        ev = np.empty(n, _ROS1_EVENT)
        if n:
            first = np.frombuffer(bytes(buf[at:at + 13]), _CDR_FIRST, 1)
            rest = np.frombuffer(bytes(buf[at + 14:]) + b"\0" * 16, _CDR_EVENT, n - 1)
            for name in _ROS1_EVENT.names or ():
                ev[name][:1] = first[name]
                ev[name][1:] = rest[name]
    t = ev["sec"].astype(np.int64) * 1_000_000 + ev["nsec"].astype(np.int64) // 1000
    return width, height, _pieces.records(ev["x"], ev["y"], t, ev["p"])


class _Packets:
    """EventPacket messages decoded by the native EVT decoder, its state carried between them."""

    def __init__(self, store: Any, ros2: bool) -> None:
        self.store, self.ros2 = store, ros2
        self.state: Any = None
        self.fmt: Any = None
        self.rest = b""
        self.out = np.empty(_DECODE_RECORDS + 32, RECORD)

    def message(self, data: bytes) -> Tuple[int, int, np.ndarray]:
        from ._native_formats import State, decoder_format
        try:
            msg = self.store.deserialize_cdr(data, PACKET_TYPE) if self.ros2 else \
                self.store.deserialize_ros1(data, PACKET_TYPE)
        except Exception as e:
            raise _Malformed(f"cannot be decoded ({e})") from None
        encoding = str(msg.encoding).lower()
        if encoding not in _ENCODINGS:
            raise _Malformed(f"holds events encoded as '{msg.encoding}' (evt3 and evt2 are read)")
        if self.fmt is None:
            self.fmt = decoder_format(_ENCODINGS[encoding])
            self.state = State(drop_outside=1)
        elif decoder_format(_ENCODINGS[encoding]).number != self.fmt.number:
            raise _Malformed(f"switches the encoding to '{msg.encoding}'")
        data_bytes = self.rest + np.asarray(msg.events, np.uint8).tobytes()
        parts = []
        used_total = 0
        while True:
            count, used = _native.events()._decode_events(self.fmt.number, data_bytes[used_total:], self.state.array,
                                                          self.out, 0)
            if self.state["error"]:
                raise _Malformed(f"holds a word of unknown type at byte {used_total + self.state['error_at']}")
            used_total += used
            parts.append(self.out[:count].copy())
            if count < _DECODE_RECORDS or used == 0:
                break
        self.rest = data_bytes[used_total:]
        return int(msg.width), int(msg.height), np.concatenate(parts) if len(parts) > 1 else parts[0]


def _events_of(bag: _Bag) -> Iterator[Tuple[int, int, np.ndarray]]:
    packets = _Packets(typestore(not bag.ros2), bag.ros2) if bag.msgtype == PACKET_TYPE else None
    for i, data in bag.raw():
        try:
            yield packets.message(data) if packets is not None else _array_events(data, bag.ros2)
        except _Malformed as e:
            raise fail(bag.path, f"message {i} of topic {bag.topic} is malformed: it {e}") from None


def _pieces_of(p: Path, topic: Optional[str]) -> _pieces.Pieces:
    def pieces(lo: Optional[int]) -> Iterator[np.ndarray]:
        bag = _Bag(p, topic)
        try:
            for _, _, rec in _events_of(bag):
                yield rec
        finally:
            bag.close()
        return None
    return pieces  # type: ignore[return-value]


def sensor_of(p: Path, topic: Optional[str]) -> Optional[Tuple[int, int]]:
    """The width and height of the topic's first message that gives them; None where none does."""
    bag = _Bag(p, topic)
    try:
        for width, height, _ in _events_of(bag):
            if width and height:
                return checked_sensor(p, width, height, "width/height")
    finally:
        bag.close()
    return None


def _opened(file: File) -> _pieces.PieceFile:
    topic = (file.options or {}).get("topic")
    sensor = sensor_of(file.path, topic)
    return _pieces.PieceFile(file.path, _pieces_of(file.path, topic), sensor, file.size, unit="message",
                             sensor_text=f"the {sensor[0]} × {sensor[1]} sensor its messages declare" if sensor else "")


def _read(file: File, window: Window) -> np.ndarray:
    return _pieces.read(_opened(file), window)


def _iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    return _pieces.iterate(_opened(file), window, chunk)


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    return sensor_of(file.path, (file.options or {}).get("topic"))


def _source(file: File, outside: str) -> Any:
    return _pieces.source(_opened(file), FORMAT_NAMES[file.ext], outside)


def _is_bag(file: File) -> bool:
    return file.head.startswith(b"#ROSBAG V2.0\n")


def _is_db3(file: File) -> bool:
    return file.head.startswith(b"SQLite format 3\x00")


def _is_mcap(file: File) -> bool:
    return file.head.startswith(b"\x89MCAP0\r\n")


FORMAT_NAMES = {".bag": "ROS 1 bag", ".db3": "ROS 2 bag", ".mcap": "ROS 2 bag"}


def _reader(ext: str, signature: Any) -> Reader:
    return Reader(ext, FORMAT_NAMES[ext], _read, signature=signature, sensor_size=_sensor_size, iterate=_iterate,
                  source=_source, options=("topic",))


BAG, DB3, MCAP = _reader(".bag", _is_bag), _reader(".db3", _is_db3), _reader(".mcap", _is_mcap)

__all__ = ["BAG", "DB3", "MCAP", "typestore", "DEFINITIONS", "os"]
