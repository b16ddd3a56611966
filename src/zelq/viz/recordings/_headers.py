"""The '%' headers of RAW and DAT files, and the one check of a sensor size a header gives."""
from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Dict, Tuple

from ._problems import fail

# The widest or tallest sensor taken from a header: no supported format addresses more.
MAX_SENSOR_SIDE = 16384
INT64_MAX = (1 << 63) - 1
EVT_LINE = re.compile(rb"^% evt (\d\.\d)\s*$", re.M)
_FORMAT_LINE = re.compile(rb"^% format (\w+)(;[^\r\n]*)?", re.M)
_GEOMETRY = re.compile(rb"^% geometry ([^\r\n]*)", re.M)
_T0_LINE = re.compile(rb"^% t0(?:[ \t]([^\r\n]*))?\r?$", re.M)
_DAT_SIZE = re.compile(rb"^% (Width|Height) ([^\r\n]*)", re.M)
DAT_VERSION = re.compile(rb"^% Version (\d+)", re.M)


def checked_sensor(p: Path, width: Any, height: Any, where: str) -> Tuple[int, int]:
    """A header's sensor size, refused unless both sides are whole numbers in 1..MAX_SENSOR_SIDE."""
    text = f"{width}x{height}" if not isinstance(width, bytes) else \
        f"{width.decode('ascii', 'replace')}x{height.decode('ascii', 'replace')}"
    try:
        w, h = int(width), int(height)
    except ValueError:
        raise fail(p, f"the header's sensor size ({where} {text}) is not two whole numbers") from None
    if not (0 < w <= MAX_SENSOR_SIDE and 0 < h <= MAX_SENSOR_SIDE):
        raise fail(p, f"the header's sensor size ({where} {text}) is not a sensor: "
                      f"each side must be 1 to {MAX_SENSOR_SIDE}")
    return w, h


def _header_t0(p: Path, header: bytes) -> int:
    m = _T0_LINE.search(header)
    if not m:
        return 0
    text = (m.group(1) or b"").strip()
    if not re.fullmatch(rb"[+-]?\d{1,25}", text):
        raise fail(p, f"the header's '% t0' ({text.decode('ascii', 'replace')!r}) is not a whole number of µs")
    t0 = int(text)
    if not -INT64_MAX <= t0 <= INT64_MAX:
        raise fail(p, f"the header's '% t0 {t0}' is beyond 64-bit times")
    return t0


def header_info(p: Path, ext: str, head: bytes, end: int) -> Dict[str, Any]:
    """Data offset, decoder format, t0 and sensor size from a RAW or DAT header: the first
    `end` bytes of `head` (its '%' lines)."""
    header = head[:end]
    size = None
    g = _GEOMETRY.search(header)
    if g:
        dims = g.group(1).strip().split(b"x")
        if len(dims) != 2:
            raise fail(p, f"the header's '% geometry {g.group(1).decode('ascii', 'replace')}' is not WIDTHxHEIGHT")
        size = checked_sensor(p, dims[0], dims[1], "geometry")
    fm = _FORMAT_LINE.search(header)
    if fm and fm.group(2):
        opts = dict(kv.split(b"=", 1) for kv in fm.group(2).split(b";") if b"=" in kv)
        if b"width" in opts and b"height" in opts:
            given = checked_sensor(p, opts[b"width"], opts[b"height"], "format")
            if size is not None and size != given:
                raise fail(p, f"the header gives two sensor sizes: geometry {size[0]}x{size[1]} "
                              f"and format width={given[0]};height={given[1]}")
            size = given
    info: Dict[str, Any] = {"offset": end, "t0": _header_t0(p, header), "sensor_size": size}
    if ext == ".raw":
        evt = EVT_LINE.search(header)
        version = evt.group(1) if evt else None
        if version is None and fm:
            version = {b"EVT2": b"2.0", b"EVT21": b"2.1", b"EVT3": b"3.0"}.get(fm.group(1))
        fmt = None if version is None else {b"2.0": "EVT 2.0", b"2.1": "EVT 2.1", b"3.0": "EVT 3.0"}.get(version)
        if fmt is None:
            raise fail(p, f"unsupported event encoding '{(version or b'?').decode('ascii', 'replace')}' "
                          "(EVT 2.0, 2.1 and 3.0 are read)")
        info["format"] = fmt
        return info
    dims = dict(_DAT_SIZE.findall(header))
    if size is None and b"Width" in dims and b"Height" in dims:
        info["sensor_size"] = checked_sensor(p, dims[b"Width"].strip(), dims[b"Height"].strip(), "Width/Height")
    version = DAT_VERSION.search(header)
    type_size = head[end:end + 2]
    # Version 2 and later put the event type and size after the header.
    if (version and int(version.group(1)) >= 2) or (len(type_size) == 2 and type_size[1] == 8
                                                     and type_size[0] in (0x00, 0x0C)):
        if len(type_size) < 2:
            raise fail(p, "truncated: the file ends inside the DAT header")
        if type_size[0] not in (0x00, 0x0C) or type_size[1] != 8:
            raise fail(p, f"unsupported DAT event type 0x{type_size[0]:02X} of {type_size[1]} bytes "
                          "(CD and 2D events of 8 bytes are read)")
        info["offset"] = end + 2
    info["format"] = "DAT"
    return info
