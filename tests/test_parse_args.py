"""Binding and conversion of parse's arguments, and the order of checks."""
import sys

import pytest

from vorlane_binary_parser import BinaryParser
from conftest import failure

EXAMPLE = "AQMBATICAQTQDwDXBP//Aw=="
EXAMPLE_DOC = (
    '{"Accel":{"V3":{"range":"R4G","freq":"F100Hz","noise":"LowNoise","antialias":"QuarterFreq",'
    '"acc_temp":25,"samples":[{"x":-1,"y":2,"z":1000},{"x":0,"y":-300,"z":-32768}]}}}'
)
P = "BinaryParser.parse()"


def test_worked_example_by_position_and_by_keyword(parse):
    assert parse("accel", 3, EXAMPLE) == EXAMPLE_DOC
    assert len(EXAMPLE_DOC) == 171
    assert parse(kind="accel", version=3, b64_data=EXAMPLE) == EXAMPLE_DOC
    assert parse(b64_data=EXAMPLE, kind="accel", version=3) == EXAMPLE_DOC
    assert parse("accel", b64_data=EXAMPLE, version=3) == EXAMPLE_DOC
    assert BinaryParser.parse(BinaryParser(), "accel", 3, EXAMPLE) == EXAMPLE_DOC
    assert type(parse("accel", 3, EXAMPLE)) is str


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{P} missing 3 required positional arguments: 'kind', 'version', and 'b64_data'"),
        (("accel",), {}, f"{P} missing 2 required positional arguments: 'version' and 'b64_data'"),
        (("accel", 3), {}, f"{P} missing 1 required positional argument: 'b64_data'"),
        ((), {"version": 3}, f"{P} missing 2 required positional arguments: 'kind' and 'b64_data'"),
        ((), {"b64_data": ""}, f"{P} missing 2 required positional arguments: 'kind' and 'version'"),
        ((), {"kind": "accel", "b64_data": ""}, f"{P} missing 1 required positional argument: 'version'"),
        (("accel", 3, "", 4), {}, f"{P} takes 3 positional arguments but 4 were given"),
        (("accel", 3, "", 4), {"mode": 1}, f"{P} takes 3 positional arguments but 4 were given"),
        (("a", 1, "", 4, 5), {}, f"{P} takes 3 positional arguments but 5 were given"),
        (("accel", 3, ""), {"kind": "accel"}, f"{P} got multiple values for argument 'kind'"),
        (("accel",), {"kind": "accel"}, f"{P} got multiple values for argument 'kind'"),
        (("accel", 3, ""), {"mode": 1}, f"{P} got an unexpected keyword argument 'mode'"),
        ((), {"mode": 1}, f"{P} got an unexpected keyword argument 'mode'"),
        # The first bad keyword ends binding; later ones are not looked at.
        ((), {"kind": "accel", "zzz": 1, "kind2": 2}, f"{P} got an unexpected keyword argument 'zzz'"),
        (("accel",), {"mode": 1, "kind": "x"}, f"{P} got an unexpected keyword argument 'mode'"),
        (("accel",), {"kind": "x", "mode": 1}, f"{P} got multiple values for argument 'kind'"),
        # Names compare byte for byte.
        ((), {"Kind": "accel", "version": 3, "b64_data": ""}, f"{P} got an unexpected keyword argument 'Kind'"),
        ((), {"k\u00efnd": 1}, f"{P} got an unexpected keyword argument 'k\u00efnd'"),
    ],
)
def test_binder_messages(parse, args, kwargs, message):
    assert failure(parse, *args, **kwargs) == (TypeError, message)


def test_unexpected_keyword_with_lone_surrogate_is_shown_leniently(parse):
    assert failure(parse, "accel", 3, "", **{"a\udc80b": 1}) == (
        TypeError,
        f"{P} got an unexpected keyword argument 'a\ufffdb'",
    )


def test_unexpected_keyword_whose_str_fails_is_reported_as_unprintable(parse):
    class Name(str):
        def __str__(self):
            raise RuntimeError("no str for you")

    hooked = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = hooked.append
    try:
        result = failure(parse, "accel", 3, "", **{Name("mode"): 1})
    finally:
        sys.unraisablehook = old_hook
    assert result == (TypeError, f"{P} got an unexpected keyword argument '<unprintable Name object>'")
    assert len(hooked) == 1 and isinstance(hooked[0].exc_value, RuntimeError)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "version, expected",
    [
        (True, "V1"),
        (False, "ProtocolVersionNotSupported(0)"),
        (Index(2), "V2"),
        (MyInt(3), "V3"),
        (3, "V3"),
        (2**64 - 1, "ProtocolVersionNotSupported(18446744073709551615)"),
        (2**63, "ProtocolVersionNotSupported(9223372036854775808)"),
        (Index(2**64 - 1), "ProtocolVersionNotSupported(18446744073709551615)"),
        (4, "ProtocolVersionNotSupported(4)"),
    ],
)
def test_version_conversion(parse, version, expected):
    try:
        text = parse("accel", version, "AQAAAAAA")
    except ValueError as exc:
        assert str(exc) == f"Parsing failed: {expected}"
    else:
        assert text.startswith(f'{{"Accel":{{"{expected}":')


