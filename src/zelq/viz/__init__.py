"""zelq.viz: standalone HTML pages for spiking-network graphs and event recordings."""

__version__ = "0.1.0"

from zelq.viz.notebook import show as show
