"""The zelqviz command in a child interpreter that finds the same package as the tests."""
import os
from pathlib import Path

import zelq.viz

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    [str(Path(zelq.viz.__file__).resolve().parents[2]), *filter(None, [os.environ.get("PYTHONPATH")])])}
