"""The tool decoder: vorlane-decode run on a block, fed from the file, watched
for stalls, its counts taken from its --stats file."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

TOOL = "vorlane-decode"
# VORLANE_DECODE=PATH: this binary instead of the one beside the interpreter
# (it must still be of the same release).
TOOL_ENV = "VORLANE_DECODE"
_CHUNK = 1 << 20


class ToolFailed(Exception):
    """vorlane-decode did not decode a block: its complaint, or its status."""


class InputChanged(Exception):
    """The block's bytes are not what the plan saw."""

    def __init__(self):
        super().__init__("changed while being read")


class InputFailed(Exception):
    """The block's bytes could not be read while the tool was fed."""


_found_tool: dict[str, str | None] = {}


def find_tool() -> str | None:
    """vorlane-decode of the release whose module this worker imports:
    VORLANE_DECODE, else beside its interpreter, then on its PATH. Looked up
    once a process."""
    if "tool" not in _found_tool:
        _found_tool["tool"] = _look_for_tool()
    return _found_tool["tool"]


def _look_for_tool() -> str | None:
    from importlib import metadata
    try:
        wanted = f"{TOOL} {metadata.version('vorlane_binary_parser')}"
    except metadata.PackageNotFoundError:
        return None
    if os.environ.get(TOOL_ENV):
        candidates: list[str | None] = [os.environ[TOOL_ENV]]
    else:
        places = [sysconfig.get_path("scripts")]
        try:
            places.append(sysconfig.get_path("scripts", f"{os.name}_user"))
        except KeyError:
            pass
        candidates = [shutil.which(TOOL, path=p) for p in places if p] + [shutil.which(TOOL)]
    seen: list[str] = []
    for path in candidates:
        if not path or path in seen:
            continue
        seen.append(path)
        try:
            said = subprocess.run([path, "--version"], capture_output=True, timeout=60).stdout
        except (OSError, subprocess.SubprocessError):
            continue
        # Another release may render or number differently: only the same
        # one (its first line; the second names the CPU path it takes).
        if said.decode(errors="replace").partition("\n")[0].strip() == wanted:
            return path
    return None


class _Fed:
    """Bytes handed to the tool so far; the watchdog reads it."""
    count = 0


def _feed(f, first: int, last: int, pipe, fed: _Fed) -> None:
    """Bytes [first, last) of f into pipe: by the kernel where it can, in
    pieces, so that the watchdog sees them go."""
    if hasattr(os, "sendfile") and sys.platform.startswith("linux"):
        try:
            source = f.fileno()
        except (AttributeError, OSError):
            source = None
        if source is not None:
            import fcntl
            target = pipe.fileno()
            try:
                # Bigger pipe, fewer wake-ups: the tool decodes what has come.
                fcntl.fcntl(target, fcntl.F_SETPIPE_SZ, _CHUNK)
            except (AttributeError, OSError):
                pass
            pos = first
            while pos < last:
                sent = os.sendfile(target, source, pos, min(last - pos, _CHUNK))
                if sent == 0:  # the file is shorter now
                    raise InputChanged()
                pos += sent
                fed.count += sent
            return
    f.seek(first)
    pos = first
    while pos < last:
        chunk = f.read(min(_CHUNK, last - pos))
        if not chunk:
            raise InputChanged()
        pipe.write(chunk)
        pos += len(chunk)
        fed.count += len(chunk)


def _watch(proc, fed: _Fed, outputs, timeout: float, done: threading.Event, stalled: list):
    """Kills the tool once it has neither taken input nor written output for
    `timeout` seconds."""
    def mark():
        sizes = []
        for fd in outputs:
            try:
                sizes.append(os.fstat(fd).st_size)
            except OSError:
                sizes.append(-1)
        return fed.count, tuple(sizes)

    last, since = mark(), time.monotonic()
    while not done.wait(min(1.0, timeout / 4)):
        now, seen = time.monotonic(), mark()
        if seen != last:
            last, since = seen, now
        elif now - since >= timeout:
            stalled.append(True)
            proc.kill()
            return


