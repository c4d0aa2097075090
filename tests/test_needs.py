"""A test that needs a missing tool skips, except where the run has promised
every tool (VORLANE_REQUIRE_TOOLS=1, as scripts/test and CI set): there it
fails, so that a missing install step cannot pass as a skip."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

TEST = Path(__file__).resolve().parent / "test_module.py"


@pytest.mark.parametrize("required, may_skip, status, word", [
    ("1", "", 1, "error"), ("1", "java", 1, "error"), ("1", "root nm", 0, "skipped"), ("0", "", 0, "skipped")])
def test_a_missing_tool_fails_only_where_required(tmp_path, required, may_skip, status, word):
    # No PATH, so no nm.
    env = {**os.environ, "PATH": str(tmp_path), "VORLANE_REQUIRE_TOOLS": required, "VORLANE_MAY_SKIP": may_skip,
           "VORLANE_SKIPPED_LOG": str(tmp_path / "skipped")}
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(TEST),
                          "-k", "only_the_init_function_is_exported"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, check=False)
    assert run.returncode == status, run.stdout + run.stderr
    assert f"1 {word}" in run.stdout
    if status:
        assert "needs nm, which is missing" in run.stdout
    # Only a skip the run was allowed is left for a run as root to take up.
    logged = (tmp_path / "skipped").read_text() if (tmp_path / "skipped").exists() else ""
    assert logged == ("tests/test_module.py::test_only_the_init_function_is_exported\tnm\n" if may_skip == "root nm" else "")
