"""Headless Chromium for the page tests and benchmarks: its flags, and a page that records what it asks for."""
from pathlib import Path

CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
]


def wait_until(target, expression, arg=None, timeout_ms=60_000):
    """Poll a page or frame from Python until `expression` (or the function it names, given
    `arg`) is truthy. Our pages' CSP refuses the eval behind Playwright's polled
    wait_for_function, which fails whenever the condition is not true at the first look."""
    for _ in range(timeout_ms // 20):
        if target.evaluate(expression, arg):
            return
        target.wait_for_timeout(20)
    raise AssertionError(f"timed out waiting for {expression}")


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
