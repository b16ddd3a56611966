"""The streaming recording page on long HD recordings: time, peak memory, and faery in the same run.

    python benchmarks/bench_stream.py FILE.raw [FILE ...] [--frames 2000] [--video-frames 2000] [--limit-gb 2]
    python benchmarks/bench_stream.py --make a|b|h DIR     # synthesize a preset first (EVT 3.0)

Each job runs in a fresh child process and reports its own peak RSS (the engine's encoder is a
thread of it, so this is all of its memory). Each library is imported before its timer starts
(ours loads the optional Tonic library when its native module loads). Printed per
file, with ratios measured in this run:
  read      `read_events` of the whole file, against faery decoding the same file to an array
  iterate   `iter_events` over the whole file (1 M-event pieces), against iterating faery's stream
  page      `export_recording_html` with its defaults (20 ms frames, 100 MB page), under an
            address-space limit of --limit-gb, against faery's nearest pipeline: 20 frames with
            exponential decay written as PNG files
  frames    the page with --frames frames at full rate (period = span / N)
  video     `recording_frames` for --video-frames frames, every frame taken and dropped
faery is timed only when it is installed; it is never a dependency.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PRESETS = {"a": "a.raw", "b": "b.raw", "h": "h.raw"}


def run_child(code: str, limit_bytes: int = 0) -> dict:
    """Runs `code` in a fresh interpreter; returns its printed JSON plus its peak RSS in MB."""
    prelude = "import resource, time, json, sys\n"
    if limit_bytes:
        prelude += f"resource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))\n"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT / "src"), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.Popen([sys.executable, "-c", prelude + textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    out, err = proc.communicate()
    if proc.returncode != 0:
        return {"error": (err.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.strip().splitlines()[-1])


def timed(body: str) -> str:
    return textwrap.dedent(body) + textwrap.dedent("""
        print(json.dumps({"seconds": seconds,
                          "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
    """)


def ours_read(path: Path) -> dict:
    return run_child(timed(f"""
        from zelq.viz import read_events, spikes
        t = time.perf_counter(); ev = read_events({str(path)!r}); seconds = time.perf_counter() - t
    """))


def ours_iter(path: Path) -> dict:
    return run_child(timed(f"""
        from zelq.viz import iter_events, spikes
        t = time.perf_counter(); n = sum(len(piece) for piece in iter_events({str(path)!r}))
        seconds = time.perf_counter() - t
    """))


def faery_iter(path: Path) -> dict:
    return run_child(timed(f"""
        import faery
        t = time.perf_counter(); n = sum(len(piece) for piece in faery.events_stream_from_file({str(path)!r}))
        seconds = time.perf_counter() - t
    """))


def faery_read(path: Path) -> dict:
    return run_child(timed(f"""
        import faery
        t = time.perf_counter(); ev = faery.events_stream_from_file({str(path)!r}).to_array()
        seconds = time.perf_counter() - t
    """))


def ours_page(path: Path, out: Path, limit: int, n_frames: int = 0) -> dict:
    period = f"frame_period=stream.frame_period_for({str(path)!r}, {n_frames})," if n_frames else ""
    return run_child(timed(f"""
        from zelq.viz import stream, spikes
        t = time.perf_counter()
        stream.export_recording_html({str(path)!r}, {str(out)!r}, {period})
        seconds = time.perf_counter() - t
    """), limit)


def ours_video_frames(path: Path, n_frames: int) -> dict:
    return run_child(timed(f"""
        from zelq.viz import stream, spikes
        t = time.perf_counter()
        period = stream.frame_period_for({str(path)!r}, {n_frames})
        count = sum(1 for _ in stream.recording_frames({str(path)!r}, frame_period=period))
        seconds = time.perf_counter() - t
    """))


def faery_pipeline(path: Path, out_dir: Path) -> dict:
    return run_child(timed(f"""
        import faery
        t = time.perf_counter()
        stream = faery.events_stream_from_file({str(path)!r})
        begin, end = stream.time_range()
        span_s = (end.to_microseconds() - begin.to_microseconds()) / 1e6
        (stream.regularize(frequency_hz=20 / span_s)
               .render(decay="exponential", tau="00:00:00.200000", colormap=faery.colormaps.starry_night)
               .to_files({str(out_dir)!r} + "/{{index:04}}.png"))
        seconds = time.perf_counter() - t
    """))


def ratio(a: dict, b: dict) -> str:
    if "seconds" not in a or "seconds" not in b:
        return "n/a"
    return f"{b['seconds'] / a['seconds']:.2f}x"


def show(label: str, r: dict) -> None:
    if "error" in r:
        print(f"  {label:<26} failed: {r['error']}")
    else:
        print(f"  {label:<26} {r['seconds']:8.2f} s  peak RSS {r['rss_mb']:7.0f} MB")


def bench(path: Path, n_frames: int, limit_gb: float, video_frames: int) -> None:
    try:
        import faery  # noqa: F401
        have_faery = True
    except ImportError:
        have_faery = False
    print(f"{path.name}: {path.stat().st_size / 2**20:,.0f} MiB")
    with tempfile.TemporaryDirectory(dir=path.parent) as tmp:
        tmp = Path(tmp)
        read = ours_read(path)
        show("read_events", read)
        chunks = ours_iter(path)
        show("iter_events", chunks)
        page = ours_page(path, tmp / "page.html", int(limit_gb * 2**30))
        show(f"page (AS limit {limit_gb:g} GiB)", page)
        if "seconds" in page:
            print(f"  {'':<26} page {os.path.getsize(tmp / 'page.html') / 1e6:.1f} MB")
        frames = ours_page(path, tmp / "frames.html", 0, n_frames)
        show(f"page, {n_frames} frames", frames)
        if video_frames:
            video = ours_video_frames(path, video_frames)
            show(f"recording_frames, {video_frames}", video)
        if have_faery:
            f_read = faery_read(path)
            show("faery decode", f_read)
            f_iter = faery_iter(path)
            show("faery iterate", f_iter)
            (tmp / "faery").mkdir()
            f_page = faery_pipeline(path, tmp / "faery")
            show("faery 20 decayed PNGs", f_page)
            print(f"  faery time / ours: read {ratio(read, f_read)}, iterate {ratio(chunks, f_iter)}, "
                  f"page {ratio(page, f_page)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="*", type=Path)
    ap.add_argument("--frames", type=int, default=2000)
    ap.add_argument("--limit-gb", type=float, default=2.0)
    ap.add_argument("--video-frames", type=int, default=2000, help="frames of the iterator job (0: skip it)")
    ap.add_argument("--make", nargs=2, metavar=("PRESET", "DIR"))
    args = ap.parse_args()
    if args.make:
        preset, directory = args.make
        out = Path(directory) / PRESETS[preset]
        subprocess.check_call([sys.executable, str(ROOT / "benchmarks" / "synth_recording.py"), str(out),
                               "--preset", preset])
        args.files.append(out)
    for path in args.files:
        bench(path, args.frames, args.limit_gb, args.video_frames)


if __name__ == "__main__":
    main()
