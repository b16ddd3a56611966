"""Shared fixtures: real recordings, and a headless Chromium for page tests."""
import os
import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# ZELQVIZ_RECORDINGS points elsewhere, e.g. from a worktree beside the checkout.
RECORDINGS = Path(os.environ.get("ZELQVIZ_RECORDINGS", ROOT.parent / "shared" / "data" / "recordings"))


# Where the skip says to look: a newcomer's clone has no shared folder beside it.
NO_RECORDINGS = (f"the shared sensor recordings are not in {RECORDINGS}: "
                 "set ZELQVIZ_RECORDINGS to their folder (see the README's Two commands)")


def shared_recording(name):
    """The path of a shared sample recording; skips when the recordings or its reader are missing."""
    if not RECORDINGS.is_dir():
        pytest.skip(NO_RECORDINGS)
    if name.endswith(".aedat4"):
        pytest.importorskip("lz4")
    return RECORDINGS / name

ARTIFACTS = Path(__file__).resolve().parent / "_artifacts"

sys.path.insert(0, str(Path(__file__).resolve().parent))

# Set by `./run sanitize`: the suite runs against the ASan/UBSan build.
SANITIZED = bool(os.environ.get("ZELQVIZ_SANITIZED"))


if SANITIZED:
    # Child interpreters need the preloaded runtime too, also when a test gives them their own env.
    _SANITIZER_ENV = {k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "ZELQVIZ_SANITIZED")
                      if k in os.environ}
    _popen_init = subprocess.Popen.__init__

    def _sanitized_popen_init(self, *args, env=None, **kwargs):
        if env is not None:
            env = {**env, **_SANITIZER_ENV}
        _popen_init(self, *args, env=env, **kwargs)

    subprocess.Popen.__init__ = _sanitized_popen_init


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: too big, too slow or timing-bound for the sanitizer run (skipped there)")
    config.addinivalue_line("markers", "huge: billions of events; run only when ZELQVIZ_HUGE is set")


def pytest_collection_modifyitems(config, items):
    if not os.environ.get("ZELQVIZ_HUGE"):
        # Tens of seconds each; CI runs them once (ZELQVIZ_HUGE=1 in .ci/run).
        for item in items:
            if "huge" in item.keywords:
                item.add_marker(pytest.mark.skip(reason="huge inputs run only with ZELQVIZ_HUGE=1"))
    if not SANITIZED:
        return
    # Browser tests would preload the sanitizer runtime into chromium as well.
    # Packaging and typing checks look at where the package is installed, not at native code.
    skip = pytest.mark.skip(reason="not run under the sanitizers")
    for item in items:
        if ("no_sanitizer" in item.keywords or "browser" in getattr(item, "fixturenames", ())
                or item.path.name in ("test_packaging.py", "test_typing.py")):
            item.add_marker(skip)


CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
]


@pytest.fixture(scope="session")
def event_dtype():
    """The documented event record (x, y int16, t int64, p int8), written once for the tests."""
    from recordings import EVENT_DTYPE
    return EVENT_DTYPE


@pytest.fixture(scope="session")
def build_pages():
    """tools/build_pages.py, which assembles the page templates from pages/."""
    spec = importlib.util.spec_from_file_location("build_pages", ROOT / "tools" / "build_pages.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def recordings_dir():
    if not RECORDINGS.is_dir():
        pytest.skip(NO_RECORDINGS)
    return RECORDINGS


@pytest.fixture(scope="session")
def artifacts_dir():
    ARTIFACTS.mkdir(exist_ok=True)
    return ARTIFACTS


@pytest.fixture(scope="session")
def browser():
    """Debian's chromium driven by Playwright; never a downloaded browser."""
    executable = shutil.which("chromium")
    if executable is None:
        pytest.skip("chromium is not installed")
    if os.environ.get("ZELQVIZ_NO_BROWSER"):
        # The pages are the same text from every interpreter (the writer is native and
        # deterministic), so CI opens them in the browser from the default Python only.
        pytest.skip("browser tests off (ZELQVIZ_NO_BROWSER)")
    sync_api = pytest.importorskip("playwright.sync_api")
    with sync_api.sync_playwright() as pw:
        b = pw.chromium.launch(executable_path=executable, args=CHROMIUM_FLAGS)
        yield b
        b.close()


class PageProbe:
    """A page that records every network request and console error."""

    def __init__(self, page):
        self.page = page
        self.requests = []
        self.errors = []
        page.on("request", lambda r: self.requests.append(r.url))
        page.on("console", lambda m: m.type == "error" and self.errors.append(m.text))
        page.on("pageerror", lambda e: self.errors.append(str(e)))

    def open(self, path: Path):
        self.page.goto(path.resolve().as_uri())
        return self.page

    def external_requests(self, path: Path):
        """Requests for anything other than the page file itself and inline data."""
        own = path.resolve().as_uri()
        return [u for u in self.requests if u.split("#")[0] != own and not u.startswith(("data:", "blob:"))]


@pytest.fixture
def page_probe(browser):
    context = browser.new_context(viewport={"width": 1280, "height": 800})
    page = context.new_page()
    yield PageProbe(page)
    context.close()
