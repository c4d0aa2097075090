"""What dask_decode.py and spark_decode.py share.

The command line and its checks, the plan that cuts the inputs into blocks of
whole lines, the work a worker does on one block (read it, decode it, write
its part files), the line numbering, the progress line and the summary. Each
engine only runs `decode_block` on every block and `renumber_failures` where
that is needed; this module is shipped to the workers for that.

Output layout under DIR:

    DIR/documents/part-NNNNN   documents, one per line
    DIR/failures/part-NNNNN    FILE:LINE: message, one per failed line

Parts are numbered over the inputs in order, so the concatenation of each
folder in name order is what vorlane-decode writes to its stdout and stderr
for the same files.
"""
from __future__ import annotations

import argparse
import errno
import glob
import os
import re
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import NamedTuple

DEFAULT_BLOCK_SIZE = 16 << 20
# Lines decoded between two writes of a part file: a few hundred kilobytes of
# documents, which stay in the cache while they are joined and written.
LINES_PER_WRITE = 256
# Failed lines of a block that does not start a file are numbered from the
# block's start first, and renumbered here once the counts are in.
PENDING = "_pending"


DECODERS = ("auto", "tool", "parse")
TOOL = "vorlane-decode"


class UsageError(Exception):
    """Bad command line: one line on stderr, exit status 2."""


# ---- command line -----------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def parse_u64(text: str) -> int:
    """Decimal digits only, 0 to 2**64 - 1: what vorlane-decode accepts."""
    if not text or not text.isascii() or not text.isdigit() or int(text) >= 2**64:
        raise argparse.ArgumentTypeError(
            f"invalid payload version '{text}': expected a whole number from 0 to "
            "18446744073709551615")
    return int(text)


def parse_size(text: str) -> int:
    m = re.fullmatch(r"([0-9]+)([KMG]?)", text.strip().upper())
    if not m or int(m.group(1)) == 0:
        raise argparse.ArgumentTypeError(
            f"invalid block size '{text}': expected a positive number of bytes, "
            "optionally with K, M or G")
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def positive_int(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"invalid count '{text}': expected a whole number from 1")
    return int(text)


def make_parser(prog: str, description: str, cluster_option: str, cluster_help: str,
                default_workers: int) -> argparse.ArgumentParser:
    ap = _Parser(prog=prog, description=description)
    ap.add_argument("-p", "--payload-version", type=parse_u64, required=True, metavar="VERSION",
                    help="payload format version of every line (1, 2 or 3; other numbers up to "
                         "2**64-1 fail per line, as in vorlane-decode)")
    ap.add_argument("-o", "--output", required=True, metavar="DIR",
                    help="output folder (local path or fsspec URL) that the workers write "
                         "documents/part-NNNNN and failures/part-NNNNN into")
    ap.add_argument("files", nargs="+", metavar="FILE",
                    help="payload files, one canonical Base64 payload per line: local paths, "
                         "globs, or fsspec URLs readable by every worker")
    ap.add_argument("--workers", type=positive_int, default=default_workers, metavar="N",
                    help=f"local worker processes when no {cluster_option} is given "
                         f"(default {default_workers})")
    ap.add_argument(cluster_option, metavar="ADDRESS", help=cluster_help)
    ap.add_argument("--block-size", type=parse_size, default=DEFAULT_BLOCK_SIZE, metavar="SIZE",
                    help="bytes of input per task, cut at line ends (default 16M)")
    ap.add_argument("--overwrite", action="store_true",
                    help="replace earlier output in DIR instead of refusing to start")
    ap.add_argument("--decoder", choices=DECODERS, default="auto",
                    help="how workers decode a block: 'tool' runs vorlane-decode on it (its "
                         "fused native road, no Python per line), 'parse' calls the module's "
                         "parse line by line, 'auto' (default) takes the tool where the worker "
                         "has it, else parse")
    ap.add_argument("--no-progress", action="store_true",
                    help="no progress line (it is shown only when stderr is a terminal)")
    return ap


def parse_args(parser: argparse.ArgumentParser, argv) -> argparse.Namespace:
    args = parser.parse_args(argv)
    if "-" in args.files:
        raise UsageError("standard input cannot be read by the workers: name files")
    return args


# ---- paths: local or fsspec URLs -------------------------------------------

def is_url(path: str) -> bool:
    return "://" in path


def _fs(path: str):
    import fsspec.core
    return fsspec.core.url_to_fs(path)


