"""The viewer document of a graph: node, pattern and summary records."""
from typing import Any, Dict, Union

# The style tables and defaults, read from this module's namespace at each call.
from zelq.viz.constants import (
    DEFAULT_GROUP_COLOR as DEFAULT_GROUP_COLOR,
    DEFAULT_GROUP_SHAPE as DEFAULT_GROUP_SHAPE,
    DEFAULT_NODE_COLOR as DEFAULT_NODE_COLOR,
    DEFAULT_NODE_SHAPE as DEFAULT_NODE_SHAPE,
    GROUP_COLORS as GROUP_COLORS,
    GROUP_DISPLAY_PARAMS as GROUP_DISPLAY_PARAMS,
    GROUP_ICONS as GROUP_ICONS,
    GROUP_SHAPES as GROUP_SHAPES,
    NODE_COLORS as NODE_COLORS,
    NODE_DISPLAY_PARAMS as NODE_DISPLAY_PARAMS,
    NODE_SHAPES as NODE_SHAPES,
)

def serialize_node(name: str, node: Any) -> Dict[str, Any]: ...
def compute_summary(graph: Any) -> Dict[str, Any]: ...
def serialize_pattern(pattern: Any) -> Dict[str, Any]: ...
def graph_to_dict(graph: Union[Any, str, bytes], detect_patterns: bool = True) -> Dict[str, Any]: ...
