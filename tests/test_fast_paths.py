"""The module's fast paths (block Base64, word-at-a-time samples, the
document written straight into the str) against the plain reference model:
same document or same ValueError message for every input."""
import base64
import random

import pytest
from hypothesis import given, settings, strategies as st

import reference_model
import payloads
import vorlane_binary_parser

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

# One module-wide parser: hypothesis runs many examples per test function.
parse = vorlane_binary_parser.BinaryParser().parse


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except ValueError as exc:
        return "ValueError", str(exc)


def same(version, text):
    assert outcome(parse, "accel", version, text) == reference_model.model_parse("accel", version, text)


i16 = st.one_of(st.integers(-64, 63), st.integers(-4096, 4095), st.integers(-32768, 32767),
                st.sampled_from([-32768, 32767, 0, -1, 8191, -8192]))
samples = st.lists(st.tuples(i16, i16, i16), max_size=120)


def record_bytes(version, draw_tags, acc_temp, sample_list, timestamp):
    if version == 1:
        return payloads.v1_bytes(timestamp, acc_temp, sample_list)
    return payloads.settings_bytes(*draw_tags, acc_temp, sample_list)


@settings(max_examples=300, deadline=None)
@given(version=st.integers(1, 3), tags=st.tuples(st.integers(0, 2), st.integers(0, 5), st.integers(0, 2),
                                                   st.integers(0, 1)),
       acc_temp=i16, sample_list=samples, timestamp=st.integers(-2**63, 2**63 - 1),
       trailing=st.binary(max_size=12))
def test_valid_payloads(version, tags, acc_temp, sample_list, timestamp, trailing):
    data = record_bytes(version, tags, acc_temp, sample_list, timestamp) + trailing
    same(version, payloads.b64(data))


@settings(max_examples=400, deadline=None)
@given(data=st.binary(max_size=200), version=st.sampled_from([0, 1, 2, 3, 4]))
def test_arbitrary_bytes(data, version):
    same(version, payloads.b64(data))


@settings(max_examples=400, deadline=None)
@given(text=st.text(alphabet=st.sampled_from(list(ALPHABET) + ["=", " ", "\n", "-", "é", "_"]),
                    max_size=300),
       version=st.integers(1, 3))
def test_arbitrary_texts(text, version):
    same(version, text)


@pytest.mark.parametrize("version", [1, 3])
def test_payload_cut_at_every_byte(version):
    rng = random.Random(version)
    sample_list = [(rng.randint(-32768, 32767), rng.randint(-500, 500), rng.randint(500, 1500))
                   for _ in range(40)]
    data = record_bytes(version, (1, 3, 1, 1), 25, sample_list, 1700000000123)
    for n in range(len(data) + 1):
        same(version, payloads.b64(data[:n]))


@pytest.mark.parametrize("length", [200, 204, 260])
def test_bad_byte_at_every_position_of_three_blocks(length):
    # 64-, 32- and 16-byte blocks and their boundaries, then the final group.
    rng = random.Random(length)
    good = payloads.b64(bytes(rng.randrange(256) for _ in range(length * 3 // 4)))
    for pos in range(len(good)):
        for byte in range(128):
            ch = chr(byte)
            if ch in ALPHABET:
                continue
            same(3, good[:pos] + ch + good[pos + 1:])
        same(3, good[:pos] + "\u00e9" + good[pos + 1:])


@pytest.mark.parametrize("version", [1, 2, 3])
def test_long_recordings(version):
    rng = random.Random(99 + version)
    sample_list = [(int(rng.gauss(0, 250)), int(rng.gauss(0, 250)), int(rng.gauss(1000, 250)))
                   for _ in range(50000)]
    sample_list[1234] = (-32768, 32767, -32768)
    data = record_bytes(version, (2, 5, 2, 1), -40, sample_list, -5)
    text = payloads.b64(data)
    same(version, text)
    # The same with the count one too high, and with one bad varint late on.
    short = record_bytes(version, (2, 5, 2, 1), -40, sample_list, -5)
    same(version, payloads.b64(short[:-1]))
    broken = bytearray(data)
    broken[-100:-97] = b"\xff\xff\x07"
    same(version, base64.b64encode(bytes(broken)).decode())
