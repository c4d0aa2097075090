"""Base64 acceptance and the exact fault reported for malformed text.

Version 7 is unsupported, so valid text shows up as the version error and
invalid text as its Base64 error: the Base64 check comes first.
"""
import base64
import random

import pytest

from conftest import failure
from payloads import b64, v1_bytes, v1_document


def b64_outcome(parse, text):
    kind, message = failure(parse, "accel", 7, text)
    assert kind is ValueError
    prefix = "Parsing failed: "
    assert message.startswith(prefix)
    return message[len(prefix):]


VALID = ["", "QQ==", "QUI=", "QUJD", "QUJDQQ==", "AQMBATICAQTQDwDXBP//Aw==", "+/+/", "AAAA" * 100]


@pytest.mark.parametrize("text", VALID)
def test_canonical_text_is_accepted(parse, text):
    assert b64_outcome(parse, text) == "ProtocolVersionNotSupported(7)"


star44 = "Q" * 44


def with_byte(text, offset, char):
    return text[:offset] + char + text[offset + 1:]


@pytest.mark.parametrize(
    "text, error",
    [
        ("QQ", "InvalidPadding"),
        ("QUI", "InvalidPadding"),
        ("QQ=", "InvalidPadding"),
        ("QUJDQQ=", "InvalidPadding"),
        ("A", "InvalidLength(1)"),
        ("QUJDR", "InvalidLength(5)"),
        ("QUJD=", "InvalidByte(4, 61)"),
        ("QUJD\n", "InvalidByte(4, 10)"),
        ("QUJD\r\n", "InvalidByte(4, 13)"),
        ("Q!JD\n", "InvalidByte(4, 10)"),
        ("Q!JDQUJD", "InvalidByte(1, 33)"),
        ("QUJD QUJD", "InvalidByte(4, 32)"),
        (with_byte(with_byte(star44, 20, "*"), 33, "*"), "InvalidByte(20, 42)"),
        (with_byte(star44, 33, "*"), "InvalidByte(33, 42)"),
        ("QQ==QUJD", "InvalidByte(2, 61)"),
        ("====", "InvalidByte(0, 61)"),
        ("Q===", "InvalidByte(1, 61)"),
        ("QQ=A", "InvalidByte(2, 61)"),
        ("QQ=!", "InvalidByte(2, 61)"),
        ("QU!=", "InvalidByte(2, 33)"),
        ("QUJ-", "InvalidByte(3, 45)"),
        ("QUJ_", "InvalidByte(3, 95)"),
        ("QR==", "InvalidLastSymbol(1, 82)"),
        ("Zm9=", "InvalidLastSymbol(2, 57)"),
        ("QUJ\u00e9", "InvalidByte(4, 169)"),  # the last byte of a 5-byte text
        ("QUJD\u00e9", "InvalidByte(4, 195)"),
        ("\u20acAAA", "InvalidByte(0, 226)"),  # offsets count UTF-8 bytes
        ("AAAA\u20acA", "InvalidByte(4, 226)"),
        ("AA\u20ac=", "InvalidByte(2, 226)"),
        ("QUJD\t", "InvalidByte(4, 9)"),
        ("QUJD\x00AAA", "InvalidByte(4, 0)"),
        # 5 bytes whose last byte is a symbol: the body's space is what fails.
        (" QUJD", "InvalidByte(0, 32)"),
    ],
)
def test_malformed_text(parse, text, error):
    assert b64_outcome(parse, text) == f"B64Error({error})"


def test_offset_in_a_long_text_has_no_grouping(parse):
    text = with_byte("A" * 2000, 1234, " ")
    assert b64_outcome(parse, text) == "B64Error(InvalidByte(1234, 32))"


@pytest.mark.parametrize("length", range(0, 70))
def test_every_offset_of_a_bad_byte_in_the_body(parse, length):
    text = base64.b64encode(bytes(range(length))).decode()
    body = len(text) - 4 if text else 0
    for offset in range(body):
        assert b64_outcome(parse, with_byte(text, offset, "%")) == f"B64Error(InvalidByte({offset}, 37))"


def test_random_bytes_round_trip_as_version_1_payload(parse):
    rng = random.Random(7)
    for _ in range(200):
        ts, temp = rng.randrange(-(2**63), 2**63), rng.randrange(-32768, 32768)
        samples = [tuple(rng.randrange(-32768, 32768) for _ in range(3)) for _ in range(rng.randrange(6))]
        tail = bytes(rng.randrange(256) for _ in range(rng.randrange(5)))
        assert parse("accel", 1, b64(v1_bytes(ts, temp, samples) + tail)) == v1_document(ts, temp, samples)
