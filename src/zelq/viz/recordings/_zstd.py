"""ZSTD frames (AEDAT 4 packets that camera software wrote with ZSTD): by the reference
library, libzstd, where the system has it (the native reader loads it; its decoder is 1.5x
the one the zstandard package bundles), else through the zstandard package, the extra
`aedat`, a well-kept binding with wheels for every platform we build for. A frame
decompresses to at most a limit, whether or not its header states its size, and its faults
are told apart as the native reader names them."""
from __future__ import annotations

from typing import Any, Callable, Optional, Union

from .. import _native

EXTRA = "ZSTD needs zstandard: pip install zelqviz[aedat]"


def packet_decoder() -> Union[str, Callable[[Any, int], bytes], None]:
    """What the native packet reader is given to decompress ZSTD packets: "libzstd" (its own
    use of the library, on any of its threads), else unpacker(); None: neither is here."""
    return "libzstd" if _native.events()._ZSTD_LIBRARY else unpacker()


def frame_unpacker() -> Optional[Callable[[Any, int], bytes]]:
    """unpack(data, limit), as unpacker() gives it, by libzstd where the system has it."""
    return _native.events()._zstd_frame if _native.events()._ZSTD_LIBRARY else unpacker()


def unpacker() -> Optional[Callable[[Any, int], bytes]]:
    """unpack(data, limit): the content of the ZSTD frame at the start of data (bytes after it
    ignored), at most limit bytes; ValueError 'ends early', 'too large', or the library's words
    for damage. None without zstandard."""
    try:
        import zstandard
    except ImportError:
        return None
    dctx = zstandard.ZstdDecompressor()

    def measured(data: Any, limit: int) -> str:
        """What a frame that did not decompress whole is: longer than limit, or cut short."""
        try:
            with dctx.stream_reader(data, read_across_frames=False) as reader:
                return "too large" if len(reader.read(limit + 1)) > limit else "ends early"
        except zstandard.ZstdError as e:
            return str(e)

    def unpack(data: Any, limit: int) -> bytes:
        try:
            size = zstandard.frame_content_size(data)
        except zstandard.ZstdError as e:
            try:
                cut = len(data) < zstandard.frame_header_size(data)
            except zstandard.ZstdError:
                cut = len(data) < 5  # not even the magic and the frame's first byte
            raise ValueError("ends early" if cut else str(e)) from None
        if size > limit:
            raise ValueError("too large")
        try:
            # A stated size is what the library allocates; without one, no more than limit.
            return dctx.decompress(data) if size >= 0 else dctx.decompress(data, max_output_size=limit)
        except zstandard.ZstdError as e:
            if "did not decompress full frame" in str(e):
                raise ValueError("ends early" if size >= 0 else measured(data, limit)) from None
            raise ValueError(str(e)) from None

    return unpack
