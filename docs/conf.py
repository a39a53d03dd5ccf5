"""The documentation site: MyST pages, the command reference from the argument parser, the Python reference from
the docstrings. `tools/devenv docs` builds it into build/docs; `tools/devenv test` builds it with warnings as
errors, and tests/python/test_docs.py runs every example on its pages."""

import inspect

import cladomatic_tools

project = "cladomatic"
author = "the cladomatic developers"
copyright = "2026, the cladomatic developers"
release = version = cladomatic_tools.__version__

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
# option names such as --output must keep their two hyphens
smartquotes = False
myst_enable_extensions = ["colon_fence"]

# The module's own docstrings are rendered as they are; numpydoc formats the package's.
numpydoc_show_class_members = False
numpydoc_validation_checks: set[str] = set()
autodoc_member_order = "bysource"
autodoc_typehints = "none"

html_theme = "pydata_sphinx_theme"
html_title = "cladomatic"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars: dict[str, list[str]] = {"**": ["sidebar-nav-bs"]}


def _as_written(app, what, name, obj, options, lines) -> None:
    """The native module's docstrings follow their own layout, which reST would misread: shown verbatim."""
    if name == "cladomatic" or not name.startswith("cladomatic."):
        return
    lines[:] = ["::", ""] + ["    " + line for line in (inspect.getdoc(obj) or "").splitlines()] + [""]


def setup(app) -> None:
    # after numpydoc, which reads every docstring as its own layout
    app.connect("autodoc-process-docstring", _as_written, priority=900)
