"""What a user's install holds: version texts, package data and where the templates are found."""
import importlib
import importlib.metadata
import os
import sysconfig
import tomllib
from pathlib import Path

import pytest

import zelq.viz
from zelq.viz import render, spikes

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = Path(zelq.viz.__file__).resolve().parent
FROM_SOURCE = PACKAGE.is_relative_to(ROOT / "src")

# Files that are not compiled but must travel with every install.
PACKAGE_DATA = [
    "zelq/viz/__init__.py", "zelq/viz/constants.py", "zelq/viz/patterns.py", "zelq/ir/__init__.py",
    *(f"zelq/viz/recordings/{m}.py" for m in ("__init__", "_registry", "_sniffing", "_headers", "_native_formats",
                                             "_native_layout", "_native_decode", "_native_time", "_aedat4", "_numpy_files", "_entry", "_problems", "_sources")),
    "zelq/viz/cli.py", "zelq/viz/__main__.py",
    "zelq/viz/templates/viewer.html", "zelq/viz/templates/spikes.html", "zelq/viz/py.typed", "zelq/ir/py.typed",
    "zelq/viz/encode.pyi", "zelq/viz/serialize.pyi", "zelq/viz/render.pyi", "zelq/viz/spikes.pyi",
    "zelq/viz/notebook.py", "zelq/viz/notebook.pyi",
]


def project_version():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]["version"]


def installed_distribution():
    """The zelqviz distribution that owns the imported package, or None (source tree)."""
    try:
        dist = importlib.metadata.distribution("zelqviz")
    except importlib.metadata.PackageNotFoundError:
        return None
    owned = Path(dist.locate_file("zelq/viz/__init__.py")).resolve()
    return dist if owned == PACKAGE / "__init__.py" else None


def test_version_texts_agree():
    assert zelq.viz.__version__ == project_version()
    dist = installed_distribution()
    if dist is None:
        assert os.environ.get("ZELQVIZ_EXPECT_INSTALLED") != "1", "the installed wheel has no metadata"
        pytest.skip("zelq.viz is imported from a tree, not an installed distribution")
    assert importlib.metadata.version("zelqviz") == dist.version == project_version()


def test_changelog_names_the_current_version():
    assert f"## [{project_version()}]" in (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")


def test_installed_run_does_not_see_the_source_tree():
    # Set by `./run test`: the suite must exercise the wheel, not src/.
    if os.environ.get("ZELQVIZ_EXPECT_INSTALLED") != "1":
        pytest.skip("not a run against an installed wheel")
    # The venv may be the demo's .venv inside the tree: what counts is an installed copy, not src/.
    installed = Path(sysconfig.get_paths()["purelib"]).resolve()
    assert not FROM_SOURCE and PACKAGE.is_relative_to(installed) and not PACKAGE.is_relative_to(ROOT / "src")
    assert installed_distribution() is not None
    for name in ("encode", "serialize", "render", "spikes", "_events", "_comparison", "_activity", "constants", "patterns"):
        assert Path(importlib.import_module(f"zelq.viz.{name}").__file__).resolve().is_relative_to(PACKAGE)
    assert Path(importlib.import_module("zelq.ir").__file__).resolve().is_relative_to(installed)


@pytest.mark.parametrize("relative", PACKAGE_DATA)
def test_package_data_is_present(relative):
    path = PACKAGE.parent.parent / relative
    assert path.is_file()
    dist = installed_distribution()
    if dist is not None:
        # Listed in RECORD, so uninstalling removes it as well.
        assert relative in {str(f) for f in dist.files}


def test_templates_dir_points_into_the_package():
    assert isinstance(render.TEMPLATES_DIR, Path)
    assert render.TEMPLATES_DIR.resolve() == PACKAGE / "templates"
    for name in ("viewer.html", "spikes.html"):
        on_disk = (PACKAGE / "templates" / name).read_text(encoding="utf-8")
        assert on_disk.strip()
        assert render.load_template(name) == on_disk
        assert spikes._load_template(name) == on_disk


def test_templates_have_their_placeholders():
    viewer = render.load_template("viewer.html")
    for placeholder in ("{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}"):
        assert placeholder in viewer
    page = spikes._load_template("spikes.html")
    assert "$title" in page or "${title}" in page
    assert "$data_json" in page or "${data_json}" in page


@pytest.mark.parametrize("name", ["LICENSE", "LICENSES/nanobind.txt", "LICENSES/robin-map.txt"])
def test_licences_ship_with_the_install(name):
    assert (ROOT / name).is_file()
    dist = installed_distribution()
    if dist is None:
        pytest.skip("zelq.viz is imported from a tree, not an installed distribution")
    shipped = [f for f in dist.files if str(f).endswith(f"licenses/{name}")]
    assert shipped and shipped[0].read_text() == (ROOT / name).read_text()
