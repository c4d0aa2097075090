"""The module object, the BinaryParser type and its constructor."""
import gc
import importlib
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import vorlane_binary_parser
from vorlane_binary_parser import BinaryParser
from conftest import failure


def test_reimport_returns_the_same_module_with_one_all_entry():
    first = vorlane_binary_parser
    del sys.modules["vorlane_binary_parser"]
    try:
        second = importlib.import_module("vorlane_binary_parser")
    finally:
        sys.modules["vorlane_binary_parser"] = first
    assert second is first
    assert first.__all__ == ["BinaryParser"]
    assert first.BinaryParser is BinaryParser


def test_module_attributes():
    assert vorlane_binary_parser.__all__ == ["BinaryParser"]
    assert vorlane_binary_parser.__doc__ == ""
    public = {name for name in dir(vorlane_binary_parser) if not name.startswith("_")}
    assert public == {"BinaryParser"}


def test_type_identity_and_docs():
    assert repr(BinaryParser) == "<class 'builtins.BinaryParser'>"
    assert BinaryParser.__name__ == "BinaryParser"
    assert BinaryParser.__qualname__ == "BinaryParser"
    assert BinaryParser.__module__ == "builtins"
    assert BinaryParser.__text_signature__ == "()"
    assert BinaryParser.__doc__ == ""
    assert BinaryParser.parse.__text_signature__ == "($self, kind, version, b64_data)"
    assert BinaryParser.parse.__doc__ is None
    assert BinaryParser.__bases__ == (object,)


def test_type_flags():
    flags = BinaryParser.__flags__
    assert not flags & (1 << 10), "must not be an acceptable base type"
    assert not flags & (1 << 14), "must not take part in cyclic GC"
    assert not flags & (1 << 8), "must not be immutable"
    assert not gc.is_tracked(BinaryParser())


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "BinaryParser.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "BinaryParser.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "BinaryParser.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "BinaryParser.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"a": 1, "b": 2}, "BinaryParser.__new__() got an unexpected keyword argument 'a'"),
    ],
)
def test_constructor_refuses_arguments(args, kwargs, message):
    assert failure(BinaryParser, *args, **kwargs) == (TypeError, message)


def test_constructor_makes_independent_instances():
    a, b = BinaryParser(), BinaryParser()
    assert a is not b and type(a) is BinaryParser


def test_cannot_subclass():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (BinaryParser,), {})


def test_no_instance_dict_and_no_weakref():
    p = BinaryParser()
    with pytest.raises(AttributeError):
        p.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(p)


def test_type_attributes_can_be_set():
    BinaryParser.extra = 5
    try:
        assert BinaryParser().extra == 5
    finally:
        del BinaryParser.extra


@pytest.mark.needs("nm")
def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    out = subprocess.run(
        [nm, "-D", "--defined-only", vorlane_binary_parser.__file__],
        check=True, capture_output=True, text=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vorlane_binary_parser"]


def test_second_interpreter_is_refused():
    # Run in a fresh process so the recorded interpreter is this test's own.
    code = textwrap.dedent(
        """
        import os, sys
        import _testcapi
        import vorlane_binary_parser
        r, w = os.pipe()
        sub = f'''
        import os
        try:
            import vorlane_binary_parser
            msg = "imported"
        except ImportError as e:
            msg = "ImportError: " + str(e)
        except BaseException as e:
            msg = type(e).__name__ + ": " + str(e)
        os.write({w}, msg.encode())
        '''
        rc = _testcapi.run_in_subinterp(sub)
        os.close(w)
        print(rc, os.read(r, 4096).decode())
        # The main interpreter keeps working.
        print(vorlane_binary_parser.BinaryParser().parse("accel", 1, "AQAA"))
        """
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this Python has no legacy subinterpreter support to test with")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.splitlines()
    assert first.startswith("0 ImportError: PyO3 modules do not yet support subinterpreters, see ")
    assert second == '{"Accel":{"V1":{"timestamp":-1,"acc_temp":0,"samples":[]}}}'
