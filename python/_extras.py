"""Imports of the optional packages that some submodules need, with a message that names the extra
to install when one is missing."""

import importlib


def import_extra(module, extra, user, package=None):
    """The module `module`, imported; when it cannot be found, a ModuleNotFoundError that says
    `user` needs it (`package`, by default "the <module> package") and names the extra of
    tessaron that brings it."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as missing:
        # A module that is itself installed but lacks one of its own dependencies is not ours to
        # explain.
        top = module.partition(".")[0]
        if missing.name is not None and missing.name.partition(".")[0] != top:
            raise
        raise ModuleNotFoundError(
            f"{user} needs {package or f'the {top} package'}, which is not installed: pip install "
            f"tessaron[{extra}]", name=missing.name) from missing
