# Sphinx configuration. The API reference is read from the installed module's docstrings
# (autodoc), so build after installing: sphinx-build -W -b html docs build/docs/html
import tessaron

project = "tessaron"
author = "the tessaron developers"
copyright = "the tessaron developers"
release = version = tessaron.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon"]
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_member_order = "bysource"
# The pictures beside these pages are drawn by the quickstart and shown by the README.
exclude_patterns = ["images"]
html_theme = "alabaster"
