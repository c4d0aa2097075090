"""The JSON Schema in docs/ describes every document parse returns."""
import copy
import json
from pathlib import Path

import jsonschema
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from payloads import (ANTIALIASES, FREQS, NOISES, RANGES, b64, settings_bytes, v1_bytes)

import vorlane_binary_parser

PARSE = vorlane_binary_parser.BinaryParser().parse

SCHEMA_PATH = Path(__file__).resolve().parent.parent / "docs" / "document.schema.json"
I16_MIN, I16_MAX = -(2**15), 2**15 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1


@pytest.fixture(scope="module")
def validator():
    schema = json.loads(SCHEMA_PATH.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def errors(validator, document):
    return list(validator.iter_errors(document))


i16 = st.integers(I16_MIN, I16_MAX)
sample_runs = st.lists(st.tuples(i16, i16, i16), max_size=20)


def decoded(version, data: bytes):
    return json.loads(PARSE("accel", version, b64(data)))


# Documents at the limits of every value, with and without samples.
EXTREMES = [
    (1, v1_bytes(I64_MIN, I16_MIN, [])),
    (1, v1_bytes(I64_MAX, I16_MAX, [(I16_MIN, I16_MAX, 0)])),
    (1, v1_bytes(0, 0, [])),
    (2, settings_bytes(0, 0, 0, 0, I16_MIN, [])),
    (2, settings_bytes(2, 5, 2, 1, I16_MAX, [(I16_MAX, I16_MIN, -1)] * 3)),
    (3, settings_bytes(0, 0, 0, 0, 0, [])),
    (3, settings_bytes(2, 5, 2, 1, I16_MIN, [(I16_MIN, I16_MIN, I16_MIN)])),
    (3, bytes.fromhex("0103010132020104d00f00d704ffff03")),
]


@pytest.mark.parametrize("version, data", EXTREMES)
def test_extreme_documents_are_valid(validator, version, data):
    document = decoded(version, data)
    assert errors(validator, document) == []
    assert list(document["Accel"]) == [f"V{version}"]


@pytest.mark.parametrize("version", [2, 3])
@pytest.mark.parametrize("tags", [(r, f, n, a) for r in range(3) for f in range(6)
                                  for n in range(3) for a in range(2)][::7] + [(2, 5, 2, 1)])
def test_every_setting_name_is_in_the_schema(validator, version, tags):
    assert errors(validator, decoded(version, settings_bytes(*tags, 1, [(1, 2, 3)]))) == []


@settings(max_examples=60, deadline=None)
@given(timestamp=st.integers(I64_MIN, I64_MAX), acc_temp=i16, samples=sample_runs)
def test_generated_v1_documents_are_valid(validator, timestamp, acc_temp, samples):
    assert errors(validator, decoded(1, v1_bytes(timestamp, acc_temp, samples))) == []


@settings(max_examples=60, deadline=None)
@given(version=st.sampled_from([2, 3]), rng=st.integers(0, 2), freq=st.integers(0, 5),
       noise=st.integers(0, 2), antialias=st.integers(0, 1), acc_temp=i16, samples=sample_runs)
def test_generated_settings_documents_are_valid(validator, version, rng, freq, noise,
                                                antialias, acc_temp, samples):
    data = settings_bytes(rng, freq, noise, antialias, acc_temp, samples)
    assert errors(validator, decoded(version, data)) == []


V3_DOC = {"Accel": {"V3": {"range": "R4G", "freq": "F100Hz", "noise": "LowNoise",
                           "antialias": "QuarterFreq", "acc_temp": 25,
                           "samples": [{"x": -1, "y": 2, "z": 1000}]}}}
V1_DOC = {"Accel": {"V1": {"timestamp": 5, "acc_temp": 0, "samples": []}}}


def _with(doc, path, change):
    doc = copy.deepcopy(doc)
    target = doc
    for key in path[:-1]:
        target = target[key]
    change(target, path[-1])
    return doc


def _set(value):
    def change(target, key):
        target[key] = value
    return change


def _rename(new):
    def change(target, key):
        target[new] = target.pop(key)
    return change


def _drop(target, key):
    del target[key]


REC = ("Accel", "V3")
BAD = [
    ("record member renamed", V3_DOC, REC + ("acc_temp",), _rename("temperature")),
    ("extra record member", V3_DOC, REC + ("range",), lambda t, k: t.update(extra=1)),
    ("record member missing", V3_DOC, REC + ("noise",), _drop),
    ("sample member renamed", V3_DOC, REC + ("samples", 0, "z"), _rename("w")),
    ("sample member missing", V3_DOC, REC + ("samples", 0, "y"), _drop),
    ("sample above int16", V3_DOC, REC + ("samples", 0, "x"), _set(I16_MAX + 1)),
    ("temperature below int16", V3_DOC, REC + ("acc_temp",), _set(I16_MIN - 1)),
    ("temperature as text", V3_DOC, REC + ("acc_temp",), _set("25")),
    ("fractional value", V3_DOC, REC + ("samples", 0, "x"), _set(1.5)),
    ("unknown range", V3_DOC, REC + ("range",), _set("R16G")),
    ("unknown frequency", V3_DOC, REC + ("freq",), _set("F12.5Hz")),
    ("enum by number", V3_DOC, REC + ("noise",), _set(1)),
    ("unknown antialias", V3_DOC, REC + ("antialias",), _set("Off")),
    ("samples not an array", V3_DOC, REC + ("samples",), _set({})),
    ("unknown version key", V3_DOC, ("Accel", "V3"), _rename("V4")),
    ("two version keys", V3_DOC, ("Accel", "V2"), _set(V3_DOC["Accel"]["V3"])),
    ("unknown top-level key", V3_DOC, ("Accel",), _rename("Gyro")),
    ("extra top-level key", V3_DOC, ("Other",), _set(1)),
    ("timestamp above int64", V1_DOC, ("Accel", "V1", "timestamp"), _set(I64_MAX + 1)),
    ("timestamp below int64", V1_DOC, ("Accel", "V1", "timestamp"), _set(I64_MIN - 1)),
    ("settings member in a v1 record", V1_DOC, ("Accel", "V1", "range"), _set("R2G")),
    ("v1 record under V3", V1_DOC, ("Accel", "V1"), _rename("V3")),
]


@pytest.mark.parametrize("what, doc, path, change", BAD, ids=[b[0] for b in BAD])
def test_wrong_documents_are_rejected(validator, what, doc, path, change):
    assert errors(validator, doc) == []
    assert errors(validator, _with(doc, path, change)) != [], what


def test_enum_lists_match_the_documented_names(validator):
    defs = validator.schema["$defs"]
    assert [defs[name]["enum"] for name in
            ("AccelRange", "AccelFreq", "AccelNoise", "AccelAntialias")] == \
        [RANGES, FREQS, NOISES, ANTIALIASES]


# ---- the schema as installed users reach it
def test_installed_schema_is_the_documented_one():
    import vorlane_binary_parser_schema as installed

    assert installed.schema_text() == SCHEMA_PATH.read_text(encoding="utf-8")
    assert installed.load_schema() == json.loads(SCHEMA_PATH.read_text())
    # Each call hands out a copy of its own.
    first = installed.load_schema()
    first["$defs"].clear()
    assert installed.load_schema()["$defs"]


@pytest.mark.parametrize("version, data", EXTREMES[:1] + EXTREMES[3:4])
def test_installed_schema_validates_documents(version, data):
    import vorlane_binary_parser_schema as installed

    validator = jsonschema.Draft202012Validator(installed.load_schema())
    document = decoded(version, data)
    assert errors(validator, document) == []
    document["Accel"][f"V{version}"]["acc_temp"] = I16_MAX + 1
    assert errors(validator, document) != []
