"""The module against the independent reference model, on generated input.

Documents and error messages must match to the byte. The generators make
valid payloads of every version with extreme values, over-long varints,
wrong counts and trailing bytes, and then damage them: truncation at every
byte, flipped bits, inserted and deleted bytes, edited Base64 text, random
and non-ASCII text.
"""
import base64
import os

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import reference_model as model
from conftest import failure
from vorlane_binary_parser import BinaryParser

PARSER = BinaryParser()
U64_MAX = 2**64 - 1
VERSIONS = st.one_of(st.sampled_from([0, 1, 2, 3, 4, U64_MAX]), st.integers(0, U64_MAX))
# Fewer examples under slow runners (valgrind) through the environment.
EXAMPLES = int(os.environ.get("VORLANE_HYPOTHESIS_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(kind, version, text):
    try:
        return ("ok", PARSER.parse(kind, version, text))
    except ValueError as exc:
        return ("ValueError", str(exc))


def check(version, text, kind="accel"):
    expected = model.model_parse(kind, version, text)
    assert outcome(kind, version, text) == expected, (version, text)
    return expected


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


# ---- generators -----------------------------------------------------------

WIDTH_BYTES = {16: 3, 32: 5, 64: 10}


@st.composite
def varint(draw, value, width):
    """`value` as a varint of `width` bits, sometimes longer than needed, and
    now and then one whose last allowed byte is too large."""
    if draw(st.integers(0, 40)) == 0:
        limit = 2 ** (width - 7 * (WIDTH_BYTES[width] - 1)) - 1
        body = bytes([draw(st.integers(0x80, 0xFF)) for _ in range(WIDTH_BYTES[width] - 1)])
        return body + bytes([draw(st.integers(limit + 1, 0xFF))])
    groups = []
    n = value
    while True:
        groups.append(n & 0x7F)
        n >>= 7
        if not n:
            break
    extra = draw(st.integers(0, WIDTH_BYTES[width] - len(groups)))
    if extra and draw(st.booleans()):
        groups += [0] * extra
    return bytes([g | 0x80 for g in groups[:-1]] + [groups[-1]])


def leb128(n):
    out = bytearray()
    while n >= 0x80:
        out.append(0x80 | n & 0x7F)
        n >>= 7
    return bytes(out + bytes([n]))


def zigzag(v, width):
    return ((v << 1) ^ (v >> (width - 1))) & ((1 << width) - 1)


def edgy(bits):
    lo, hi = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
    edges = [lo, lo + 1, -1, 0, 1, hi - 1, hi, -64, 63, -65, 64, -8192, 8191, -8193, 8192]
    return st.one_of(st.sampled_from(edges), st.integers(lo, hi))


I16 = edgy(16)
I64 = edgy(64)


@st.composite
def samples_part(draw):
    samples = draw(st.lists(st.tuples(I16, I16, I16), max_size=12))
    count = draw(
        st.one_of(
            st.just(len(samples)),
            st.just(len(samples)),
            st.sampled_from([len(samples) + 1, max(len(samples) - 1, 0), U64_MAX, 2**63, 174762, 174763]),
        )
    )
    out = draw(varint(count, 64))
    for s in samples:
        for v in s:
            out += draw(varint(zigzag(v, 16), 16))
    return out


@st.composite
def payload(draw, version):
    """Bytes of a record of `version`, mostly valid, with trailing bytes."""
    if version == 1:
        out = draw(varint(zigzag(draw(I64), 64), 64))
    else:
        out = b""
        for count in (3, 6, 3, 2):
            # Now and then a tag out of range: at the count, or the largest u32.
            if draw(st.integers(0, 15)) == 0:
                tag = draw(st.sampled_from([count, count + 1, 2**32 - 1]))
            else:
                tag = draw(st.integers(0, count - 1))
            out += draw(varint(tag, 32))
    out += draw(varint(zigzag(draw(I16), 16), 16))
    out += draw(samples_part())
    out += draw(st.one_of(st.just(b""), st.binary(max_size=8)))
    return out


@st.composite
def versioned_payload(draw):
    version = draw(st.sampled_from([1, 2, 3]))
    return version, draw(payload(version))


@st.composite
def mutated(draw, data: bytes):
    """`data` with one of: a flipped bit, an inserted byte, a deleted byte, a
    replaced byte."""
    data = bytearray(data)
    how = draw(st.sampled_from(["flip", "insert", "delete", "replace"]))
    if how == "insert" or not data:
        data.insert(draw(st.integers(0, len(data))), draw(st.integers(0, 255)))
    else:
        i = draw(st.integers(0, len(data) - 1))
        if how == "flip":
            data[i] ^= 1 << draw(st.integers(0, 7))
        elif how == "delete":
            del data[i]
        else:
            data[i] = draw(st.integers(0, 255))
    return bytes(data)


TEXT_CHARS = st.one_of(
    st.sampled_from(list("AQgw+/=")),
    st.sampled_from(list(model.ALPHABET)),
    st.sampled_from(list(" \n\r\t-_*!\x00\x7f")),
    st.characters(min_codepoint=0x80, max_codepoint=0x10FFFF, blacklist_categories=["Cs"]),
)


@st.composite
def edited_text(draw, text: str):
    """`text` with characters replaced, inserted or deleted, or cut short."""
    chars = list(text)
    for _ in range(draw(st.integers(1, 3))):
        how = draw(st.sampled_from(["replace", "insert", "delete", "cut"]))
        i = draw(st.integers(0, len(chars)))
        if how == "insert" or not chars:
            chars.insert(i, draw(TEXT_CHARS))
        elif how == "cut":
            chars = chars[:i]
        elif i < len(chars):
            if how == "replace":
                chars[i] = draw(TEXT_CHARS)
            else:
                del chars[i]
    return "".join(chars)


# ---- the model against the documented examples ----------------------------
# These pin the model itself: a model that drifted would make the
# differential tests meaningless.

V3_RECORD = (
    '{"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq","acc_temp":25,'
    '"samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]}'
)
V3_TEXT = "AQMBATICAQTQDwDXBP//Aw=="

DOCUMENTED = [
    (3, V3_TEXT, '{"Accel":{"V3":' + V3_RECORD + "}}"),
    (2, V3_TEXT, '{"Accel":{"V2":' + V3_RECORD + "}}"),
    (1, V3_TEXT, '{"Accel":{"V1":{"timestamp":-1,"acc_temp":-2,"samples":[{"x":-1,"y":25,"z":1}]}}}'),
    (1, "AQAA", '{"Accel":{"V1":{"timestamp":-1,"acc_temp":0,"samples":[]}}}'),
    (1, b64(bytes.fromhex("f6a1abfef9620901201f8010")),
     '{"Accel":{"V1":{"timestamp":1700000000123,"acc_temp":-5,"samples":[{"x":16,"y":-16,"z":1024}]}}}'),
    (1, b64(bytes.fromhex("ffffffffffffffffff01 00 00")),
     '{"Accel":{"V1":{"timestamp":-9223372036854775808,"acc_temp":0,"samples":[]}}}'),
    (1, b64(bytes.fromhex("feffffffffffffffff01 00 00")),
     '{"Accel":{"V1":{"timestamp":9223372036854775807,"acc_temp":0,"samples":[]}}}'),
    (3, b64(bytes(6)),
     '{"Accel":{"V3":{"range":"R2G","freq":"F12_5Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":0,"samples":[]}}}'),
    (3, b64(bytes.fromhex("8000 8180808000 00 00 ffff03 00")),
     '{"Accel":{"V3":{"range":"R2G","freq":"F25Hz","noise":"NormalNoise","antialias":"HalfFreq","acc_temp":-32768,"samples":[]}}}'),
    (0, "AAAA", "ProtocolVersionNotSupported(0)"),
    (4, "AAAA", "ProtocolVersionNotSupported(4)"),
    (U64_MAX, "", "ProtocolVersionNotSupported(18446744073709551615)"),
    (9, "", "ProtocolVersionNotSupported(9)"),
    (7, "QUJD\n", "B64Error(InvalidByte(4, 10))"),
    (1, "", "PostcardError(DeserializeUnexpectedEnd)"),
    (3, "QUJDR", "B64Error(InvalidLength(5))"),
    (3, "QR==", "B64Error(InvalidLastSymbol(1, 82))"),
    (3, "Zm9=", "B64Error(InvalidLastSymbol(2, 57))"),
    (3, "QUJDQQ=", "B64Error(InvalidPadding)"),
    (3, "Q!JD\n", "B64Error(InvalidByte(4, 10))"),
    (3, "QQ==QUJD", "B64Error(InvalidByte(2, 61))"),
    (3, "QQ=!", "B64Error(InvalidByte(2, 61))"),
    (3, "Q===", "B64Error(InvalidByte(1, 61))"),
    (3, "QUJ\u00e9", "B64Error(InvalidByte(4, 169))"),
    (3, "QUJD\u00e9", "B64Error(InvalidByte(4, 195))"),
    (3, "A" * 1234 + " " + "A" * 765, "B64Error(InvalidByte(1234, 32))"),
    (3, b64(bytes([0, 7])), "PostcardError(SerdeDeCustom)"),
    (3, b64(bytes.fromhex("8080808010")), "PostcardError(DeserializeBadVarint)"),
    (3, b64(bytes(4) + bytes.fromhex("808080")), "PostcardError(DeserializeBadVarint)"),
    (1, b64(bytes.fromhex("80808080808080808002")), "PostcardError(DeserializeBadVarint)"),
    (3, b64(bytes(5) + bytes.fromhex("ffffffffffffffffff01") + bytes(3)), "PostcardError(DeserializeUnexpectedEnd)"),
]


@pytest.mark.parametrize("version, text, expected", DOCUMENTED)
def test_model_and_module_give_the_documented_outcome(version, text, expected):
    want = ("ok", expected) if expected.startswith("{") else ("ValueError", "Parsing failed: " + expected)
    assert model.model_parse("accel", version, text) == want
    assert outcome("accel", version, text) == want


# ---- differential ---------------------------------------------------------

@SETTINGS
@given(versioned_payload(), st.booleans())
def test_valid_and_near_valid_payloads(vp, other_version):
    version, data = vp
    if other_version:
        version = {1: 3, 2: 1, 3: 1}[version]
    check(version, b64(data))


@settings(max_examples=max(EXAMPLES // 5, 1), deadline=None)
@given(versioned_payload())
def test_truncated_at_every_byte(vp):
    version, data = vp
    for cut in range(len(data) + 1):
        check(version, b64(data[:cut]))


@SETTINGS
@given(versioned_payload().flatmap(lambda vp: st.tuples(st.just(vp[0]), mutated(vp[1]))))
def test_mutated_bytes(vm):
    version, data = vm
    check(version, b64(data))


@SETTINGS
@given(versioned_payload().flatmap(lambda vp: st.tuples(st.just(vp[0]), edited_text(b64(vp[1])))), VERSIONS)
def test_edited_base64_text(vt, other):
    version, text = vt
    check(version, text)
    check(other, text)


@SETTINGS
@given(st.text(TEXT_CHARS, max_size=40), VERSIONS)
@example("QUJD\u00e9", 3)
@example("\u00e9" * 5, 1)
def test_random_and_non_ascii_text(text, version):
    check(version, text)


@SETTINGS
@given(st.binary(max_size=64), VERSIONS)
def test_arbitrary_bytes(data, version):
    check(version, b64(data))


@SETTINGS
@given(st.text(max_size=8), st.sampled_from(["AAAA", V3_TEXT, "!"]))
def test_kind(kind, text):
    check(3, text, kind=kind)


def test_unencodable_text_is_the_interpreters_error():
    # Lone surrogates have no UTF-8 form: the interpreter's own error, before
    # any decoding, so the model has nothing to say about it.
    kind, message = failure(PARSER.parse, "accel", 3, "QUJD\ud800")
    assert kind is UnicodeEncodeError


@SETTINGS
@given(versioned_payload(), st.integers(0, 1200), st.integers(0, 255))
def test_long_inputs(vp, extra, fill):
    # Trailing bytes of any length: the text runs from a few bytes to well
    # past a kilobyte, so every buffer size the decoder may pick is crossed.
    version, data = vp
    text = b64(data + bytes([fill]) * extra)
    check(version, text)
    check(version, text[:-1])
    check(version, text + "A")


@pytest.mark.parametrize("count", [170, 171, 1000, pytest.param(200000, marks=pytest.mark.large)])
@pytest.mark.parametrize("version", [1, 2, 3])
def test_many_samples(version, count):
    head = bytes(2) if version == 1 else bytes([2, 5, 2, 1, 0x80, 0x80, 0x01])
    body = b"".join(bytes([(i * 2) & 0x7F, 0xFF, 0xFF, 0x03, 0x81, 0x00]) for i in range(count))
    sizes = leb128(count)
    text = b64(head + sizes + body)
    expected = check(version, text)
    assert expected[0] == "ok" and expected[1].count('"x":') == count
    # One byte short: the last sample is cut.
    assert check(version, b64(head + sizes + body[:-1]))[1].endswith("DeserializeUnexpectedEnd)")
