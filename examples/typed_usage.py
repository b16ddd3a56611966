"""The public API used with full type annotations; `mypy --strict` checks this file.

    python examples/typed_usage.py [output_dir]

Writes a graph page and a spike page into output_dir (a new temporary
directory by default) and prints their paths.
"""
from __future__ import annotations

import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from zelq.viz import __version__
from zelq.viz.encode import decode_array, encode_array, encode_value, format_shape, format_size
from zelq.viz.notebook import show
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict
from zelq.viz.spikes import (
    events_to_frames,
    events_to_grid,
    events_to_raster,
    export_events_html,
    serialize_events,
)


@dataclass
class Linear:
    weight: NDArray[Any]
    input_type: Dict[str, Tuple[int, ...]] = field(default_factory=dict)
    output_type: Dict[str, Tuple[int, ...]] = field(default_factory=dict)


@dataclass
class TinyGraph:
    """Anything with `nodes`, `edges` and `metadata` will do as a graph."""

    nodes: Dict[str, Any]
    edges: List[Tuple[str, str]]
    metadata: Dict[str, Any]


def graph_page(out: Path) -> Path:
    weight = np.ones((4, 8), dtype=np.float32)
    graph = TinyGraph(
        nodes={"fc": Linear(weight, {"input": (8,)}, {"output": (4,)})},
        edges=[],
        metadata={"name": "tiny"},
    )
    document: Dict[str, Any] = graph_to_dict(graph, detect_patterns=False)
    page: str = render_html(document, title="Tiny graph", width=800, height=600)
    path = out / "graph.html"
    path.write_text(page, encoding="utf-8")
    return path


def event_page(out: Path) -> Path:
    events = np.zeros(1000, dtype=[("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    events["x"] = np.arange(1000) % 32
    events["y"] = np.arange(1000) // 32
    events["t"] = np.arange(1000) * 10
    events["p"] = np.arange(1000) % 2
    size: Optional[Tuple[int, int]] = (32, 32)
    frames: NDArray[Any] = events_to_frames(events, size, n_frames=4, use_tonic=False)
    grid: NDArray[Any] = events_to_grid(events, sensor_size=size, n_bins=3)
    raster: NDArray[Any] = events_to_raster(events, n_neurons=None, time_bins=50)
    print(frames.shape, grid.shape, raster.shape)
    document: Dict[str, Any] = serialize_events(events, size, n_frames=4)
    print(sorted(document))
    page = Path(export_events_html(events, out / "events.html", sensor_size=size, title="Events", n_frames=4))
    inline = show(page, height=500, theme="dark")  # what a notebook cell displays
    print(inline, len(inline._repr_mimebundle_()["text/html"]))
    return page


def encoding() -> None:
    record: Dict[str, Any] = encode_array(np.arange(6, dtype=np.int16).reshape(2, 3))
    back: NDArray[Any] = decode_array(record)
    assert back.tolist() == [[0, 1, 2], [3, 4, 5]]
    print(encode_value({"gain": np.float32(0.5)}), format_shape(back.shape), format_size(1536))


def main(argv: List[str]) -> int:
    out = Path(argv[1]) if len(argv) > 1 else Path(tempfile.mkdtemp(prefix="zelqviz-typed-"))
    print("zelqviz", __version__)
    encoding()
    print(graph_page(out))
    print(event_page(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
