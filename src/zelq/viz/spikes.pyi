"""Event pages: binning of event arrays into frames, grids and rasters, and the spike page."""
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

TONIC_AVAILABLE: bool
PIL_AVAILABLE: bool
tonic: Optional[ModuleType]

def _get_event_fields(events: np.ndarray) -> Tuple[Optional[str], Optional[str], Optional[str], Optional[str]]: ...
def _detect_sensor_size(events: np.ndarray) -> Tuple[int, int]: ...
def _events_to_frames_numpy(
    events: np.ndarray, sensor_size: Tuple[int, int], n_frames: int, accumulate: bool
) -> np.ndarray: ...
def _events_to_frames_tonic(events: np.ndarray, sensor_size: Tuple[int, int], n_frames: int) -> np.ndarray: ...
def events_to_frames(
    events: np.ndarray,
    sensor_size: Optional[Tuple[int, int]] = None,
    n_frames: int = 10,
    accumulate: bool = False,
    use_tonic: Optional[bool] = None,
) -> np.ndarray: ...
def events_to_grid(events: np.ndarray, sensor_size: Optional[Tuple[int, int]] = None, n_bins: int = 5) -> np.ndarray: ...
def events_to_raster(events: np.ndarray, n_neurons: Optional[int] = None, time_bins: int = 100) -> np.ndarray: ...
def _encode_image_base64(img: np.ndarray) -> str: ...
def _load_template(name: str) -> str: ...
def _html_escape(text: str) -> str: ...
def _render_spike_html(data: Dict[str, Any], title: str = "Spike Visualization") -> str: ...
def serialize_events(
    events: np.ndarray,
    sensor_size: Optional[Tuple[int, int]] = None,
    n_frames: int = 20,
    n_grid_bins: int = 5,
    raster_time_bins: int = 100,
    max_raster_neurons: int = 1000,
) -> Dict[str, Any]: ...
def plot_events(
    events: np.ndarray,
    sensor_size: Optional[Tuple[int, int]] = None,
    title: str = "Spike Visualization",
    **kwargs: Any,
) -> str: ...
def export_events_html(
    events: np.ndarray,
    output_path: Union[str, Path],
    sensor_size: Optional[Tuple[int, int]] = None,
    title: str = "Spike Visualization",
    **kwargs: Any,
) -> str: ...
def plot_frames(frames: np.ndarray, title: str = "Frame Visualization") -> str: ...
