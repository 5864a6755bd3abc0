"""The binary wheel: built by build-wheel.sh, installed into a fresh virtual
environment, the walkthrough run from it, and the extension checked with ldd to
carry SQLite, libsodium and libcrypto itself. Slow: it builds the extension."""

import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the wheel is built for Linux"),
    pytest.mark.skipif(not (ROOT / "build-wheel.sh").is_file(), reason="needs the source tree"),
    pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd"),
]


def run(*command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    pytest.importorskip("auditwheel")
    out = tmp_path_factory.mktemp("dist")
    printed = run("bash", str(ROOT / "build-wheel.sh"), str(out), timeout=3600)
    built = Path(printed.strip().splitlines()[-1])
    assert built.parent == out and [p.name for p in out.iterdir()] == [built.name]
    return built


def test_the_wheel_is_tagged_with_a_manylinux_level(wheel):
    match = re.fullmatch(r"orvane_ddb-[\d.]+-cp310-abi3-(manylinux_(\d+)_(\d+)_x86_64)\.whl", wheel.name)
    assert match, wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
    assert f"Tag: cp310-abi3-{match.group(1)}" in metadata.splitlines()
    assert {"_orvane_ddb.pyi", "orvane_ddb/__init__.py", "orvane_ddb/aio.py", "orvane_ddb/py.typed"} <= set(names)
    assert not any(name.startswith("orvane_ddb.libs/") for name in names)  # nothing grafted: linked in


def test_the_wheel_runs_the_walkthrough_in_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    try:
        run(sys.executable, "-m", "venv", str(venv))
    except AssertionError as error:
        pytest.skip(f"no venv here: {error}")
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ORVANE_GATE_DB")}
    work = tmp_path / "work"
    work.mkdir()
    printed = run(python, str(ROOT / "examples" / "walkthrough.py"), str(work / "road"), cwd=work, env=env,
                  timeout=600)
    assert "Trace of the action, re-verified" in printed and '"status": "VERIFIED"' in printed

    extension = run(python, "-c", "import _orvane_ddb, orvane_ddb; print(_orvane_ddb.__file__)",
                    cwd=work, env=env).strip()
    assert extension.startswith(str(venv))
    linked = run("ldd", extension)
    assert "not found" not in linked
    for library in ("libsodium", "libsqlite3", "libcrypto"):
        assert library not in linked, linked  # carried by the extension, not taken from the system
    binary = Path(extension).read_bytes()
    assert b"SQLite format 3" in binary
