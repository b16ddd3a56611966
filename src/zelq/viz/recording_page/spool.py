"""The frame spool: the base64 PNGs a page pass accepted, in order, each after one space (as
the page separates them), so that a block of frames is one range of the spool's bytes and is
copied into the page file by the kernel, without passing through Python."""
from __future__ import annotations

import errno
import os
from typing import Any, List, Sequence, Tuple

# Where the kernel will not copy between these two files; the bytes then go through a buffer.
_NO_KERNEL_COPY = {errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EBADF,
                   errno.EPERM, errno.ETXTBSY}
_BUFFER_BYTES = 1 << 20


def text_offsets(accepted: Sequence[Tuple[int, int]]) -> List[int]:
    """Where each accepted frame's text starts in the spool, from its (segment, length)."""
    where, at = [], 0
    for _, length in accepted:
        where.append(at + 1)
        at += length + 1
    return where


def block_range(where: Sequence[int], lengths: Sequence[int], a: int, b: int) -> Tuple[int, int]:
    """(start, length) of the spool bytes " text_a ... text_(b-1)" of images a to b - 1 of one
    list: a list's images are accepted one after another, so their texts are adjacent."""
    start = where[a] - 1
    return start, where[b - 1] + lengths[b - 1] - start


def copy_range(spool: Any, out: Any, start: int, count: int) -> int:
    """Appends spool's bytes [start, start + count) to out (both open binary files); returns
    how many there were (fewer only where the spool ends early)."""
    out.flush()
    pos = out.tell()
    done = _copy_in_kernel(spool.fileno(), out.fileno(), start, pos, count)
    out.seek(pos + done)
    if done < count:
        spool.seek(start + done)
        buffer = bytearray(min(_BUFFER_BYTES, count - done))
        with memoryview(buffer) as view:
            while done < count:
                got = spool.readinto(view[:min(len(view), count - done)])
                if not got:
                    break
                out.write(view[:got])
                done += got
    return done


def _copy_in_kernel(src: int, dst: int, start: int, pos: int, count: int) -> int:
    """How many of the bytes the kernel copied: all of them, or fewer where it cannot."""
    copy = getattr(os, "copy_file_range", None)
    done = 0
    while copy is not None and done < count:
        try:
            n = copy(src, dst, count - done, start + done, pos + done)
        except OSError as e:
            if e.errno in _NO_KERNEL_COPY:
                break
            raise
        if not n:
            break
        done += n
    return done
