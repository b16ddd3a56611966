"""Plain NumPy transcriptions of the binning algorithms: the independent
oracle that the native engines are compared with, bit for bit."""
import numpy as np

T_NAMES = ("t", "ts", "time", "timestamp")
X_NAMES = ("x", "channel", "addr", "address")
Y_NAMES = ("y", "row")
P_NAMES = ("p", "pol", "polarity", "on")


def fields(events):
    names = set(events.dtype.names or ())
    first = lambda options: next((n for n in options if n in names), None)  # noqa: E731
    return first(X_NAMES), first(Y_NAMES), first(T_NAMES), first(P_NAMES)


def sensor_size(events):
    x_field, y_field, _, _ = fields(events)
    if x_field is None:
        return (128, 128)
    width = int(events[x_field].max()) + 1 if len(events) else 128
    if y_field is None:
        return (width, 1)
    return (width, int(events[y_field].max()) + 1 if len(events) else 128)


def time_bins(t_vals, n):
    t_min, t_max = t_vals.min(), t_vals.max()
    t_range = max(t_max - t_min, 1e-9)
    idx = ((t_vals - t_min) / t_range * (n - 0.001)).astype(np.int32)
    return np.clip(idx, 0, n - 1)


def frames(events, size, n_frames, accumulate=False):
    x_field, y_field, t_field, p_field = fields(events)
    width, height = size
    out = np.zeros((n_frames, 2, height, width), dtype=np.float32)
    if len(events) == 0:
        return out
    t_vals = events[t_field].astype(np.float64)
    x_vals = events[x_field].astype(np.int32)
    y_vals = events[y_field].astype(np.int32) if y_field else np.zeros(len(events), np.int32)
    p_vals = events[p_field] if p_field else np.ones(len(events), np.int8)
    frame_idx = time_bins(t_vals, n_frames)
    valid = (x_vals >= 0) & (x_vals < width) & (y_vals >= 0) & (y_vals < height)
    frame_idx, x_vals, y_vals, p_vals = frame_idx[valid], x_vals[valid], y_vals[valid], p_vals[valid]
    channels = np.where(p_vals > 0, 0, 1).astype(np.int32)
    if not accumulate:
        np.add.at(out, (frame_idx, channels, y_vals, x_vals), 1)
        return out
    for f in range(n_frames):
        mask = frame_idx <= f
        if mask.any():
            np.add.at(out[f], (channels[mask], y_vals[mask], x_vals[mask]), 1)
    return out


def grid(events, size, n_bins):
    stack = frames(events, size, n_bins)
    width, height = size
    out = np.zeros((n_bins, height, width, 3), dtype=np.uint8)
    for i in range(n_bins):
        on, off = stack[i, 0], stack[i, 1]
        max_on = on.max() if on.max() > 0 else 1
        max_off = off.max() if off.max() > 0 else 1
        out[i, :, :, 2] = np.clip(on / max_on * 255, 0, 255).astype(np.uint8)
        out[i, :, :, 0] = np.clip(off / max_off * 255, 0, 255).astype(np.uint8)
    return out


def raster(events, n_neurons=None, n_bins=100):
    x_field, y_field, t_field, _ = fields(events)
    if len(events) == 0:
        return np.zeros((n_bins, n_neurons if n_neurons else 1), dtype=np.float32)
    width, height = sensor_size(events)
    if n_neurons is None:
        n_neurons = width * height if y_field else width
    t_vals = events[t_field].astype(np.float64)
    x_vals = events[x_field].astype(np.int32)
    time_idx = time_bins(t_vals, n_bins)
    if y_field:
        neuron_idx = events[y_field].astype(np.int32).astype(np.int64) * width + x_vals
    else:
        neuron_idx = x_vals
    valid = (neuron_idx >= 0) & (neuron_idx < n_neurons)
    out = np.zeros((n_bins, n_neurons), dtype=np.float32)
    np.add.at(out, (time_idx[valid], neuron_idx[valid]), 1)
    return out
