#!/usr/bin/env python3
"""Build the extension modules in place, for working on the source tree.

    python tools/devbuild.py [--dir NAME] [--sanitize] [target ...]

Configures build/dev-NAME once, builds the named targets (all modules by
default) and copies each built module next to its source in src/zelq/viz/,
so that `PYTHONPATH=src pytest` runs against the fresh build.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import nanobind

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["encode", "serialize", "render", "spikes", "_events", "_comparison", "_activity", "_inspect"]


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default=os.environ.get("ZELQVIZ_DEVBUILD", "main"))
    ap.add_argument("--sanitize", action="store_true")
    ap.add_argument("targets", nargs="*")
    args = ap.parse_args()
    build = ROOT / "build" / f"dev-{args.dir}"
    # A compiler cache, where there is one, shares objects between checkouts of the tree.
    launcher = shutil.which("ccache")
    os.environ.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
    if not (build / "CMakeCache.txt").exists():
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            *([f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}"] if launcher else []),
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dnanobind_ROOT={nanobind.cmake_dir()}",
            f"-DZELQVIZ_SANITIZE={'ON' if args.sanitize else 'OFF'}",
        ])
    known = [m for m in MODULES if (ROOT / "src/zelq/viz" / f"{m}.cpp").exists()]
    targets = args.targets or known
    subprocess.check_call(["cmake", "--build", str(build), "--target", *targets])
    for t in targets:
        for so in glob.glob(str(build / f"{t}.*.so")):
            # Copy then rename: overwriting a library in place would crash
            # every process that has it loaded (a new inode leaves them be).
            dest = ROOT / "src/zelq/viz" / Path(so).name
            tmp = dest.with_suffix(f".tmp{os.getpid()}")
            shutil.copy2(so, tmp)
            os.replace(tmp, dest)
    return 0


if __name__ == "__main__":
    sys.exit(main())
