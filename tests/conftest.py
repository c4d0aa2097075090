import os
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
