"""The source folders form layers, and every include points down (or within
its own folder): a lower layer never includes a higher one, and the three
front ends do not include each other."""
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
# Lowest first; folders on one level may not include each other.
LAYERS = [
    {"common", "arrow"},  # arrow: the C data interface's structures alone
    {"base64", "wire"},
    {"accel"},    # records: read from the wire, no JSON
    {"json"},     # the reference writer, rendering records
    {"fused"},    # the fused decode-and-render fast path
    {"binding", "cli", "batch"},
]
LEVEL = {folder: i for i, level in enumerate(LAYERS) for folder in level}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([\w]+)/', re.M)


def includes():
    for path in sorted(SRC.glob("*/*")):
        if path.suffix in {".h", ".cpp"}:
            for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
                yield path.parent.name, target, path.relative_to(SRC)


def test_every_source_folder_has_a_layer():
    # Folders of C++ code; src/schema holds only the installed JSON Schema.
    folders = {p.name for p in SRC.iterdir() if any(p.glob("*.h")) or any(p.glob("*.cpp"))}
    assert folders == set(LEVEL)


@pytest.mark.parametrize("folder,target,path", list(includes()), ids=lambda v: str(v))
def test_include_points_down(folder, target, path):
    assert target in LEVEL, f"{path} includes from unknown folder {target}/"
    if target != folder:
        assert LEVEL[target] < LEVEL[folder], f"{path} includes {target}/, a layer not below it"
