"""Speed and memory of zelq.viz.encode against the plain-Python path, measured in the same run.

    PYTHONPATH=src python benchmarks/bench_encode.py [--quick]

Targets: encode_array at least 3x the plain path from 10^6 elements up; decode_array no slower
than base64.b64decode + np.frombuffer; peak extra memory of encode_array no more than the base64
text plus one contiguous copy, and the copy only for non-contiguous input.
"""
import argparse
import base64
import gc
import time
import tracemalloc

import numpy as np

from zelq.viz.encode import decode_array, encode_array, encode_value


def plain_encode_array(arr):
    arr = np.ascontiguousarray(arr)
    if arr.size:
        stats = {"min": float(np.min(arr)), "max": float(np.max(arr)),
                 "mean": float(np.mean(arr)), "std": float(np.std(arr))}
    else:
        stats = {"min": 0.0, "max": 0.0, "mean": 0.0, "std": 0.0}
    return {"shape": list(arr.shape), "dtype": str(arr.dtype),
            "data": base64.b64encode(arr).decode(), "stats": stats, "size": int(arr.size)}


def plain_decode_array(encoded):
    raw = base64.b64decode(encoded["data"])
    return np.frombuffer(raw, dtype=encoded["dtype"]).reshape(encoded["shape"])


def plain_encode_value(value):
    if isinstance(value, np.ndarray):
        return plain_encode_array(value)
    if isinstance(value, (np.integer, np.floating)):
        return value.item()
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, dict):
        return {k: plain_encode_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain_encode_value(v) for v in value]
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace")
    return value


def best_time(fn, arg, budget=1.0, max_runs=20):
    """Best wall time of several runs (at least 2, within about `budget` seconds)."""
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 2 or (spent < budget and runs < max_runs):
        gc.collect()
        t0 = time.perf_counter()
        fn(arg)
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, dt), spent + dt, runs + 1
    return best


def peak_extra(fn, arg):
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = fn(arg)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del result
    return peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="skip the 5*10^7 size")
    args = ap.parse_args()
    sizes = [10**3, 10**6] if args.quick else [10**3, 10**6, 5 * 10**7]
    rng = np.random.default_rng(0)

    print(f"{'n':>10} {'encode ms':>10} {'plain ms':>10} {'ratio':>7} | {'decode ms':>10} {'plain ms':>10} {'ratio':>7}")
    for n in sizes:
        arr = rng.standard_normal(n, dtype=np.float32)
        te, tp = best_time(encode_array, arr), best_time(plain_encode_array, arr)
        rec = encode_array(arr)
        td, tpd = best_time(decode_array, rec), best_time(plain_decode_array, rec)
        print(f"{n:>10} {te * 1e3:>10.3f} {tp * 1e3:>10.3f} {tp / te:>6.1f}x | "
              f"{td * 1e3:>10.3f} {tpd * 1e3:>10.3f} {tpd / td:>6.1f}x")
        del rec

    print("\npeak extra memory of encode_array (tracemalloc), in units of the base64 text size")
    for n in sizes[1:]:
        text = (4 * n + 2) // 3 * 4
        base = rng.standard_normal(2 * n, dtype=np.float32)
        for label, arr in (("contiguous", base[:n]), ("strided", base[::2])):
            peak = peak_extra(encode_array, arr)
            allowed = text + (arr.nbytes if label == "strided" else 0)
            print(f"{n:>10} {label:>11}: {peak / 2**20:9.1f} MiB = {peak / text:5.2f} x text "
                  f"(allowed {allowed / text:4.2f} x text) {'ok' if peak <= allowed * 1.01 else 'OVER'}")
        del base, arr

    # 10^4 small items: numbers, NumPy scalars, short lists, bytes and tiny arrays.
    items = []
    for i in range(10**4):
        kind = i % 5
        if kind == 0:
            items.append({"id": i, "w": np.float32(i), "ok": np.bool_(i & 1)})
        elif kind == 1:
            items.append((i, np.int64(i), "name"))
        elif kind == 2:
            items.append(b"label")
        elif kind == 3:
            items.append(np.arange(4, dtype=np.float32))
        else:
            items.append([1.5, None, True])
    tree = {"layers": [items[j:j + 100] for j in range(0, len(items), 100)], "meta": {"n": 10**4}}
    tv, tpv = best_time(encode_value, tree), best_time(plain_encode_value, tree)
    print(f"\nencode_value on 10^4 nested items: {tv * 1e3:.2f} ms, plain Python {tpv * 1e3:.2f} ms, "
          f"ratio {tpv / tv:.1f}x")


if __name__ == "__main__":
    main()