def open_read(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "rb").open()
    return open(path, "rb")


def open_write(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "wb").open()
    return open(path, "wb")


def join(*parts: str) -> str:
    return "/".join(p.rstrip("/") for p in parts)


class Input(NamedTuple):
    name: str   # as vorlane-decode would name it in FILE:LINE
    size: int
    path: str   # what a worker opens: absolute, since its folder is not ours


def where(path: str) -> str:
    return path if is_url(path) else os.path.abspath(path)


def _probe(path: str) -> int:
    """Size of a readable input; OSError otherwise."""
    if is_url(path):
        fs, p = _fs(path)
        if fs.isdir(p):
            raise IsADirectoryError(21, "Is a directory")
        size = fs.size(p)
        with fs.open(p, "rb"):
            pass
        return size
    st = os.stat(path)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
    if not stat.S_ISREG(st.st_mode):
        # Workers read blocks at offsets: a pipe or a device cannot be shared.
        raise OSError(0, "not a regular file")
    with open(path, "rb"):
        return st.st_size


def _expand(arg: str) -> list[str]:
    """A glob gives its matches in sorted order, named as the shell would
    name them; anything else, or a glob that matches nothing, is itself."""
    if not glob.has_magic(arg):
        return [arg]
    if is_url(arg):
        fs, p = _fs(arg)
        found = sorted(fs.glob(p))
        return [fs.unstrip_protocol(f) for f in found] or [arg]
    return sorted(glob.glob(arg)) or [arg]


def resolve_inputs(args) -> tuple[list[Input], list[str]]:
    """Readable inputs in order, and one line for each that is not."""
    def reason(exc):
        text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        return text.splitlines()[0] if text else type(exc).__name__

    inputs, problems = [], []
    for arg in args:
        try:
            names = _expand(arg)
        except (OSError, ValueError, ImportError) as exc:
            problems.append(f"{arg}: {reason(exc)}")
            continue
        for name in names:
            try:
                inputs.append(Input(name, _probe(name), where(name)))
            except (OSError, ValueError, ImportError) as exc:
                problems.append(f"{name}: {reason(exc)}")
    return inputs, problems


class _LocalFs:
    """The few fsspec calls used here, for plain paths without fsspec."""
    exists = staticmethod(os.path.isdir)
    ls = staticmethod(os.listdir)
    rm = staticmethod(lambda path, recursive: shutil.rmtree(path))
    makedirs = staticmethod(os.makedirs)


def prepare_output(out: str, overwrite: bool) -> None:
    """Makes DIR/documents and DIR/failures; refuses (UsageError) to mix a
    run's parts with an earlier run's unless asked to replace them. OSError,
    ValueError or ImportError (an fsspec protocol not installed) if DIR
    cannot be used."""
    dirs = [join(out, "documents"), join(out, "failures"), join(out, PENDING)]
    if is_url(out):
        fs = _fs(out)[0]
        dirs = [_fs(d)[1] for d in dirs]
    else:
        if os.path.exists(out) and not os.path.isdir(out):
            raise UsageError(f"output '{out}' exists and is not a folder")
        fs = _LocalFs
    if any(fs.exists(d) and fs.ls(d) for d in dirs) and not overwrite:
        raise UsageError(f"output folder '{out}' holds an earlier run's parts "
                         "(remove them or pass --overwrite)")
    for d in dirs:
        if fs.exists(d):
            fs.rm(d, recursive=True)
        fs.makedirs(d, exist_ok=True)


def remove_pending(out: str) -> None:
    path = join(out, PENDING)
    if is_url(out):
        fs, p = _fs(path)
        if fs.exists(p):
            fs.rm(p, recursive=True)
    else:
        shutil.rmtree(path, ignore_errors=True)


# ---- the plan ---------------------------------------------------------------

class Block(NamedTuple):
    """Bytes [start, end) of one input; the block holds the lines that start
    there, the last one read on to its end."""
    index: int
    name: str
    path: str
    start: int
    end: int


def plan_blocks(inputs: list[Input], block_size: int) -> list[Block]:
    blocks = []
    for inp in inputs:
        for start in range(0, inp.size, block_size):
            blocks.append(Block(len(blocks), inp.name, inp.path, start,
                                min(start + block_size, inp.size)))
    return blocks


def part_width(blocks: list[Block]) -> int:
    # Equal widths keep name order and block order the same.
    return max(5, len(str(max(len(blocks) - 1, 0))))


