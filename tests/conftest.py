import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import vorlane_binary_parser  # noqa: E402

import needs  # noqa: E402


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


def pytest_configure(config):
    config.addinivalue_line("markers", "needs(what): the test needs a tool or package: "
                            + ", ".join(needs.NEEDS))
    config.addinivalue_line("markers", "large: 200,000 samples or more, slow on a debug interpreter, "
                            "which leaves them to the other runs")


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        for what in mark.args:
            if not needs.NEEDS[what]():
                needs.missing(what, item.nodeid)
