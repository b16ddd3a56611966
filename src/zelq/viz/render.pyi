"""The graph page: viewer.html filled with a viewer document."""
from pathlib import Path
from typing import Any, Dict, Optional, Sequence, Tuple

TEMPLATES_DIR: Path

def load_template(name: str) -> str: ...
def render_html(data: Dict[str, Any], title: str = "ZELQ-Viz", width: int = 1200, height: int = 800, *,
                payloads: str = "auto", activity: Optional[Dict[Any, Any]] = None,
                dt: Optional[float] = None, node_data: Optional[Dict[str, Dict[Any, Any]]] = None,
                statistics: Optional[Dict[str, Any]] = None, states: Optional[Dict[Any, Any]] = None,
                trace_neurons: Optional[Dict[Any, Sequence[int]]] = None, inputs: Any = None,
                t0: Optional[int] = None, sensor_size: Optional[Tuple[int, int]] = None,
                classes: Optional[Sequence[str]] = None, label: Optional[int] = None,
                output: Optional[str] = None) -> str: ...
def _escape_html(text: str) -> str: ...