def part_name(index: int, width: int) -> str:
    return f"part-{index:0{width}d}"


def line_offsets(blocks: list[Block], lines: dict[int, int]) -> dict[int, int]:
    """Lines before each block in its input, from every block's line count."""
    offsets, seen, name = {}, 0, None
    for b in blocks:
        if b.name != name:
            name, seen = b.name, 0
        offsets[b.index] = seen
        seen += lines[b.index]
    return offsets


# ---- on a worker --------------------------------------------------------------

class Counts(NamedTuple):
    index: int
    lines: int        # every line whose start lies in the block, empty ones too
    documents: int
    failures: int
    pending: bool     # failures written with numbers relative to the block
    nbytes: int
    error: str | None  # the block could not be read or its parts written
    decoder: str = ""  # "tool" or "parse"; "" for a block that held no line


_CHUNK = 1 << 20
# Looking for a block's first and last line end reads this much at a time.
_SCAN = 64 << 10


def _line_feed_from(f, pos: int, limit: int | None) -> int | None:
    """Where the first LF at or after pos (and before limit) is, or None."""
    f.seek(pos)
    while limit is None or pos < limit:
        chunk = f.read(_SCAN if limit is None else min(_SCAN, limit - pos))
        if not chunk:
            return None
        nl = chunk.find(b"\n")
        if nl >= 0:
            return pos + nl
        pos += len(chunk)
    return None


def block_bounds(f, start: int, end: int) -> tuple[int, int]:
    """[first, last): the lines of f that start in [start, end), the last
    one read on to its LF or to the end of the file."""
    first = 0
    if start > 0:
        # A line starts here only if the byte before is a line feed.
        nl = _line_feed_from(f, start - 1, end)
        if nl is None or nl + 1 >= end:
            return start, start
        first = nl + 1
    nl = _line_feed_from(f, end - 1, None)
    last = nl + 1 if nl is not None else f.seek(0, os.SEEK_END)
    return first, max(first, last)


def _feed(f, first: int, last: int, pipe) -> None:
    """Bytes [first, last) of f into pipe: by the kernel where it can."""
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
                fcntl.fcntl(target, fcntl.F_SETPIPE_SZ, 1 << 20)
            except (AttributeError, OSError):
                pass
            while first < last:
                sent = os.sendfile(target, source, first, min(last - first, 1 << 30))
                if sent == 0:  # the file is shorter now
                    return
                first += sent
            return
    f.seek(first)
    while first < last:
        chunk = f.read(min(_CHUNK, last - first))
        if not chunk:
            return
        pipe.write(chunk)
        first += len(chunk)


_INVALID_BYTE = re.compile(r"InvalidByte\((\d+), (\d+)\)")
# Stands in for each byte of a line that is not UTF-8 and at or above 0x80:
# it is not a Base64 symbol, so parse judges it as such bytes are judged,
# at the same offset. The byte in the message is put back afterwards.
_STAND_IN = 0x21
_NON_ASCII = bytes(range(128)) + bytes([_STAND_IN]) * 128


def parse_bytes(parse, version: int, line: bytes) -> str:
    """parse for a line that is not UTF-8: the message vorlane-decode gives."""
    try:
        return parse("accel", version, line.translate(_NON_ASCII).decode("ascii"))
    except ValueError as exc:
        message = str(exc)
        m = _INVALID_BYTE.search(message)
        if m and line[int(m.group(1))] >= 0x80:
            offset = int(m.group(1))
            message = f"{message[:m.start()]}InvalidByte({offset}, {line[offset]}){message[m.end():]}"
        raise ValueError(message) from None


def _parse_line_bytes(parse, version: int, line: bytes) -> str:
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return parse_bytes(parse, version, line)
    return parse("accel", version, text)


def _lines(data: bytes) -> tuple[list, bool]:
    """The block's lines (CR before LF taken off), as str when the whole
    block is UTF-8, else as bytes."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        lines = data.split(b"\n")
        for i, line in enumerate(lines):
            if line.endswith(b"\r"):
                lines[i] = line[:-1]
        return lines, False
    # One CR before each LF goes, and one before the end of the input;
    # "\r\n" never overlaps itself, so replace takes exactly one.
    if text.endswith("\r"):
        text = text[:-1]
    if "\r\n" in text:
        text = text.replace("\r\n", "\n")
    return text.split("\n"), True


def name_bytes(name: str) -> bytes:
    """An input's name as the tool writes it: the bytes of its argument."""
    return name.encode("utf-8", "surrogateescape")


