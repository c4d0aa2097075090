"""Every committed fuzz input (seeds and regression inputs under fuzz/)
replayed through the module and compared with the reference model.

Each file is used as the fuzz targets use it: as Base64 text as it stands
(when it is UTF-8), and as payload bytes encoded to canonical Base64; with
every version the fuzzer tries.
"""
import base64
from pathlib import Path

import pytest

import reference_model as model
from vorlane_binary_parser import BinaryParser

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
INPUTS = sorted(
    p for sub in ("corpus", "regressions") for p in (FUZZ / sub).rglob("*") if p.is_file() and not p.name.startswith(".")
)
VERSIONS = [0, 1, 2, 3, 4, 2**64 - 1]
PARSER = BinaryParser()


def outcome(version, text):
    try:
        return ("ok", PARSER.parse("accel", version, text))
    except ValueError as exc:
        return ("ValueError", str(exc))


def texts(data: bytes):
    yield base64.b64encode(data).decode("ascii")
    try:
        yield data.decode("utf-8")
    except UnicodeDecodeError:
        pass


def test_inputs_are_present():
    assert any("regressions" in p.parts for p in FUZZ.rglob("*") if p.is_dir())
    assert len(INPUTS) >= 20


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.parent.name}/{p.parent.name}/{p.name}")
def test_replay(path):
    data = path.read_bytes()
    for text in texts(data):
        for version in VERSIONS:
            assert outcome(version, text) == model.model_parse("accel", version, text), (version, text[:80])
