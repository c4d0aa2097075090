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
# What the run knows it cannot give (as a normal user: root), and so
# reports as not run: these may skip even where the rest may not.
MAY_SKIP = os.environ.get("VORLANE_MAY_SKIP", "").split()


def missing(what, nodeid=None):
    """Skips the running test (nodeid; in its call, the running one) for lack
    of `what`, or fails it where it may not skip."""
    if REQUIRE_TOOLS and what.split(",")[0] not in MAY_SKIP:
        pytest.fail(f"needs {what}, which is missing (VORLANE_REQUIRE_TOOLS=1: it may not skip)",
                    pytrace=False)
    if REQUIRE_TOOLS and os.environ.get("VORLANE_SKIPPED_LOG"):
        # For a run that can give it to take up (scripts/test --all --done).
        with open(os.environ["VORLANE_SKIPPED_LOG"], "a", encoding="utf-8") as log:
            nodeid = nodeid or os.environ["PYTEST_CURRENT_TEST"].rsplit(" ", 1)[0]
            print(nodeid, what.split(",")[0], sep="\t", file=log)
    pytest.skip(f"needs {what}")
