"""The README's and the docs' examples do what the text says they do."""
import re
import shlex
import subprocess
import sysconfig
from pathlib import Path

import pytest

from vorlane_binary_parser import BinaryParser

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TOOL = Path(sysconfig.get_path("scripts")) / "vorlane-decode"
ROW = re.compile(r"^\| `(?P<type>[\w.]+)` \|.*\| `(?P<call>[^`]+)` → `(?P<message>[^`]*)` \|$")


def blocks(path, lang):
    return re.findall(rf"^```{lang}\n(.*?)^```$", path.read_text(encoding="utf-8"), re.M | re.S)


def error_rows():
    text = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    return [m.groupdict() for m in map(ROW.match, text.splitlines()) if m]


def test_error_table_covers_every_message_form():
    messages = [r["message"] for r in error_rows()]
    for form in ["Unknown kind", "ProtocolVersionNotSupported", "InvalidByte", "InvalidLength",
                 "InvalidLastSymbol", "InvalidPadding", "DeserializeUnexpectedEnd",
                 "DeserializeBadVarint", "SerdeDeCustom", "takes 3 positional",
                 "unexpected keyword", "multiple values", "missing 2 required",
                 "cannot be converted to 'PyString'", "argument 'version': ",
                 "__new__() takes 0", "negative int", "surrogates not allowed"]:
        assert any(form in m for m in messages), form


@pytest.mark.parametrize("row", error_rows(), ids=lambda r: r["call"])
def test_error_example_raises_the_documented_message(row):
    parser = BinaryParser()
    namespace = {"parser": parser, "parse": parser.parse, "BinaryParser": BinaryParser}
    with pytest.raises(BaseException) as info:
        eval(row["call"], namespace)  # noqa: S307 - the docs' own examples
    assert type(info.value).__name__ == row["type"]
    assert str(info.value) == row["message"]


@pytest.mark.parametrize("page", ["README.md", "docs/python.md"])
def test_python_example_returns_the_document_shown(page):
    code = blocks(ROOT / page, "python")[0]
    shown = "".join(line[2:].strip() for line in code.splitlines() if line.startswith("# "))
    namespace = {}
    exec(code, namespace)  # noqa: S102 - the docs' own example
    assert namespace["doc"] == shown


@pytest.mark.needs("jsonschema")
def test_schema_example_validates_a_document(monkeypatch):
    code = blocks(ROOT / "docs" / "python.md", "python")[-1]
    monkeypatch.chdir(ROOT)
    exec(code, {"doc": BinaryParser().parse("accel", 1, "AAAAAA==")})  # noqa: S102
    with pytest.raises(Exception, match="required property"):
        exec(code, {"doc": '{"Accel":{"V1":{}}}'})  # noqa: S102


def test_readme_tool_example_prints_what_it_shows(tmp_path):
    example = next(b for b in blocks(README, "sh") if b.startswith("$ "))
    command, *shown = example.splitlines()
    argv = shlex.split(command[2:])
    assert argv[0] == ".venv/bin/vorlane-decode" and argv[-2] == ">"
    run = subprocess.run([TOOL, *argv[1:-2]], cwd=ROOT, capture_output=True, check=False)
    assert run.returncode == 1
    assert run.stderr.decode().splitlines() == shown
    assert run.stdout.count(b"\n") == 2


def test_readme_first_block_is_the_two_commands():
    first = blocks(README, "sh")[0].splitlines()
    assert len(first) == 2
    assert first[0].startswith("scripts/setup && .venv/bin/vorlane-decode ")
    assert first[1] == "scripts/test"


@pytest.mark.parametrize("page", [README, *sorted((ROOT / "docs").glob("*.md"))], ids=lambda p: p.name)
def test_relative_links_lead_to_files(page):
    for target in re.findall(r"\]\(([^)#]+)\)", page.read_text(encoding="utf-8")):
        if "://" not in target:
            assert (page.parent / target).exists(), target