class ToolFailed(Exception):
    """vorlane-decode did not decode a block: its complaint, or its status."""


_found_tool: dict[str, str | None] = {}


def find_tool() -> str | None:
    """vorlane-decode of the release whose module this worker imports:
    beside its interpreter first, then on its PATH. Looked up once a process."""
    if "tool" not in _found_tool:
        _found_tool["tool"] = _look_for_tool()
    return _found_tool["tool"]


def _look_for_tool() -> str | None:
    from importlib import metadata
    try:
        wanted = f"{TOOL} {metadata.version('vorlane_binary_parser')}"
    except metadata.PackageNotFoundError:
        return None
    places = [sysconfig.get_path("scripts")]
    try:
        places.append(sysconfig.get_path("scripts", f"{os.name}_user"))
    except KeyError:
        pass
    seen = []
    for path in [shutil.which(TOOL, path=p) for p in places if p] + [shutil.which(TOOL)]:
        if not path or path in seen:
            continue
        seen.append(path)
        try:
            said = subprocess.run([path, "--version"], capture_output=True, timeout=60).stdout
        except (OSError, subprocess.SubprocessError):
            continue
        # Another release may render or number differently: only the same one.
        if said.decode(errors="replace").strip() == wanted:
            return path
    return None


# The tool's closing line, and the lines it writes about once a second
# before it when its stderr is not a terminal.
_TOOL_SUMMARY = re.compile(rb"vorlane-decode: (\d+) lines, (\d+) decoded, (\d+) failed \(")
_TOOL_PROGRESS = re.compile(rb"vorlane-decode: \d+ lines, [0-9.]+ MB/s, ")


class InputFailed(Exception):
    """The block's bytes could not be read while the tool was fed."""


def _decode_with_tool(tool: str, version: int, f, first: int, last: int, docs_out, fail_out,
                      prefix: bytes) -> tuple[int, int, int]:
    """Runs vorlane-decode on bytes [first, last) of f, given on its standard
    input: documents straight into docs_out, failure lines (numbered from
    the block's start) renamed into fail_out. Returns (lines, documents,
    failures) as the tool counted them."""
    try:
        target, spill = docs_out.fileno(), None
    except (AttributeError, OSError):  # a remote file system's writer
        spill = tempfile.TemporaryFile()
        target = spill.fileno()
    try:
        with tempfile.TemporaryFile() as err:
            try:
                proc = subprocess.Popen([tool, "-j", "1", "--progress", "-p", str(version), "-"],
                                        stdin=subprocess.PIPE, stdout=target, stderr=err)
            except OSError as exc:
                raise ToolFailed(f"cannot run {tool}: {exc.strerror or exc}") from None
            try:
                _feed(f, first, last, proc.stdin)
            except BrokenPipeError:
                pass  # the tool stopped early: its status and stderr tell why
            except OSError as exc:
                proc.kill()
                raise InputFailed(exc.strerror or str(exc)) from None
            finally:
                try:
                    proc.stdin.close()
                except BrokenPipeError:
                    pass
                status = proc.wait()
            err.seek(0)
            failures, counted, complaint = 0, None, None
            for line in err:
                if line.startswith(b"<stdin>:"):
                    fail_out.write(prefix + line[8:])
                    failures += 1
                elif m := _TOOL_SUMMARY.match(line):
                    counted = int(m.group(1)), int(m.group(2)), int(m.group(3))
                elif not _TOOL_PROGRESS.match(line) and complaint is None:
                    complaint = line.decode(errors="replace").strip()
        if complaint or status not in (0, 1) or (status == 1) != (failures > 0) \
                or counted is None or counted[2] != failures:
            raise ToolFailed(complaint or f"{TOOL} ended with status {status}")
        if spill is not None:
            spill.seek(0)
            shutil.copyfileobj(spill, docs_out, _CHUNK)
    finally:
        if spill is not None:
            spill.close()
    return counted


def _decode_with_parse(version: int, data: bytes, docs_out, fail_out,
                       prefix: bytes) -> tuple[int, int]:
    """parse on every line of the block: (documents, failures)."""
    from vorlane_binary_parser import BinaryParser

    parse = BinaryParser().parse
    lines, is_text = _lines(data)
    documents, fails = 0, []
    for base in range(0, len(lines), LINES_PER_WRITE):
        docs = []
        for number, line in enumerate(lines[base:base + LINES_PER_WRITE], base + 1):
            if line:
                try:
                    docs.append(parse("accel", version, line) if is_text
                                else _parse_line_bytes(parse, version, line))
                except ValueError as exc:
                    fails.append(prefix + f"{number}: {exc}\n".encode())
        if docs:
            documents += len(docs)
            docs.append("")
            docs_out.write("\n".join(docs).encode())
    fail_out.write(b"".join(fails))
    return documents, len(fails)


