"""Every example in the README's table of error messages is what parse raises."""
import re
from pathlib import Path

import pytest

from vorlane_binary_parser import BinaryParser

README = Path(__file__).resolve().parent.parent / "README.md"
ROW = re.compile(r"^\| `(?P<type>[\w.]+)` \|.*\| `(?P<call>[^`]+)` → `(?P<message>[^`]*)` \|$")


def rows():
    text = README.read_text(encoding="utf-8")
    section = text.split("## Error messages", 1)[1].split("\n## ", 1)[0]
    found = [m.groupdict() for m in map(ROW.match, section.splitlines()) if m]
    return found


def test_table_covers_every_message_form():
    examples = rows()
    messages = [r["message"] for r in examples]
    for form in ["Unknown kind", "ProtocolVersionNotSupported", "InvalidByte", "InvalidLength",
                 "InvalidLastSymbol", "InvalidPadding", "DeserializeUnexpectedEnd",
                 "DeserializeBadVarint", "SerdeDeCustom", "takes 3 positional",
                 "unexpected keyword", "multiple values", "missing 2 required",
                 "cannot be converted to 'PyString'", "argument 'version': ",
                 "__new__() takes 0", "negative int", "surrogates not allowed"]:
        assert any(form in m for m in messages), form


@pytest.mark.parametrize("row", rows(), ids=lambda r: r["call"])
def test_example_raises_the_documented_message(row):
    parser = BinaryParser()
    namespace = {"parser": parser, "parse": parser.parse, "BinaryParser": BinaryParser}
    with pytest.raises(BaseException) as info:
        eval(row["call"], namespace)  # noqa: S307 - the README's own examples
    assert type(info.value).__name__ == row["type"]
    assert str(info.value) == row["message"]
