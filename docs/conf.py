# Sphinx configuration. The API reference pages take each object's docstring from the installed
# module (autodoc) and add their own text to it (parameters, ranges, exceptions, examples), so
# build after installing: sphinx-build -W -b html docs build/docs/html
import tessaron

project = "tessaron"
author = "the tessaron developers"
copyright = "the tessaron developers"
release = version = tessaron.__version__

# myst_parser reads the Markdown pages (optimizers.md).
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# Headings of the Markdown pages get anchors, for links such as optimizers.md#settings.
myst_heading_anchors = 3
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_member_order = "bysource"
# The pictures beside these pages are drawn by the quickstart and shown by the README.
exclude_patterns = ["images"]
html_theme = "alabaster"
