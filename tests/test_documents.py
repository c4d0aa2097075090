"""End-to-end documents and payload errors for versions 1, 2 and 3."""
import json
import random

import pytest

from conftest import failure
from payloads import (
    b64,
    i16,
    settings_bytes,
    settings_document,
    v1_bytes,
    v1_document,
    varint,
)

V3_EXAMPLE = bytes.fromhex("0103010132020104d00f00d704ffff03")
V3_RECORD = (
    '{"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq","acc_temp":25,'
    '"samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]}'
)
V1_EXAMPLE = bytes.fromhex("f6a1abfef962090120 1f8010".replace(" ", ""))


def error_of(parse, version, data):
    kind, message = failure(parse, "accel", version, b64(data))
    assert kind is ValueError
    return message


@pytest.mark.parametrize(
    "version, data, document",
    [
        (3, V3_EXAMPLE, '{"Accel":{"V3":' + V3_RECORD + "}}"),
        (2, V3_EXAMPLE, '{"Accel":{"V2":' + V3_RECORD + "}}"),
        (1, V3_EXAMPLE, '{"Accel":{"V1":{"timestamp":-1,"acc_temp":-2,"samples":[{"x":-1,"y":25,"z":1}]}}}'),
        (1, V1_EXAMPLE, '{"Accel":{"V1":{"timestamp":1700000000123,"acc_temp":-5,"samples":[{"x":16,"y":-16,"z":1024}]}}}'),
        (1, bytes.fromhex("010000"), '{"Accel":{"V1":{"timestamp":-1,"acc_temp":0,"samples":[]}}}'),
        (1, bytes(3), '{"Accel":{"V1":{"timestamp":0,"acc_temp":0,"samples":[]}}}'),
        (3, bytes(6), '{"Accel":{"V3":{"range":"R2G","freq":"F12_5Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}}'),
        (2, bytes(6), '{"Accel":{"V2":{"range":"R2G","freq":"F12_5Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}}'),
        (1, bytes.fromhex("ffffffffffffffffff01") + bytes(2), '{"Accel":{"V1":{"timestamp":-9223372036854775808,"acc_temp":0,"samples":[]}}}'),
        (1, bytes.fromhex("feffffffffffffffff01") + bytes(2), '{"Accel":{"V1":{"timestamp":9223372036854775807,"acc_temp":0,"samples":[]}}}'),
        (3, bytes.fromhex("02050201feff0301ffff03feff0300"), '{"Accel":{"V3":{"range":"R8G","freq":"F400Hz","noise":"UltraLowNoise","antialias":"QuarterFreq","acc_temp":32767,"samples":[{"x":-32768,"y":32767,"z":0}]}}}'),
        # Over-long encodings within the byte limit are accepted.
        (3, bytes.fromhex("8000818080800000008080000080808000"), '{"Accel":{"V3":{"range":"R2G","freq":"F25Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}}'),
    ],
)
def test_documents(parse, version, data, document):
    assert parse("accel", version, b64(data)) == document
    # Trailing bytes are never read.
    assert parse("accel", version, b64(data + b"\xff\x80\x00garbage")) == document


def test_worked_example_text(parse):
    assert parse("accel", 3, "AQMBATICAQTQDwDXBP//Aw==") == '{"Accel":{"V3":' + V3_RECORD + "}}"
    assert parse("accel", 1, "AQAA") == '{"Accel":{"V1":{"timestamp":-1,"acc_temp":0,"samples":[]}}}'


END = "Parsing failed: PostcardError(DeserializeUnexpectedEnd)"
BAD = "Parsing failed: PostcardError(DeserializeBadVarint)"
CUSTOM = "Parsing failed: PostcardError(SerdeDeCustom)"


@pytest.mark.parametrize(
    "versions, data, message",
    [
        ((1, 2, 3), b"", END),
        ((2, 3), b"\x03", CUSTOM),
        ((2, 3), b"\x00\x06", CUSTOM),
        ((2, 3), b"\x00\x07", CUSTOM),  # the bad tag is reported before the end is noticed
        ((2, 3), b"\x00\x00\x03", CUSTOM),
        ((2, 3), b"\x00\x00\x00\x02", CUSTOM),
        ((2, 3), bytes.fromhex("ffffffff0f"), CUSTOM),
        ((2, 3), bytes.fromhex("8080808010"), BAD),
        ((2, 3), bytes.fromhex("0000000080800400"), BAD),
        ((2, 3), bytes.fromhex("00000000808080"), BAD),
        ((2, 3), bytes.fromhex("0000000000") + varint(2) + bytes.fromhex("0104d00f00d7"), END),
        ((2, 3), bytes.fromhex("0000000000") + bytes.fromhex("ffffffffffffffffff01") + b"\x01\x02\x03", END),
        ((2, 3), bytes.fromhex("0000000000") + bytes.fromhex("80808080808080808002"), BAD),
        ((2, 3), bytes.fromhex("0000000000") + varint(1000000) + bytes(10), END),
        ((2, 3), bytes.fromhex("00000000"), END),
        ((2, 3), bytes.fromhex("0000000080"), END),
        ((1,), bytes.fromhex("ffffffffffffffffff02"), BAD),
        ((1,), bytes.fromhex("ffffffffffffffffff81"), BAD),
        ((1,), bytes.fromhex("ffffffffffffffffff"), END),
        ((1,), bytes.fromhex("00ffff04"), BAD),
        ((1,), bytes.fromhex("000003") + bytes(6), END),
        ((1,), bytes.fromhex("000001") + bytes.fromhex("00ffff07"), BAD),
    ],
)
def test_payload_errors(parse, versions, data, message):
    for version in versions:
        assert error_of(parse, version, data) == message