def _failed(block: Block, message: str, nbytes: int = 0) -> Counts:
    return Counts(block.index, 0, 0, 0, False, nbytes, message)


def decode_block(block: Block, version: int, out: str, width: int,
                 decoder: str = "auto") -> Counts:
    """Reads one block, decodes every line, writes its two part files."""
    part = part_name(block.index, width)
    tool = find_tool() if decoder != "parse" else None
    if decoder == "tool" and tool is None:
        return _failed(block, f"no {TOOL} of this release beside {sys.executable} or on PATH")
    # The first block of an input knows its line numbers; the others learn
    # theirs when every block before them has been counted.
    pending = block.start > 0
    prefix = b"" if pending else name_bytes(block.name) + b":"
    documents_path = join(out, "documents", part)
    failures_path = join(out, PENDING if pending else "failures", part)
    try:
        f = open_read(block.path)
    except OSError as exc:
        return _failed(block, f"{block.name}: {exc.strerror or exc}")
    with f:
        try:
            first, last = block_bounds(f, block.start, block.end)
            if tool and last > first:
                data = None  # the tool is fed from the file
            else:
                f.seek(first)
                data = f.read(last - first)
        except OSError as exc:
            return _failed(block, f"{block.name}: {exc.strerror or exc}")
        nbytes = last - first
        try:
            with open_write(documents_path) as docs_out, open_write(failures_path) as fail_out:
                if data is None:
                    lines, documents, failures = _decode_with_tool(
                        tool, version, f, first, last, docs_out, fail_out, prefix)
                else:
                    lines = data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)
                    documents, failures = _decode_with_parse(version, data, docs_out, fail_out,
                                                             prefix)
            if pending and not failures:
                _move(failures_path, join(out, "failures", part))
                pending = False
        except (InputFailed, ToolFailed) as exc:
            return _failed(block, f"{block.name}: {exc}", nbytes)
        except OSError as exc:
            return _failed(block, f"{documents_path}: {exc.strerror or exc}", nbytes)
    used = "" if not nbytes else "tool" if data is None else "parse"
    return Counts(block.index, lines, documents, failures, pending, nbytes, None, used)


def _move(src: str, dst: str) -> None:
    if is_url(src):
        fs, p = _fs(src)
        fs.mv(p, _fs(dst)[1])
    else:
        os.replace(src, dst)


def renumber_failures(block: Block, line_offset: int, out: str, width: int) -> str | None:
    """Writes a pending failures part with the block's place in its input."""
    part = part_name(block.index, width)
    src = join(out, PENDING, part)
    prefix = name_bytes(block.name) + b":"
    try:
        lines = []
        with open_read(src) as f:
            for line in f:  # binary: split at LF only
                number, rest = line.split(b":", 1)
                lines.append(b"%s%d:%s" % (prefix, int(number) + line_offset, rest))
        with open_write(join(out, "failures", part)) as f:
            f.write(b"".join(lines))
    except OSError as exc:
        return f"{join(out, 'failures', part)}: {exc.strerror or exc}"
    return None


def decode_partition(blocks, version: int, out: str, width: int,
                     decoder: str = "auto") -> list[Counts]:
    """decode_block over an iterable of blocks (Spark's mapPartitions)."""
    return [decode_block(b, version, out, width, decoder) for b in blocks]


def renumber_partition(items, out: str, width: int) -> list[str | None]:
    return [renumber_failures(b, offset, out, width) for b, offset in items]


# ---- on the client -------------------------------------------------------------

