"""jAER and cAER recordings, AEDAT 2.0 and 3.1 (.aedat, told apart by the `#!AER-DAT` version
line), decoded by the native decoders (aedat.hpp) like the other binary formats.

- 2.0: big-endian (address, time) records after '#' header lines. The address layout is the
  header's `AEChip`: a DVS128 / Tmpdiff128 or a DAVIS chip; without one, the largest address
  decides (addresses past 16 bits are DAVIS). The sensor is the chip's, else the largest
  coordinates'.
- 3.1: packets after a header that ends with '#!END-HEADER'; the sensor is the header's
  source (DVS128, DAVIS240, DAVIS346, DVXplorer), else unknown.
Events of other kinds (APS frames, IMU samples, special and external events) are skipped and
counted; `skipped()` says how many, for the page's note.
"""
from __future__ import annotations

import mmap
import re
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _native_formats as native
from ._problems import RecordingError, fail
from ._registry import File, Reader

MAGIC = re.compile(rb"#!AER-DAT(\d+\.\d+)\r?\n")
_HEADER_LIMIT = 1 << 20
_SCAN = 16 << 20
# Chips by a name their header gives (upper case, without spaces), with their sensor sizes.
_CHIPS = (("DVS128", (128, 128)), ("TMPDIFF128", (128, 128)), ("DAVIS240", (240, 180)),
          ("DAVIS346", (346, 260)), ("DVXPLORER", (640, 480)))
_SKIPPED = (("skip_special", "special and external-input events"), ("skip_frame", "APS frames and samples"),
            ("skip_imu", "IMU samples"), ("skip_other", "events of other types"),
            ("skip_invalid", "polarity events marked invalid"))


def version(head: bytes) -> Optional[str]:
    m = MAGIC.match(head)
    return m.group(1).decode("ascii") if m else None


def _signature(file: File) -> bool:
    return version(file.head) in ("2.0", "3.1")


def _mismatch(file: File, kind: Optional[str]) -> None:
    v = version(file.head)
    if v == "4.0":
        raise fail(file.path, "is an AEDAT 4.0 file: name it .aedat4 to read it")
    if v is not None:
        raise fail(file.path, f"is AEDAT {v}, which is not read (AEDAT 2.0, 3.1 and 4.0 are)")


def _header(p: Path, head: bytes, size: int) -> Tuple[str, List[bytes], int]:
    """(version, header lines without their line ends, offset of the data)."""
    v = version(head)
    if v is None:
        raise fail(p, "not an AEDAT file (it does not begin with '#!AER-DAT')")
    if len(head) < min(size, _HEADER_LIMIT):
        with open(p, "rb") as f:
            head = f.read(min(size, _HEADER_LIMIT))
    lines: List[bytes] = []
    pos = 0
    while pos < len(head):
        if v == "2.0" and head[pos:pos + 1] != b"#":
            return v, lines, pos
        nl = head.find(b"\n", pos)
        if nl < 0:
            break
        line = head[pos:nl].rstrip(b"\r")
        lines.append(line)
        pos = nl + 1
        if v != "2.0" and line == b"#!END-HEADER":
            return v, lines, pos
    if len(head) >= _HEADER_LIMIT:
        raise fail(p, f"its header runs past {_HEADER_LIMIT:,} bytes")
    if v == "2.0":
        if nl < 0 and pos < len(head):
            raise fail(p, "truncated: the file ends inside its header")
        return v, lines, pos
    raise fail(p, "truncated: the file ends inside its header (no '#!END-HEADER' line)")


def _chip(text: bytes) -> Optional[Tuple[str, Optional[Tuple[int, int]]]]:
    """("DVS128" or "DAVIS", its size if known) of a chip name; None for a chip of neither kind."""
    name = text.decode("ascii", "replace").upper().replace(" ", "")
    for key, size in _CHIPS:
        if key in name:
            return ("DVS128" if size == (128, 128) and "DAVIS" not in name else "DAVIS"), size
    if "DAVIS" in name:
        return "DAVIS", None
    return None


