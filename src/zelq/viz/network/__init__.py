"""What a network does with its data: per-layer statistics of recorded activity
(spikes, rates, sparsity, silent and saturated neurons, SynOps, dense MACs and
energy), the input recording binned into the activity's steps, and the page
parts built from them (layer table, neuron states, input and decision).

`layer_statistics` is also `zelq.viz.layer_statistics`.
"""
from .statistics import ENERGY_MODEL, layer_statistics

__all__ = ["layer_statistics", "ENERGY_MODEL"]
