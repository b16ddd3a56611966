"""ON/OFF colours of the recording page and its video, one table for both (kept natively).

Each palette gives, per background, the background colour and the colours of a
fully lit ON and OFF pixel (RGB, 0-255); a frame blends them by the tone-mapped
levels (see docs/recording-document.md). "okabe-ito" is safe for the common
colour-vision deficiencies.
"""
from typing import Any, Dict, Tuple

from zelq.viz import _native

RGB = Tuple[int, int, int]

PALETTES: Dict[str, Dict[str, Dict[str, RGB]]] = _native.events()._PALETTES  # kernels/palettes.hpp
DEFAULT_PALETTE = "blue-red"
DEFAULT_BACKGROUND = "dark"


def _shown(value: Any) -> str:
    return repr(value[:50] if isinstance(value, str) else value)


def palette(name: Any, background: Any) -> Dict[str, RGB]:
    """The colours of palette `name` on a "dark" or "light" `background`; ValueError for others."""
    if not isinstance(name, str) or name not in PALETTES:
        raise ValueError(f"palette must be one of {', '.join(map(repr, PALETTES))}, not {_shown(name)}")
    if background not in ("dark", "light"):
        raise ValueError(f'background must be "dark" or "light", not {_shown(background)}')
    return PALETTES[name][background]
