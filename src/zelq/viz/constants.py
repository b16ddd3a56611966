"""Style tables of the graph viewer, by node type and by pattern type.

Colours are "#rrggbb" strings. Node shapes are one of "rect", "rounded",
"ellipse", "diamond", "hexagon", "trapezoid", "invtrapezoid"; group shapes
one of "rounded", "rect", "dashed". Display parameters are field names of the
node (or metadata keys of the pattern) that the viewer shows on the node.
"""

DEFAULT_NODE_COLOR = "#9e9e9e"
DEFAULT_NODE_SHAPE = "rect"
DEFAULT_GROUP_COLOR = "#e0e0e0"
DEFAULT_GROUP_SHAPE = "rounded"

NODE_COLORS = {
    "Input": "#2e7d32",
    "Output": "#c62828",
    "Affine": "#1565c0",
    "Linear": "#1e88e5",
    "Conv1d": "#6a1b9a",
    "Conv2d": "#8e24aa",
    "LIF": "#ef6c00",
    "CubaLIF": "#f57c00",
    "IF": "#ffa000",
    "LI": "#fbc02d",
    "Integrator": "#afb42b",
    "Scale": "#00838f",
    "Threshold": "#d84315",
    "Flatten": "#546e7a",
    "SumPool2d": "#00897b",
    "AvgPool2d": "#26a69a",
    "Delay": "#5d4037",
    "MaxPool2d": "#00695c",
    "Upsample2d": "#78909c",
    "Concat": "#37474f",
}

NODE_SHAPES = {
    "Input": "invtrapezoid",
    "Output": "trapezoid",
    "Affine": "rect",
    "Linear": "rect",
    "Conv1d": "rect",
    "Conv2d": "rect",
    "LIF": "ellipse",
    "CubaLIF": "ellipse",
    "IF": "ellipse",
    "LI": "ellipse",
    "Integrator": "ellipse",
    "Scale": "rounded",
    "Threshold": "diamond",
    "Flatten": "rounded",
    "SumPool2d": "hexagon",
    "AvgPool2d": "hexagon",
    "Delay": "rounded",
    "MaxPool2d": "hexagon",
    "Upsample2d": "rounded",
    "Concat": "diamond",
}

NODE_DISPLAY_PARAMS = {
    "Input": ["shape"],
    "Output": ["shape"],
    "Affine": ["weight", "bias"],
    "Linear": ["weight"],
    "Conv1d": ["weight", "stride", "padding"],
    "Conv2d": ["weight", "stride", "padding"],
    "LIF": ["tau", "v_threshold"],
    "CubaLIF": ["tau_syn", "tau_mem", "v_threshold"],
    "IF": ["v_threshold"],
    "LI": ["tau"],
    "Integrator": ["r"],
    "Scale": ["scale"],
    "Threshold": ["threshold"],
    "Flatten": ["start_dim", "end_dim"],
    "SumPool2d": ["kernel_size", "stride"],
    "AvgPool2d": ["kernel_size", "stride"],
    "Delay": ["delay"],
    "MaxPool2d": ["kernel_size", "stride"],
    "Upsample2d": ["scale_factor"],
    "Concat": ["axis"],
}

GROUP_COLORS = {
    "RepConv": "#bbdefb",
    "SPP": "#c8e6c9",
    "SPPF": "#b2dfdb",
    "SkipConnection": "#ffe0b2",
}

GROUP_SHAPES = {
    "RepConv": "rounded",
    "SPP": "rect",
    "SPPF": "rect",
    "SkipConnection": "dashed",
}

GROUP_ICONS = {
    "RepConv": "⊕",
    "SPP": "⊞",
    "SPPF": "⋙",
    "SkipConnection": "↷",
}

GROUP_DISPLAY_PARAMS = {
    "RepConv": ["branches"],
    "SPP": ["num_scales", "pool_kernels"],
    "SPPF": ["chain_depth", "kernel_size"],
    "SkipConnection": ["processing_depth", "path_types"],
}
