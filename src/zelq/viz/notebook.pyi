"""Inline display of the package's pages in notebooks."""
import os
from typing import Any, Dict, Mapping, Optional, Union

DEFAULT_HEIGHTS: Dict[str, int]
SANDBOX: str

class InlinePage:
    html: str
    kind: str
    height: int
    theme: Optional[str]
    def __init__(self, html: str, kind: str, height: int, theme: Optional[str]) -> None: ...
    def _repr_html_(self) -> str: ...
    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> Dict[str, str]: ...
    def frame_html(self) -> str: ...

def show(page: Union[str, os.PathLike[str], Dict[str, Any], Any], *, height: Optional[int] = None,
         theme: Optional[str] = None, activity: Optional[Mapping[str, Any]] = None,
         dt: Optional[float] = None) -> InlinePage: ...
