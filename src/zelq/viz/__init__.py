"""zelq.viz: standalone HTML pages for spiking-network graphs and event recordings."""

__version__ = "0.1.0"

from typing import Any

from zelq.viz.notebook import show as show

_LAZY = {"read_events": "recordings", "iter_events": "recordings", "read_sensor_size": "recordings",
         "read_segments": "recordings",
         "RecordingError": "recordings", "RecordingWarning": "recordings",
         "export_recording_html": "recording_page", "recording_frames": "recording_page",
         "summarize_recording": "recording_page",
         "summarize_dataset": "dataset", "export_dataset_html": "dataset",
         "compare": "comparison", "compare_html": "comparison",
         "filter_events": "filters", "check_recording": "health",
         "score_boxes": "scoring",
         "layer_statistics": "network"}


def __getattr__(name: str) -> Any:
    # Readers load on first use, so importing the package stays light.
    if name in _LAZY:
        import importlib
        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
