"""The streaming recording page on long HD recordings: time, peak memory, and faery in the same run.

    python benchmarks/bench_stream.py FILE.raw [FILE ...] [--frames 2000] [--video-frames 2000] [--limit-gb 2]
                                      [--repeat 3] [--only read,iterate,page,frames,video,summary]
    python benchmarks/bench_stream.py --make a|b|h DIR     # synthesize a preset first (EVT 3.0)

Each job runs in a fresh child process and reports its own peak RSS (the engine's encoder is a
thread of it, so this is all of its memory). Each library is imported before its timer starts
(ours loads the optional Tonic library when its native module loads). Printed per
file, with ratios measured in this run:
  read      `read_events` of the whole file, against faery decoding the same file to an array
  iterate   `iter_events` over the whole file (default 64 Ki-event pieces), against iterating faery's stream
  page      `export_recording_html` with its defaults (20 ms frames, 100 MB page), under an
            address-space limit of --limit-gb, against faery's nearest pipeline: 20 frames with
            exponential decay written as PNG files
  frames    the page with --frames frames at full rate (period = span / N)
  video     `recording_frames` for --video-frames frames, every frame taken and dropped
  summary   `summarize_recording` (a dataset row: counts, rates, hot pixels, thumbnail), against
            a read pass: the file's bytes read into an array and their max taken (memory speed)
faery is timed only when it is installed; it is never a dependency. With --repeat N each job
and its faery counterpart run N times, one after the other (the machine's load drifts alike for
both); the medians of wall time and of CPU time (all threads) are shown, and the ratios are of
medians. The load average is printed before and after: on a shared machine, trust CPU ratios
more when it is high.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
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
    """`body` sets `seconds` (wall) around its timed part; CPU time (user and system, every thread)
    is taken over the same part: `t = time.perf_counter()` starts both."""
    body = textwrap.dedent(body).replace("t = time.perf_counter()", "t = time.perf_counter(); cpu0 = os.times()", 1)
    return "import os\n" + body + textwrap.dedent("""
        cpu1 = os.times()
        print(json.dumps({"seconds": seconds, "cpu": cpu1.user + cpu1.system - cpu0.user - cpu0.system,
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
        # Each run writes a new page: replacing one costs the file system a flush of the new
        # page and the freeing of the old, which is not the page pass's work.
        if os.path.exists({str(out)!r}): os.unlink({str(out)!r})
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
        import faery, shutil
        shutil.rmtree({str(out_dir)!r}, ignore_errors=True); os.mkdir({str(out_dir)!r})  # new files, as ours
        t = time.perf_counter()
        stream = faery.events_stream_from_file({str(path)!r})
        begin, end = stream.time_range()
        span_s = (end.to_microseconds() - begin.to_microseconds()) / 1e6
        (stream.regularize(frequency_hz=20 / span_s)
               .render(decay="exponential", tau="00:00:00.200000", colormap=faery.colormaps.starry_night)
               .to_files({str(out_dir)!r} + "/{{index:04}}.png"))
        seconds = time.perf_counter() - t
    """))


def ours_summary(path: Path) -> dict:
    return run_child(timed(f"""
        from zelq.viz import stream, spikes
        t = time.perf_counter(); row = stream.summarize_recording({str(path)!r}); seconds = time.perf_counter() - t
    """))


def read_pass(path: Path) -> dict:
    return run_child(timed(f"""
        import numpy as np
        t = time.perf_counter(); np.fromfile({str(path)!r}, dtype=np.uint8).max(); seconds = time.perf_counter() - t
    """))


def median(runs: list) -> dict:
    """Medians of wall and CPU time over the runs that finished, the largest peak RSS."""
    done = [r for r in runs if "seconds" in r]
    if not done:
        return runs[0]
    return {"seconds": statistics.median(r["seconds"] for r in done), "cpu": statistics.median(r["cpu"] for r in done),
            "rss_mb": max(r["rss_mb"] for r in done), "runs": len(done)}


def ratio(a: dict, b: dict, key: str = "seconds") -> str:
    if key not in a or key not in b:
        return "n/a"
    return f"{b[key] / a[key]:.2f}x"


def show(label: str, r: dict) -> None:
    if "error" in r:
        print(f"  {label:<26} failed: {r['error']}")
    else:
        print(f"  {label:<26} {r['seconds']:8.2f} s  CPU {r['cpu']:7.2f} s  peak RSS {r['rss_mb']:7.0f} MB")


def load() -> str:
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def bench(path: Path, n_frames: int, limit_gb: float, video_frames: int, repeat: int, only: set) -> None:
    try:
        import faery  # noqa: F401
        have_faery = True
    except ImportError:
        have_faery = False
    print(f"{path.name}: {path.stat().st_size / 2**20:,.0f} MiB; load average {load()}")
    with tempfile.TemporaryDirectory(dir=path.parent) as tmp:
        tmp = Path(tmp)
        (tmp / "faery").mkdir()
        jobs = {
            "read": (lambda: ours_read(path), lambda: faery_read(path)),
            "iterate": (lambda: ours_iter(path), lambda: faery_iter(path)),
            "page": (lambda: ours_page(path, tmp / "page.html", int(limit_gb * 2**30)),
                     lambda: faery_pipeline(path, tmp / "faery")),
            "frames": (lambda: ours_page(path, tmp / "frames.html", 0, n_frames), None),
            "video": (lambda: ours_video_frames(path, video_frames) if video_frames else {"error": "skipped"}, None),
            "summary": (lambda: ours_summary(path), lambda: read_pass(path)),
        }
        results = {}
        for name, (ours, peer) in jobs.items():
            if name not in only:
                continue
            runs, peer_runs = [], []
            for _ in range(repeat):
                runs.append(ours())
                if peer and (have_faery or name == "summary"):
                    peer_runs.append(peer())
            results[name] = (median(runs), median(peer_runs) if peer_runs else None)
        labels = {"read": "read_events", "iterate": "iter_events", "page": f"page (AS limit {limit_gb:g} GiB)",
                  "frames": f"page, {n_frames} frames", "video": f"recording_frames, {video_frames}",
                  "summary": "summarize_recording"}
        peer_labels = {"read": "faery decode", "iterate": "faery iterate", "page": "faery 20 decayed PNGs",
                       "summary": "read pass (fromfile + max)"}
        for name, (mine, peer) in results.items():
            show(labels[name], mine)
            if name == "page" and "seconds" in mine:
                print(f"  {'':<26} page {os.path.getsize(tmp / 'page.html') / 1e6:.1f} MB")
            if peer:
                show(peer_labels[name], peer)
        print(f"  load average after: {load()}; medians of {repeat} run(s)")
        if have_faery:
            for name in ("read", "iterate", "page"):
                if name in results and results[name][1]:
                    mine, peer = results[name]
                    print(f"  faery / ours, {name:<8} wall {ratio(mine, peer)}, CPU {ratio(mine, peer, 'cpu')}")
        if "summary" in results and results["summary"][1]:
            mine, peer = results["summary"]
            print(f"  summary / read pass, wall {ratio(peer, mine)}, CPU {ratio(peer, mine, 'cpu')}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="*", type=Path)
    ap.add_argument("--frames", type=int, default=2000)
    ap.add_argument("--limit-gb", type=float, default=2.0)
    ap.add_argument("--video-frames", type=int, default=2000, help="frames of the iterator job (0: skip it)")
    ap.add_argument("--repeat", type=int, default=1, help="runs of each job (medians are shown)")
    ap.add_argument("--only", default="read,iterate,page,frames,video,summary", help="jobs to run, comma-separated")
    ap.add_argument("--make", nargs=2, metavar=("PRESET", "DIR"))
    args = ap.parse_args()
    if args.make:
        preset, directory = args.make
        out = Path(directory) / PRESETS[preset]
        subprocess.check_call([sys.executable, str(ROOT / "benchmarks" / "synth_recording.py"), str(out),
                               "--preset", preset])
        args.files.append(out)
    for path in args.files:
        bench(path, args.frames, args.limit_gb, args.video_frames, max(1, args.repeat), set(args.only.split(",")))


if __name__ == "__main__":
    main()
