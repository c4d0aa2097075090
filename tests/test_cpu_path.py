"""The CPU path the installed build takes, and its refusal to start where
the CPU lacks the path it was forced to.

Imports nothing of the module itself, so that it also runs (with pytest's
--noconftest) against a build that refuses to import. The build under test
is described by the environment, as scripts/test-cpu-paths sets it:
VORLANE_EXPECT_CPU_PATH the path it was built for (default auto),
VORLANE_EXPECT_CPU_HIDDEN the features it was built to pretend are missing,
and VORLANE_EXPECT_CPU_REFUSAL=1 where it must refuse.
"""
import os
import platform
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

TOOL = Path(os.environ.get("VORLANE_DECODE") or Path(sysconfig.get_path("scripts")) / "vorlane-decode")
BUILT = os.environ.get("VORLANE_EXPECT_CPU_PATH", "auto")
REFUSED = os.environ.get("VORLANE_EXPECT_CPU_REFUSAL") == "1"
HIDDEN = set(filter(None, os.environ.get("VORLANE_EXPECT_CPU_HIDDEN", "").split(",")))
REFUSAL = f"built to take the CPU path '{BUILT}', which this CPU cannot run: it lacks "

# The core's feature names as /proc/cpuinfo spells them.
CPUINFO_NAMES = {"sse4.1": "sse4_1", "avx2": "avx2", "bmi2": "bmi2", "popcnt": "popcnt",
                 "avx512bw": "avx512bw", "avx512vbmi": "avx512vbmi", "avx512vbmi2": "avx512_vbmi2"}


def table():
    """The rows of the table of CPU paths, best first: (name, target, features)."""
    source = (Path(__file__).resolve().parents[1] / "src" / "fused" / "cpu_path.cpp").read_text()
    rows = re.findall(r'^ *\{"([a-z0-9]+)", Target::(\w+), feature_list\("([^"]*)"\)', source, re.M)
    assert rows, "no row of the table read"
    return [(name, target, set(features.split())) for name, target, features in rows]


def tool(*args, stdin=b""):
    return subprocess.run([str(TOOL), *args], input=stdin, capture_output=True, timeout=120)


def import_module():
    return subprocess.run([sys.executable, "-c", "import vorlane_binary_parser"],
                          capture_output=True, text=True, timeout=120)


def cpuinfo_features():
    if platform.machine() != "x86_64" or not os.path.exists("/proc/cpuinfo"):
        pytest.skip("the features are checked against /proc/cpuinfo on x86-64 Linux")
    with open("/proc/cpuinfo") as f:
        flags = next(line for line in f if line.startswith("flags")).split(":", 1)[1].split()
    return [name for name, flag in CPUINFO_NAMES.items() if flag in flags]


@pytest.mark.skipif(REFUSED, reason="this build refuses to start")
def test_version_names_the_path_built_and_chosen():
    result = tool("--version")
    assert result.returncode == 0, result.stderr
    line = result.stdout.decode().splitlines()[1]
    found = re.fullmatch(r"cpu path: built (\S+), chosen (\S+); cpu: (.*)", line)
    assert found and found[1] == BUILT, line
    # The CPU as it is, but for what the build hides.
    have = [name for name in cpuinfo_features() if name not in HIDDEN]
    assert found[3] == (" ".join(have) or "none"), line
    # A forced build takes its row; auto the first row this CPU runs.
    target = "X86" if platform.machine() == "x86_64" else "Aarch64"
    best = next(name for name, where, needs in table() if where in ("Any", target) and needs <= set(have))
    assert found[2] == (BUILT if BUILT != "auto" else best), line


@pytest.mark.skipif(REFUSED, reason="this build refuses to start")
def test_module_imports():
    assert import_module().returncode == 0


@pytest.mark.skipif(not REFUSED, reason="only a build forced to a path this CPU lacks refuses")
def test_import_refuses_naming_the_path_and_the_features():
    result = import_module()
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: vorlane_binary_parser: " + REFUSAL), last
    assert "(this CPU has: " in last and last.endswith(")"), last


@pytest.mark.skipif(not REFUSED, reason="only a build forced to a path this CPU lacks refuses")
@pytest.mark.parametrize("args", [["--version"], ["--help"], ["-p", "1"], ["-p", "3", "-j", "2", "-"]])
def test_tool_exits_2_with_one_line(args):
    result = tool(*args, stdin=b"AQAA\n")
    assert (result.returncode, result.stdout) == (2, b"")
    line = result.stderr.decode()
    assert line.startswith("vorlane-decode: " + REFUSAL) and line.endswith(")\n"), line
    assert line.count("\n") == 1, line


@pytest.mark.skipif(not REFUSED, reason="only a build forced to a path this CPU lacks refuses")
def test_tool_and_import_say_the_same():
    said = import_module().stderr.strip().splitlines()[-1].removeprefix("ImportError: vorlane_binary_parser: ")
    assert tool("--version").stderr.decode() == f"vorlane-decode: {said}\n"