def _seconds(value: float) -> str:
    return f"{value:g} s"


def decode_with_tool(tool: str, version: int, f, first: int, last: int, docs_out, fail_out,
                     prefix: bytes, strict: bool = False,
                     stall_timeout: float = 600.0) -> tuple[int, int, int]:
    """Runs vorlane-decode on bytes [first, last) of f, given on its standard
    input: documents straight into docs_out, failure lines (numbered from
    the block's start) renamed into fail_out. Returns (lines, documents,
    failures) from the tool's --stats file."""
    try:
        target, spill = docs_out.fileno(), None
    except (AttributeError, OSError):  # a remote file system's writer
        spill = tempfile.TemporaryFile()
        target = spill.fileno()
    try:
        with tempfile.TemporaryDirectory() as scratch:
            stats_path = os.path.join(scratch, "stats.json")
            err_path = os.path.join(scratch, "stderr")
            with open(err_path, "w+b") as err:
                cmd = [tool, "-j", "1", "--no-progress", "--stats", stats_path, "-p",
                       str(version)] + (["--strict"] if strict else []) + ["-"]
                try:
                    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=target, stderr=err)
                except OSError as exc:
                    raise ToolFailed(f"cannot run {tool}: {exc.strerror or exc}") from None
                fed, done, changed = _Fed(), threading.Event(), False
                stalled: list[bool] = []
                watchdog = threading.Thread(
                    target=_watch, args=(proc, fed, (target, err.fileno()), stall_timeout,
                                         done, stalled), daemon=True)
                watchdog.start()
                assert proc.stdin is not None  # stdin=PIPE
                try:
                    _feed(f, first, last, proc.stdin, fed)
                except BrokenPipeError:
                    pass  # the tool stopped early: its status and stderr tell why
                except InputChanged:
                    changed = True
                except OSError as exc:
                    proc.kill()
                    raise InputFailed(exc.strerror or str(exc)) from None
                finally:
                    try:
                        proc.stdin.close()
                    except BrokenPipeError:
                        pass
                    status = proc.wait()
                    done.set()
                    watchdog.join()
                if changed:
                    raise InputChanged()
                if stalled:
                    raise ToolFailed(f"{TOOL} made no progress for {_seconds(stall_timeout)}")
                err.seek(0)
                failures, complaint = 0, None
                for line in err:
                    if line.startswith(b"<stdin>:"):
                        if line.endswith(b": out of memory\n") and status == 2:
                            # A line it could not hold: the block is incomplete.
                            complaint = complaint or f"{TOOL}: out of memory"
                        fail_out.write(prefix + line[8:])
                        failures += 1
                    elif complaint is None:
                        complaint = line.decode(errors="replace").strip()
            stats = _read_stats(stats_path)
        if complaint:
            raise ToolFailed(complaint)
        if stats is None or stats.get("status") != status or status not in (0, 1) \
                or (status == 1) != (failures > 0) or stats.get("failures") != failures \
                or stats.get("bytes") != last - first:
            raise ToolFailed(f"{TOOL} ended with status {status}"
                             + ("" if stats else " and no counts"))
        if spill is not None:
            spill.seek(0)
            shutil.copyfileobj(spill, docs_out, _CHUNK)
    finally:
        if spill is not None:
            spill.close()
    return stats["lines"], stats["documents"], failures


def _read_stats(path: str) -> dict | None:
    """The tool's one line of counts, or None if it left none."""
    try:
        with open(path, "rb") as f:
            stats = json.loads(f.read())
    except (OSError, ValueError):
        return None
    keys = ("status", "lines", "documents", "failures", "bytes")
    if not isinstance(stats, dict) or not all(type(stats.get(k)) is int for k in keys):
        return None
    return stats