@pytest.mark.parametrize(
    "version, exc_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (Index(-1), OverflowError, "can't convert negative int to unsigned"),
        (1.0, TypeError, "argument 'version': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'version': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'version': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_version_conversion_failures(parse, version, exc_type, message):
    got_type, got_message = failure(parse, "accel", version, "")
    assert got_type is exc_type
    if exc_type is TypeError:
        assert got_message == message
    else:
        # The interpreter's own message, with no argument name added.
        assert "version" not in got_message and message in got_message


def test_index_errors_pass_through_or_are_rewrapped(parse):
    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    class MyTypeError(TypeError):
        pass

    assert failure(parse, "accel", Raises(ValueError("bad index")), "") == (ValueError, "bad index")
    # Only an exact TypeError is rewrapped.
    assert failure(parse, "accel", Raises(MyTypeError("sub")), "") == (MyTypeError, "sub")

    cause = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        parse("accel", Raises(inner), "")
    assert str(info.value) == "argument 'version': inner"
    assert info.value.__cause__ is cause
    assert info.value.args == ("argument 'version': inner",)

    class BadIndex:
        def __index__(self):
            return 1.5

    got_type, got_message = failure(parse, "accel", BadIndex(), "")
    assert got_type is TypeError and got_message.startswith("argument 'version': ")


@pytest.mark.parametrize(
    "kind, b64_data, message",
    [
        (3, "", "argument 'kind': 'int' object cannot be converted to 'PyString'"),
        (b"accel", "", "argument 'kind': 'bytes' object cannot be converted to 'PyString'"),
        (None, "", "argument 'kind': 'NoneType' object cannot be converted to 'PyString'"),
        ("accel", b"AAAA", "argument 'b64_data': 'bytes' object cannot be converted to 'PyString'"),
        ("accel", bytearray(b"AAAA"), "argument 'b64_data': 'bytearray' object cannot be converted to 'PyString'"),
        ("accel", Index(1), "argument 'b64_data': 'Index' object cannot be converted to 'PyString'"),
    ],
)
def test_text_conversion_failures(parse, kind, b64_data, message):
    assert failure(parse, kind, 3, b64_data) == (TypeError, message)


def test_type_name_is_the_qualified_name(parse):
    class Outer:
        class Inner:
            pass

    assert failure(parse, Outer.Inner(), 3, "") == (
        TypeError,
        "argument 'kind': 'test_type_name_is_the_qualified_name.<locals>.Outer.Inner' object "
        "cannot be converted to 'PyString'",
    )


def test_lone_surrogates_raise_the_interpreters_unicode_error(parse):
    with pytest.raises(UnicodeEncodeError):
        parse("acc\udc80el", 3, "")
    with pytest.raises(UnicodeEncodeError):
        parse("accel", 3, "AAAA\ud800")


def test_str_subclasses_are_accepted(parse):
    assert parse(MyStr("accel"), 3, MyStr(EXAMPLE)) == EXAMPLE_DOC


@pytest.mark.parametrize(
    "kind",
    ["Accel", "", "accel ", " accel", "ACCEL", "acce", "accell", "accel\x00", "\u00e1ccel", "x" * 1000],
)
def test_unknown_kinds_are_quoted_verbatim(parse, kind):
    assert failure(parse, kind, 3, EXAMPLE) == (ValueError, f"Unknown kind: '{kind}'. Expected 'accel'.")


@pytest.mark.parametrize(
    "args, exc_type, message_start",
    [
        # Conversion errors come before the kind check...
        (("bogus", -1, ""), OverflowError, ""),
        (("bogus", 3, b""), TypeError, "argument 'b64_data'"),
        ((3, -1, b""), TypeError, "argument 'kind'"),
        ((3, 1.5, ""), TypeError, "argument 'kind'"),
        (("accel", 1.5, b""), TypeError, "argument 'version'"),
        # ...the kind check before decoding...
        (("bogus", 99, "!!"), ValueError, "Unknown kind: 'bogus'"),
        # ...and Base64 before the version.
        (("accel", 7, "QUJD\n"), ValueError, "Parsing failed: B64Error(InvalidByte(4, 10))"),
        (("accel", 9, ""), ValueError, "Parsing failed: ProtocolVersionNotSupported(9)"),
    ],
)
def test_order_of_checks(parse, args, exc_type, message_start):
    got_type, got_message = failure(parse, *args)
    assert got_type is exc_type
    assert got_message.startswith(message_start)


def test_exceptions_carry_only_their_message(parse):
    with pytest.raises(ValueError) as info:
        parse("accel", 0, "")
    assert info.value.args == ("Parsing failed: ProtocolVersionNotSupported(0)",)
    with pytest.raises(TypeError) as info:
        parse()
    assert len(info.value.args) == 1


def test_wrong_instance_is_refused_before_the_call():
    with pytest.raises(TypeError):
        BinaryParser.parse(object(), "accel", 3, EXAMPLE)


def test_instance_stays_usable_after_every_kind_of_failure(parser):
    bad_calls = [
        lambda: parser.parse(),
        lambda: parser.parse("accel", 3, "", 1),
        lambda: parser.parse("accel", -1, ""),
        lambda: parser.parse("accel", 3, b""),
        lambda: parser.parse("x", 3, ""),
        lambda: parser.parse("accel", 3, "!!!!"),
        lambda: parser.parse("accel", 3, "AAAA"),
        lambda: parser.parse("accel", 5, "AAAA"),
        lambda: parser.parse("acc\udc80el", 3, ""),
    ]
    for call in bad_calls:
        with pytest.raises((TypeError, ValueError, OverflowError, UnicodeEncodeError)):
            call()
        assert parser.parse("accel", 3, EXAMPLE) == EXAMPLE_DOC


def test_arguments_are_not_retained(parse):
    kind, data = "accel" + "", "".join(["AQMBATICAQTQ", "DwDXBP//Aw=="])
    version = 3
    before = (sys.getrefcount(kind), sys.getrefcount(data))
    for _ in range(1000):
        parse(kind, version, data)
        with pytest.raises(ValueError):
            parse(kind, 0, data)
    assert (sys.getrefcount(kind), sys.getrefcount(data)) == before
