"""The metadata footer that DuckDB's extension loader reads from the last 512
bytes of a loadable extension: eight 32-byte fields written last to first
("4", the platform, the C API version, the extension's version, the ABI
type, three empty), then a 256-byte signature, empty here (the extension is
unsigned).

    footer.py FILE PLATFORM EXTENSION_VERSION   append the footer to FILE
    footer.py --wheel WHEEL                      put it back on the extension inside a
                                                 wheel (auditwheel's patchelf rewrites
                                                 the file and drops it), RECORD updated
"""

from __future__ import annotations

import base64
import hashlib
import sys
import zipfile
from pathlib import Path

API_VERSION = "v1.5.6"
EXTENSION_IN_WHEEL = "vantorelle/vantorelle.duckdb_extension"
# Wheel platform tags' machines, as DuckDB names its platforms.
PLATFORMS = {"x86_64": "linux_amd64", "aarch64": "linux_arm64"}


def footer(platform: str, version: str) -> bytes:
    fields = ["4", platform, API_VERSION, version, "C_STRUCT", "", "", ""]
    return b"".join(f.encode()[:32].ljust(32, b"\0") for f in reversed(fields)) + bytes(256)


def has_footer(data: bytes) -> bool:
    tail = data[-512:]
    return len(tail) == 512 and tail[224:256].rstrip(b"\0") == b"4"


def repair_wheel(path: Path) -> bool:
    """Appends the footer to the wheel's extension when it lacks one; whether it did."""
    name = path.name
    version = name.split("-")[1]
    machine = next((m for m in PLATFORMS if name.endswith(f"_{m}.whl")), None)
    if machine is None:
        raise SystemExit(f"{name}: no DuckDB platform for this wheel's platform tag")
    with zipfile.ZipFile(path) as wheel:
        entries = [(info, wheel.read(info)) for info in wheel.infolist()]
    names = [info.filename for info, _ in entries]
    if EXTENSION_IN_WHEEL not in names:
        return False
    index = names.index(EXTENSION_IN_WHEEL)
    data = entries[index][1]
    if has_footer(data):
        return False
    data += footer(PLATFORMS[machine], version)
    entries[index] = (entries[index][0], data)
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    record_index = next(i for i, n in enumerate(names) if n.endswith(".dist-info/RECORD"))
    lines = entries[record_index][1].decode().splitlines()
    lines = [f"{EXTENSION_IN_WHEEL},sha256={digest},{len(data)}"
             if line.startswith(EXTENSION_IN_WHEEL + ",") else line for line in lines]
    entries[record_index] = (entries[record_index][0], ("\n".join(lines) + "\n").encode())
    rewritten = path.with_suffix(".tmp")
    with zipfile.ZipFile(rewritten, "w", zipfile.ZIP_DEFLATED) as wheel:
        for info, content in entries:
            wheel.writestr(info, content)
    rewritten.replace(path)
    return True


def main(argv: list[str]) -> None:
    if len(argv) == 2 and argv[0] == "--wheel":
        if repair_wheel(Path(argv[1])):
            print(f"{argv[1]}: DuckDB extension footer restored")
        return
    if len(argv) != 3:
        raise SystemExit(__doc__)
    target, platform, version = argv
    with open(target, "ab") as extension:
        extension.write(footer(platform, version))


if __name__ == "__main__":
    main(sys.argv[1:])