class Progress:
    """One line on stderr, redrawn in place: blocks (or tasks) done, lines."""

    def __init__(self, total_blocks: int, enabled: bool, unit: str = "blocks"):
        self.total_blocks, self.unit = total_blocks, unit
        self.enabled = enabled and sys.stderr.isatty()
        self.started = time.monotonic()
        self.blocks = self.lines = 0

    def add(self, counts: Counts) -> None:
        self.blocks += 1
        self.lines += counts.lines
        self.draw()

    def draw(self, blocks: int | None = None) -> None:
        if not self.enabled:
            return
        done = self.blocks if blocks is None else blocks
        frac = done / self.total_blocks if self.total_blocks else 1.0
        bar = "#" * int(frac * 30)
        sys.stderr.write(f"\r[{bar:<30}] {done}/{self.total_blocks} {self.unit}  "
                         f"{self.lines:,} lines  {time.monotonic() - self.started:.0f} s ")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def peak_rss_mb(pid: int | str = "self") -> float | None:
    """Peak resident memory of a process, in MB: the kernel's high-water
    mark of its own memory. getrusage's figure is only the fallback: it
    starts at the size of the process that started this one, so a client
    started by a large process (spark-submit's JVM) would report that."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except (OSError, ValueError):
        pass
    if pid != "self":
        return None
    try:
        import resource
    except ImportError:  # Windows
        return None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak / (1 << 20) if sys.platform == "darwin" else peak / 1024  # bytes there


def decoders(results: list[Counts]) -> str:
    """How the blocks were decoded, for the summary."""
    names = {"tool": TOOL, "parse": "parse"}
    used = {}
    for c in results:
        if c.decoder:
            used[c.decoder] = used.get(c.decoder, 0) + 1
    if len(used) == 1:
        return names[next(iter(used))]
    return ", ".join(f"{names[k]} on {n} blocks" for k, n in sorted(used.items())) or "none"


def _mb(value: float | None) -> str:
    return "unknown" if value is None else f"{value:.0f} MB"


def summary(prog: str, inputs: list[Input], results: list[Counts], out: str,
            decode_seconds: float, total_seconds: float, extra: str = "") -> str:
    lines = sum(c.lines for c in results)
    docs = sum(c.documents for c in results)
    fails = sum(c.failures for c in results)
    return (f"{prog}: {len(inputs)} files, {lines} lines, {docs} documents, {fails} failed lines, "
            f"{len(results)} blocks; decoding {decode_seconds:.2f} s, in all "
            f"{total_seconds:.2f} s; client peak RSS {_mb(peak_rss_mb())}{extra}; "
            f"decoder {decoders(results)}; output in {out}")


def to_renumber(blocks: list[Block], results: dict[int, Counts]):
    """After the first round: the workers' errors, and each block whose
    failures wait in _pending with the lines before it in its input."""
    errors = [c.error for c in results.values() if c.error]
    if errors:
        return errors, []
    offsets = line_offsets(blocks, {i: c.lines for i, c in results.items()})
    return [], [(b, offsets[b.index]) for b in blocks if results[b.index].pending]


def finish(prog: str, args, inputs: list[Input], blocks: list[Block],
           results: dict[int, Counts], errors: list[str], unreadable: bool,
           decode_seconds: float, started: float, extra: str = "") -> int:
    """The end of a run: the workers' errors or the summary; the exit status."""
    if errors:
        for error in errors[:10]:
            print(f"{prog}: on a worker: {error}", file=sys.stderr)
        if len(errors) > 10:
            print(f"{prog}: on a worker: {len(errors) - 10} more like these", file=sys.stderr)
        return 1
    remove_pending(args.output)
    ordered = [results[b.index] for b in blocks]
    print(summary(prog, inputs, ordered, args.output, decode_seconds,
                  time.perf_counter() - started, extra), file=sys.stderr)
    return 1 if unreadable or any(c.failures for c in ordered) else 0


def plan(prog: str, parser: argparse.ArgumentParser, argv):
    """Everything before a cluster starts: checks the arguments and the output
    folder, lists the inputs and cuts them into blocks. Returns (args, inputs,
    blocks, part-name width, whether an input could not be read), or the exit
    status to stop with."""
    try:
        args = parse_args(parser, argv)
        prepare_output(args.output, args.overwrite)
        args.output = where(args.output)
    except UsageError as exc:
        return report_usage(prog, str(exc))
    except (OSError, ValueError, ImportError) as exc:
        print(f"{prog}: cannot use output folder '{args.output}': {exc}", file=sys.stderr)
        return 1
    inputs, problems = resolve_inputs(args.files)
    for problem in problems:
        print(f"{prog}: {problem}", file=sys.stderr)
    if problems and not inputs:
        return 1
    blocks = plan_blocks(inputs, args.block_size)
    return args, inputs, blocks, part_width(blocks), bool(problems)


def report_usage(prog: str, message: str) -> int:
    print(f"{prog}: {message}", file=sys.stderr)
    return 2
