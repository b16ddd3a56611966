"""Shared fixtures: the event dtype, real recordings, and a headless Chromium for page tests."""
import os
import importlib.util
import shutil

import pytest

from tests.support.browser import CHROMIUM_FLAGS, PageProbe
from tests.support.paths import ARTIFACTS, NO_RECORDINGS, RECORDINGS, ROOT
from tests.support.sanitizer import SANITIZED, pass_runtime_to_children

if SANITIZED:
    pass_runtime_to_children()


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


@pytest.fixture(scope="session")
def event_dtype():
    """The documented event record (x, y int16, t int64, p int8), written once for the tests."""
    from tests.support.decoders import EVENT_DTYPE
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


@pytest.fixture
def page_probe(browser):
    context = browser.new_context(viewport={"width": 1280, "height": 800})
    page = context.new_page()
    yield PageProbe(page)
    context.close()
