"""What the machine offers the package's Python side: its cores and the memory one file may take."""
from __future__ import annotations

import os


def cores() -> int:
    """The cores this process may run on (its affinity where the platform tells it)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def memory_budget() -> int:
    """Bytes the arrays of one file may take: the machine's memory, or less under a limit."""
    budget = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    try:
        import resource
        soft = resource.getrlimit(resource.RLIMIT_AS)[0]
        if soft != resource.RLIM_INFINITY:
            budget = min(budget, soft // 2)
    except (ImportError, ValueError, OSError):
        pass
    return budget
