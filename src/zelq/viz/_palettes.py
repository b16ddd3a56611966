"""ON/OFF colours of the recording page and its video, one table for both.

Each palette gives, per background, the background colour and the colours of a
fully lit ON and OFF pixel (RGB, 0-255); a frame blends them by the tone-mapped
levels (see docs/recording-document.md). "okabe-ito" is safe for the common
colour-vision deficiencies.
"""
from typing import Any, Dict, Tuple

RGB = Tuple[int, int, int]

PALETTES: Dict[str, Dict[str, Dict[str, RGB]]] = {
    "blue-red": {
        "dark": {"background": (12, 14, 20), "on": (80, 170, 255), "off": (255, 84, 64)},
        "light": {"background": (255, 255, 255), "on": (0, 92, 204), "off": (204, 32, 24)},
    },
    "okabe-ito": {
        "dark": {"background": (12, 14, 20), "on": (86, 180, 233), "off": (230, 159, 0)},
        "light": {"background": (255, 255, 255), "on": (0, 114, 178), "off": (213, 94, 0)},
    },
    "grey": {
        "dark": {"background": (12, 14, 20), "on": (255, 255, 255), "off": (120, 120, 128)},
        "light": {"background": (255, 255, 255), "on": (0, 0, 0), "off": (150, 150, 150)},
    },
}
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
