"""The installed stub package gives type checkers the module's surface."""
import os
import subprocess
import sys
import textwrap

import mypy  # noqa: F401 - scripts/test installs it; a missing mypy is a failure
import pytest

GOOD = '''
    import vorlane_binary_parser
    from vorlane_binary_parser import BinaryParser

    def decode(payloads: list[str], version: int) -> list[str]:
        parser = BinaryParser()
        return [parser.parse("accel", version, p) for p in payloads]

    doc: str = BinaryParser().parse(kind="accel", version=3, b64_data="AAAAAAAA")
    names: list[str] = vorlane_binary_parser.__all__
    reveal_type(BinaryParser().parse)
'''

# Each snippet holds one mistake and the error mypy must report for it.
BAD = [
    ('BinaryParser().parse("accel", "3", "AAAA")',
     'Argument 2 to "parse" of "BinaryParser" has incompatible type "str"; expected "int"'),
    ('BinaryParser().parse("accel", 3, b"AAAA")',
     'Argument 3 to "parse" of "BinaryParser" has incompatible type "bytes"; expected "str"'),
    ('BinaryParser().parse(None, 3, "AAAA")',
     'Argument 1 to "parse" of "BinaryParser" has incompatible type "None"; expected "str"'),
    ('n: int = BinaryParser().parse("accel", 3, "AAAA")',
     'Incompatible types in assignment (expression has type "str", variable has type "int")'),
    ('BinaryParser().parse("accel", 3)', 'Missing positional argument "b64_data"'),
    ('BinaryParser("accel")', 'Too many arguments for "BinaryParser"'),
    ('BinaryParser().parse("accel", 3, "AAAA", mode=1)', 'Unexpected keyword argument "mode"'),
    ('BinaryParser().decode("AAAA")', '"BinaryParser" has no attribute "decode"'),
    ('import vorlane_binary_parser\nvorlane_binary_parser.__version__',
     'Module has no attribute "__version__"'),
    ('class Mine(BinaryParser): pass', 'Cannot inherit from final class "BinaryParser"'),
]


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(tmp_path, source):
        # Run outside the source tree so only the installed package is seen.
        path = tmp_path / "example.py"
        path.write_text(textwrap.dedent(source))
        env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
             "--cache-dir", str(cache), "--python-executable", sys.executable, str(path)],
            capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
        return result.returncode, result.stdout + result.stderr
    return check


def test_typed_example_passes_strict(mypy, tmp_path):
    rc, output = mypy(tmp_path, GOOD)
    assert rc == 0, output
    # Older mypy releases spell the types with a "builtins." prefix.
    revealed = output.replace("builtins.", "")
    assert 'Revealed type is "def (kind: str, version: int, b64_data: str) -> str"' in revealed


@pytest.mark.parametrize("line, message", BAD, ids=[m for _, m in BAD])
def test_mistakes_are_reported(mypy, tmp_path, line, message):
    rc, output = mypy(tmp_path, "from vorlane_binary_parser import BinaryParser\n" + line + "\n")
    assert rc == 1, output
    assert message in output


@pytest.mark.parametrize("module", ["vorlane_binary_parser", "vorlane_binary_parser_arrow"])
def test_stubs_match_the_runtime_module(tmp_path, module):
    # stubtest imports the real module and compares it with the stub.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", module],
                            capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_stubs_carry_help_for_editors():
    # The runtime docstrings stay empty; an editor shows the stubs' instead.
    import ast
    import sysconfig
    from pathlib import Path

    stub = Path(sysconfig.get_path("platlib")) / "vorlane_binary_parser-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "BinaryParser")
    parse = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "parse")
    assert "TypeError" in (ast.get_docstring(cls) or "")
    doc = ast.get_docstring(parse) or ""
    for word in ["kind", "version", "b64_data", "Returns", "ValueError", "TypeError",
                 "OverflowError", "UnicodeEncodeError", "MemoryError"]:
        assert word in doc, word
