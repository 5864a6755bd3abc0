"""Checks a built wheel with auditwheel and tags it with the manylinux level it meets.

The wheel is built with SQLite, libsodium and libcrypto linked in statically
(build-wheel.sh), so there is nothing to graft: `auditwheel show` must find no
external library outside the manylinux policy, and the platform tag it reports
("manylinux_2_35_x86_64" on Debian 12, from the glibc and libstdc++ symbol
versions the extension uses) replaces the wheel's "linux_x86_64".

Usage: python3 packaging/tag_wheel.py <built wheel> <output directory>
Prints the path of the tagged wheel.
"""

from __future__ import annotations

import base64
import hashlib
import re
import subprocess
import sys
import zipfile
from pathlib import Path

PLATFORM = re.compile(r'"((?:manylinux|musllinux)_\d+_\d+_\w+)"')


def audited_platform(wheel: Path) -> str:
    """The manylinux tag auditwheel finds the wheel consistent with; refuses a
    wheel that still needs a shared library from the system."""
    report = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                            check=True, capture_output=True, text=True).stdout
    flat = " ".join(report.split())
    if "external shared libraries are required" in flat:
        raise SystemExit(f"{wheel.name} still links shared libraries from the system:\n{report}")
    found = PLATFORM.findall(flat)
    if not found:
        raise SystemExit(f"auditwheel named no manylinux level for {wheel.name}:\n{report}")
    return found[-1]


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def retag(wheel: Path, platform: str, out_dir: Path) -> Path:
    """Writes a copy of the wheel whose file name and WHEEL metadata carry `platform`."""
    name, version, python, abi, old = wheel.stem.split("-")
    target = out_dir / f"{name}-{version}-{python}-{abi}-{platform}.whl"
    out_dir.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(wheel) as source:
        entries = {info.filename: source.read(info) for info in source.infolist()}
    dist_info = next(n.split("/")[0] for n in entries if n.endswith(".dist-info/WHEEL"))
    wheel_file, record_file = f"{dist_info}/WHEEL", f"{dist_info}/RECORD"
    metadata = entries[wheel_file].decode()
    tag_line = f"Tag: {python}-{abi}-{old}"
    if tag_line not in metadata.splitlines():
        raise SystemExit(f"{wheel.name}: WHEEL has no line {tag_line!r}")
    entries[wheel_file] = metadata.replace(tag_line, f"Tag: {python}-{abi}-{platform}").encode()
    records = []
    for line in entries[record_file].decode().splitlines():
        path = line.rsplit(",", 2)[0]
        if path == wheel_file:
            line = f"{path},{record_hash(entries[wheel_file])},{len(entries[wheel_file])}"
        records.append(line)
    entries[record_file] = ("\n".join(records) + "\n").encode()
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as tagged:
        for filename, data in entries.items():  # RECORD stays last, as it was written
            tagged.writestr(filename, data)
    return target


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    wheel, out_dir = Path(argv[1]), Path(argv[2])
    print(retag(wheel, audited_platform(wheel), out_dir))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
