"""The client's side before a cluster starts: the command line, the inputs
and the plan that cuts them into blocks of whole lines."""
from __future__ import annotations

import argparse
import errno
import glob
import os
import re
import stat
from typing import NamedTuple

from vorlane_binary_parser_blocks.paths import is_url, url_fs, where

DEFAULT_BLOCK_SIZE = 16 << 20
DEFAULT_STALL_TIMEOUT = 600.0
DECODERS = ("auto", "tool", "parse")


class UsageError(Exception):
    """Bad command line: one line on stderr, exit status 2."""


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


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(
            f"invalid stall timeout '{text}': expected a positive number of seconds")
    return value


def _release() -> str:
    from importlib import metadata
    try:
        return metadata.version("vorlane_binary_parser")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def make_parser(prog: str, description: str, cluster_option: str, cluster_help: str,
                default_workers: int) -> argparse.ArgumentParser:
    ap = _Parser(prog=prog, description=description,
                 epilog="Exit status: 0 every line decoded, 1 some lines failed, 2 trouble "
                        "(no _SUCCESS then). See docs/scaling-out.md.")
    ap.add_argument("--version", action="version", version=f"%(prog)s {_release()}")
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
                         "native fast path, no Python per line), 'parse' calls the module's "
                         "parse line by line, 'auto' (default) takes the tool where the worker "
                         "has it, else parse")
    ap.add_argument("--strict", action="store_true",
                    help="fail a line whose record leaves bytes unread after it, as "
                         "vorlane-decode --strict does (which decodes every block then: "
                         "not with --decoder parse)")
    ap.add_argument("--stall-timeout", type=positive_seconds, default=DEFAULT_STALL_TIMEOUT,
                    metavar="SECONDS",
                    help="fail a block whose vorlane-decode neither reads nor writes for this "
                         f"long (default {DEFAULT_STALL_TIMEOUT:.0f})")
    ap.add_argument("--no-progress", action="store_true",
                    help="no progress line (it is shown only when stderr is a terminal)")
    return ap


def parse_args(parser: argparse.ArgumentParser, argv) -> argparse.Namespace:
    args = parser.parse_args(argv)
    if "-" in args.files:
        raise UsageError("standard input cannot be read by the workers: name files")
    if args.strict and args.decoder == "parse":
        # parse does not say where its record ended; the tool does.
        raise UsageError("argument --strict: not with --decoder parse: only vorlane-decode "
                         "tells the bytes left after a record")
    if not is_url(args.output) and os.path.exists(args.output) \
            and not os.path.isdir(args.output):
        raise UsageError(f"output '{args.output}' exists and is not a folder")
    return args


# ---- inputs -------------------------------------------------------------------

class Input(NamedTuple):
    name: str   # as vorlane-decode would name it in FILE:LINE
    size: int
    path: str   # what a worker opens


def _probe(path: str) -> int:
    """Size of a readable input; OSError otherwise."""
    if is_url(path):
        fs, p = url_fs(path)
        if fs.isdir(p):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
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
        fs, p = url_fs(arg)
        found = sorted(fs.glob(p))
        return [fs.unstrip_protocol(f) for f in found] or [arg]
    return sorted(glob.glob(arg)) or [arg]


def resolve_inputs(args) -> tuple[list[Input], list[str]]:
    """Readable inputs in order (one entry each time an input is named or
    matched), and one line for each that is not readable."""
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


# ---- blocks -------------------------------------------------------------------

class Block(NamedTuple):
    """Bytes [start, end) of one input; the block holds the lines that start
    there, the last one read on to its end."""
    index: int  # type: ignore[assignment]  # a field named as tuple.index
    name: str
    path: str
    start: int
    end: int
    file: int = 0   # which input, in command-line order: a name may stand twice
    size: int = -1  # the input's size when planned; -1: not checked


def plan_blocks(inputs: list[Input], block_size: int) -> list[Block]:
    blocks: list[Block] = []
    for file, inp in enumerate(inputs):
        for start in range(0, inp.size, block_size):
            blocks.append(Block(len(blocks), inp.name, inp.path, start,
                                min(start + block_size, inp.size), file, inp.size))
    return blocks


def part_width(blocks: list[Block]) -> int:
    # Equal widths keep name order and block order the same.
    return max(5, len(str(max(len(blocks) - 1, 0))))


def part_name(index: int, width: int) -> str:
    return f"part-{index:0{width}d}"


def line_offsets(blocks: list[Block], lines: dict[int, int]) -> dict[int, int]:
    """Lines before each block in its input, from every block's line count.
    Counting starts again with each input as given, not each name: the same
    file named twice is numbered from 1 both times, as the tool numbers it."""
    offsets, seen, file = {}, 0, None
    for b in blocks:
        if b.file != file:
            file, seen = b.file, 0
        offsets[b.index] = seen
        seen += lines[b.index]
    return offsets
