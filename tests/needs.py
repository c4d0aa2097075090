"""What some tests need beyond the `test` extra, and how to tell it is there.

Where a run has installed it all (scripts/test, CI: VORLANE_REQUIRE_TOOLS=1)
a missing one fails the test: there a skip would be a silent pass. Mark a
test with @pytest.mark.needs(NAME), or call missing(NAME) where the need
shows only while it runs."""
import importlib.util
import os
import shutil

import pytest


def _importable(name):
    return importlib.util.find_spec(name) is not None


NEEDS = {
    "java": lambda: bool(shutil.which("java") or os.environ.get("JAVA_HOME")),
    "nm": lambda: shutil.which("nm") is not None,
    "/dev/full": lambda: os.path.exists("/dev/full"),
    "jsonschema": lambda: _importable("jsonschema"),
    "fsspec": lambda: _importable("fsspec"),
    # Mounting a small file system to fill (a full disk, for real).
    "root": lambda: hasattr(os, "geteuid") and os.geteuid() == 0,
}
REQUIRE_TOOLS = os.environ.get("VORLANE_REQUIRE_TOOLS") == "1"


def missing(what):
    """Skips the running test for lack of `what`, or fails it where it may not skip."""
    if REQUIRE_TOOLS:
        pytest.fail(f"needs {what}, which is missing (VORLANE_REQUIRE_TOOLS=1: it may not skip)",
                    pytrace=False)
    pytest.skip(f"needs {what}")