def test_truncation_at_every_byte_fails_cleanly(parse):
    data = settings_bytes(1, 3, 1, 1, -300, [(1, -2, 3), (-32768, 32767, 0), (1000, 0, -1)])
    for version in (2, 3):
        for cut in range(len(data)):
            assert error_of(parse, version, data[:cut]) == END
    data = v1_bytes(-(2**63), 77, [(5, 6, 7)] * 4)
    for cut in range(len(data)):
        assert error_of(parse, 1, data[:cut]) == END


def test_versions_2_and_3_agree_on_every_byte_string(parse):
    rng = random.Random(3)
    for _ in range(2000):
        data = bytes(rng.choice([0, 1, 2, 3, 5, 6, 0x7F, 0x80, 0xFF, rng.randrange(256)]) for _ in range(rng.randrange(16)))
        outcomes = []
        for version in (2, 3):
            try:
                outcomes.append(parse("accel", version, b64(data)).replace('"V2"', '"V3"'))
            except ValueError as exc:
                outcomes.append(str(exc))
        assert outcomes[0] == outcomes[1], data.hex()


def test_every_enum_combination(parse):
    for rng in range(3):
        for freq in range(6):
            for noise in range(3):
                for aa in range(2):
                    for version in (2, 3):
                        data = settings_bytes(rng, freq, noise, aa, 0, [])
                        assert parse("accel", version, b64(data)) == settings_document(version, rng, freq, noise, aa, 0, [])


def realistic_samples(rng, n):
    out = []
    for _ in range(n):
        if rng.random() < 0.001:
            out.append((rng.choice([-32768, 32767]), rng.choice([-32768, 32767]), rng.choice([-32768, 32767])))
        else:
            out.append((int(rng.gauss(0, 200)), int(rng.gauss(0, 200)), int(rng.gauss(1000, 200))))
    return [tuple(max(-32768, min(32767, v)) for v in s) for s in out]


@pytest.mark.parametrize("version", [1, 2, 3])
def test_random_valid_payloads(parse, version):
    rng = random.Random(version)
    for _ in range(300):
        samples = realistic_samples(rng, rng.randrange(20))
        temp = rng.randrange(-32768, 32768)
        if version == 1:
            ts = rng.choice([0, -1, 2**63 - 1, -(2**63), rng.randrange(-(2**63), 2**63)])
            data, doc = v1_bytes(ts, temp, samples), v1_document(ts, temp, samples)
        else:
            settings = (rng.randrange(3), rng.randrange(6), rng.randrange(3), rng.randrange(2))
            data = settings_bytes(*settings, temp, samples)
            doc = settings_document(version, *settings, temp, samples)
        assert parse("accel", version, b64(data)) == doc


@pytest.mark.large
@pytest.mark.parametrize("count", [200_000, 600_000])
def test_large_payloads(parse, count):
    # 600,000 samples is several MiB of samples, far past the up-front
    # reservation and the JSON writer's first buffers.
    rng = random.Random(count)
    samples = realistic_samples(rng, count)
    for version in (1, 3):
        if version == 1:
            data, doc = v1_bytes(123, -4, samples), v1_document(123, -4, samples)
        else:
            data, doc = settings_bytes(2, 4, 0, 1, -4, samples), settings_document(3, 2, 4, 0, 1, -4, samples)
        out = parse("accel", version, b64(data))
        assert out == doc
        assert len(json.loads(out)["Accel"][f"V{version}"]["samples"]) == count


def test_forged_counts_fail_without_reserving(parse):
    head = bytes(5)
    for count in (2**64 - 1, 2**63, 10**12, 174763, 200000):
        for tail in (b"", bytes(3), bytes(30)):
            assert error_of(parse, 3, head + varint(count) + tail) == END


def test_documents_have_no_whitespace(parse):
    data = settings_bytes(0, 1, 2, 1, -1, [(1, 2, 3)] * 50)
    out = parse("accel", 3, b64(data))
    assert not any(c in out for c in " \t\r\n")
    assert json.loads(out) == json.loads(settings_document(3, 0, 1, 2, 1, -1, [(1, 2, 3)] * 50))
