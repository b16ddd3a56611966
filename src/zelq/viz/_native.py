"""Where the Python side finds the native engines beyond the four public modules.

Every caller reaches them through these accessors, so a private module can move
without touching its callers. Each loads on first use: importing the package stays light.
"""
from __future__ import annotations

import functools
import importlib
from types import ModuleType


@functools.cache
def _load(name: str) -> ModuleType:
    return importlib.import_module(f"zelq.viz.{name}")


def events() -> ModuleType:
    """Decoders, time seek, the streaming engine and recording summaries."""
    return _load("_events")


def comparison() -> ModuleType:
    """Tensor differences between two graphs."""
    return _load("_comparison")


def activity() -> ModuleType:
    """Activity summaries and node measures."""
    return _load("_activity")


def inspection() -> ModuleType:
    """Noise filters, the local hot-pixel rule, health checks and box matching."""
    return _load("_inspect")
