"""The source distribution: exactly what building the module needs, and enough to configure it."""

import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    os.environ.get("TESSARON_SANITIZED") == "1",
    reason="packaging runs no native code of the module; the plain run covers it",
)


def build_sdist(out: Path) -> Path:
    code = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    done = subprocess.run(
        [sys.executable, "-c", code, str(out)],
        cwd=ROOT, capture_output=True, text=True, check=True,
    )
    return out / done.stdout.strip().splitlines()[-1]


def test_sdist_holds_the_sources_stubs_and_metadata_only_and_configures(tmp_path):
    archive = build_sdist(tmp_path)
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if m.isfile()]
        top = {m.name.split("/", 1)[0] for m in members}
        assert top == {archive.name[: -len(".tar.gz")]}
        names = {m.name.split("/", 1)[1] for m in members}
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(tmp_path / "unpacked", **safe)

    tree = {
        path.relative_to(ROOT).as_posix()
        for folder in ("src", "python")
        for path in (ROOT / folder).rglob("*")
        if path.is_file() and "__pycache__" not in path.parts
    }
    build_files = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO"}
    assert names == tree | build_files
    # Nothing built, installed or downloaded rides along, even from inside src/ or python/.
    assert not [n for n in names if n.endswith((".whl", ".so", ".tsn")) or ".venv" in n.split("/")]
    assert max(m.size for m in members) < 200_000

    # The unpacked archive configures: every file CMake reads is there.
    source = tmp_path / "unpacked" / archive.name[: -len(".tar.gz")]
    configure = subprocess.run(
        ["cmake", "-S", str(source), "-B", str(tmp_path / "build"),
         f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True, text=True,
    )
    assert configure.returncode == 0, configure.stderr
