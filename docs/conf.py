"""Sphinx configuration of norbe's documentation site.

tools/build_docs.sh builds it (warnings as errors) from a copy of this folder
with the performance charts generated in; NORBE_ROOT names the work tree. The
API reference is rendered from the type stubs in norbe-stubs/, which carry
the documentation (the runtime docstrings are fixed texts).
"""

import atexit
import doctest
import os
import shutil
import tempfile
from pathlib import Path

ROOT = Path(os.environ.get("NORBE_ROOT", Path(__file__).resolve().parent.parent))

project = "norbe"
author = "the norbe developers"
copyright = "the norbe developers"
release = next(
    line.split('"')[1] for line in (ROOT / "pyproject.toml").read_text().splitlines() if line.startswith("version = ")
)
version = release

extensions = ["sphinx.ext.doctest", "autoapi.extension", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "performance/*.md"]

# The stub package is named norbe-stubs on disk; autoapi takes the package
# name from the folder, so it reads a copy named norbe.
_stubs = Path(tempfile.mkdtemp(prefix="norbe-docs-stubs-"))
atexit.register(shutil.rmtree, _stubs, ignore_errors=True)
shutil.copytree(ROOT / "norbe-stubs", _stubs / "norbe", ignore=shutil.ignore_patterns("__pycache__"))
autoapi_dirs = [str(_stubs / "norbe")]
autoapi_file_patterns = ["*.pyi"]
autoapi_generate_api_docs = False
autoapi_add_toctree_entry = False
autoapi_options = ["members", "undoc-members", "special-members", "show-module-summary"]
autoapi_python_class_content = "class"
autoapi_member_order = "bysource"
# The autoapimodule directives of api.rst follow autodoc's setting.
autodoc_member_order = "bysource"

html_theme = "furo"
html_title = f"norbe {release}"
html_static_path = ["_static"]
html_favicon = "_static/favicon.svg"
html_show_sourcelink = False

doctest_global_setup = """
import norbe
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from norbe.package.outline import PackageOutline
from norbe.package.version import Version
"""
# Sphinx's default flags ignore the message of an expected exception; here the
# messages are what the pages document, so they are compared in full.
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1
