"""Sphinx configuration: MyST pages, numpydoc docstrings, the command line from its parser."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "docs" / "_ext"))
# autodoc imports the native modules, which compute with CuPy: the NumPy backend on machines without it.
os.environ.setdefault("KORVANE_BACKEND", "numpy")

try:
    import korvane  # the installed package, native modules included (make docs, make test)
except ImportError:
    # A source tree whose native modules were built in place; a checkout's python/ alone has none.
    sys.path.insert(0, str(ROOT / "python"))
    import korvane

project = "korvane"
author = "the korvane developers"
copyright = "the korvane developers"
release = korvane.__version__
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "korvane_cli",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
root_doc = "index"

# Headings get anchors, so that pages link to sections as README links do.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# The API page lists objects in autosummary tables and documents them with automodule on the
# same page: no generated stub files in the source tree.
autosummary_generate = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

html_theme = "pydata_sphinx_theme"
html_title = f"korvane {release}"
html_static_path = ["_static"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
