import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import vorlane_binary_parser  # noqa: E402


@pytest.fixture
def parser():
    return vorlane_binary_parser.BinaryParser()


@pytest.fixture
def parse(parser):
    return parser.parse


def failure(fn, *args, **kwargs):
    """Runs fn and returns (exception type, message); fails if it returns."""
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - the tests compare exact types
        return type(exc), str(exc)
    pytest.fail(f"expected an exception, got {result!r}")


# What some tests need beyond the `test` extra, and how to tell it is there.
# Where a run has installed it all (scripts/test, CI: VORLANE_REQUIRE_TOOLS=1)
# a missing one fails the test: there a skip would be a silent pass.
def _importable(name):
    import importlib.util
    return importlib.util.find_spec(name) is not None


NEEDS = {
    "java": lambda: bool(shutil.which("java") or os.environ.get("JAVA_HOME")),
    "nm": lambda: shutil.which("nm") is not None,
    "/dev/full": lambda: os.path.exists("/dev/full"),
    "jsonschema": lambda: _importable("jsonschema"),
    "fsspec": lambda: _importable("fsspec"),
}
REQUIRE_TOOLS = os.environ.get("VORLANE_REQUIRE_TOOLS") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "needs(what): the test needs a tool or package: "
                            + ", ".join(NEEDS))


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        for what in mark.args:
            if NEEDS[what]():
                continue
            if REQUIRE_TOOLS:
                pytest.fail(f"needs {what}, which is missing (VORLANE_REQUIRE_TOOLS=1: it may not skip)",
                            pytrace=False)
            pytest.skip(f"needs {what}")