def _scan_davis(p: Path, offset: int, size: int) -> Tuple[int, int, int]:
    """(largest address, largest x field and y of the DVS events or -1) over the records, a
    slice of the file at a time."""
    top, x_top, y_top = -1, -1, -1
    end = offset + (size - offset) // 8 * 8
    if end <= offset:
        return top, x_top, y_top
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        end = min(end, offset + (len(mm) - offset) // 8 * 8)
        for at in range(offset, end, _SCAN):
            addr = np.frombuffer(mm, ">u4", (min(at + _SCAN, end) - at) // 4, at)[0::2]
            top = max(top, int(addr.max()))
            dvs = addr[((addr >> 31) == 0) & (((addr >> 10) & 3) != 1)]
            if len(dvs):
                x_top = max(x_top, int(((dvs >> 12) & 1023).max()))
                y_top = max(y_top, int(((dvs >> 22) & 511).max()))
            del addr, dvs
    return top, x_top, y_top


def _layout(name: str, offset: int, sensor: Optional[Tuple[int, int]], **slots: int) -> native.Layout:
    return native.Layout(native.decoder_format(name), offset, 0, sensor, slots)


def layout(file: File) -> native.Layout:
    """The decoder, data offset and sensor of an AEDAT 2.0 or 3.1 file."""
    p, head, size = file.path, file.head, file.size
    v, lines, offset = _header(p, head, size)
    if v == "3.1":
        sensor = None
        for line in lines:
            m = re.match(rb"#\s*-?Source\s+\d+\s*:\s*(.*)", line)
            if m and (chip := _chip(m.group(1))) is not None and chip[1] is not None:
                sensor = chip[1]
                break
        return _layout("AEDAT 3.1", offset, sensor)
    chip = None
    for line in lines:
        m = re.match(rb"#\s*AEChip\s*:\s*(.*)", line)
        if m:
            chip = _chip(m.group(1).strip())
            break
    if chip is None or (chip[0] == "DAVIS" and chip[1] is None):
        top, x_top, y_top = _scan_davis(p, offset, size)
        if chip is None and top <= 0xFFFF:
            chip = ("DVS128", (128, 128))
        elif x_top < 0:
            chip = ("DAVIS", (1, 1))
        else:
            chip = ("DAVIS", (x_top + 1, y_top + 1))
    kind, sensor = chip
    assert sensor is not None
    if kind == "DVS128":
        return _layout("AEDAT 2.0 DVS128", offset, (128, 128))
    return _layout("AEDAT 2.0 DAVIS", offset, sensor, mirror=sensor[0])


def skipped(state: Any) -> str:
    """What a read skipped, for a note ("" where nothing was)."""
    parts = [f"{state[slot]:,} {what}" for slot, what in _SKIPPED if state[slot]]
    return ("skipped " + ", ".join(parts)) if parts else ""


def packet_error(p: Path, state: Any, at: int) -> RecordingError:
    """The message of a 3.1 packet header that is no packet's, at byte `at`."""
    with open(p, "rb") as f:
        f.seek(at)
        raw = f.read(28)
    fields = np.frombuffer(raw.ljust(28, b"\0"), "<i4")
    size, ts_offset, number, valid = int(fields[1]), int(fields[2]), int(fields[5]), int(fields[6])
    why = {1: f"its eventSize ({size}) is not an event's size",
           2: f"its eventNumber ({number}) and eventValid ({valid}) are no count of events",
           3: f"its eventTSOffset ({ts_offset}) lies outside its {size}-byte events"}.get(state["error_word"], "")
    return fail(p, f"corrupt data: the packet header at byte {at} is no packet's: {why}")


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    return layout(file).sensor


native.ERROR_TEXTS["bad_packet"] = packet_error
AEDAT = native.decoded(".aedat", "AEDAT 2.0/3.1", layout, signature=_signature, mismatch=_mismatch,
                       sensor_size=_sensor_size)
