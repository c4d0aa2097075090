"""The work a Dask or Spark worker does: decode one block of an input and
write its two part files, or renumber a block's failure lines once the lines
before it are counted. Workers import it from the installed package.

Parts are numbered over the inputs in order, so the concatenation of each
output folder in name order is what vorlane-decode writes to its stdout and
stderr for the same files (see .output for the layout).
"""
from __future__ import annotations

import os
import sys
from typing import NamedTuple

from vorlane_binary_parser_blocks import output as bo
from vorlane_binary_parser_blocks.parse import decode_with_parse
from vorlane_binary_parser_blocks.paths import join, move, open_read, open_write
from vorlane_binary_parser_blocks.plan import Block, part_name
from vorlane_binary_parser_blocks.tool import TOOL, InputChanged, InputFailed, ToolFailed, \
    decode_with_tool, find_tool


class Counts(NamedTuple):
    index: int  # type: ignore[assignment]  # a field named as tuple.index
    lines: int        # every line whose start lies in the block, empty ones too
    documents: int
    failures: int
    pending: bool     # failures written with numbers relative to the block
    nbytes: int
    error: str | None  # the block could not be read or its parts written
    decoder: str = ""  # "tool" or "parse"; "" for a block that held no line


class Options(NamedTuple):
    version: int
    decoder: str = "auto"
    strict: bool = False
    stall_timeout: float = 600.0


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


def _check_size(f, block: Block) -> None:
    """The input must still have the size the plan saw."""
    if block.size < 0:
        return
    try:
        size: int | None = os.fstat(f.fileno()).st_size
    except (AttributeError, OSError):
        size = getattr(f, "size", None)
    if size is not None and size != block.size:
        raise InputChanged()


def name_bytes(name: str) -> bytes:
    """An input's name as the tool writes it: the bytes of its argument."""
    return name.encode("utf-8", "surrogateescape")


def _failed(block: Block, message: str, nbytes: int = 0) -> Counts:
    return Counts(block.index, 0, 0, 0, False, nbytes, message)


def decode_block(block: Block, out: str, width: int, options: Options) -> Counts:
    """Reads one block, decodes every line, writes its two part files."""
    part = part_name(block.index, width)
    tool = find_tool() if options.decoder != "parse" else None
    # --strict has no parse fallback: only the tool knows where a record ends.
    if (options.decoder == "tool" or options.strict) and tool is None:
        return _failed(block, f"no {TOOL} of this release beside {sys.executable} or on PATH"
                       + (" (--strict needs it)" if options.strict else ""))
    # The first block of an input knows its line numbers; the others learn
    # theirs when every block before them has been counted.
    pending = block.start > 0
    prefix = b"" if pending else name_bytes(block.name) + b":"
    try:
        f = open_read(block.path)
    except OSError as exc:
        return _failed(block, f"{block.name}: {exc.strerror or exc}")
    docs_temp = bo.temporary(out, bo.DOCUMENTS, part)
    fail_temp = bo.temporary(out, bo.FAILURES, part)
    nbytes, writing = 0, False
    try:
        with f:
            _check_size(f, block)
            first, last = block_bounds(f, block.start, block.end)
            nbytes = last - first
            if tool and last > first:
                data = None  # the tool is fed from the file
            else:
                f.seek(first)
                data = f.read(nbytes)
                if len(data) != nbytes:
                    raise InputChanged()
            writing = True
            with open_write(docs_temp) as docs_out, open_write(fail_temp) as fail_out:
                if data is None:
                    assert tool is not None
                    lines, documents, failures = decode_with_tool(
                        tool, options.version, f, first, last, docs_out, fail_out, prefix,
                        options.strict, options.stall_timeout)
                else:
                    lines, documents, failures = decode_with_parse(
                        options.version, data, docs_out, fail_out, prefix)
            writing = False
            _check_size(f, block)
        pending = pending and failures > 0
        writing = True
        move(fail_temp, join(out, bo.PENDING if pending else bo.FAILURES, part))
        move(docs_temp, join(out, bo.DOCUMENTS, part))
    except (InputChanged, InputFailed, ToolFailed) as exc:
        bo.discard(docs_temp, fail_temp)
        return _failed(block, f"{block.name}: {exc}", nbytes)
    except OSError as exc:
        bo.discard(docs_temp, fail_temp)
        # A part is named by where it goes, not by its temporary name.
        failing = bo.FAILURES if exc.filename == fail_temp else bo.DOCUMENTS
        where = join(out, failing, part) if writing else block.name
        return _failed(block, f"{where}: {exc.strerror or exc}", nbytes)
    except BaseException:
        bo.discard(docs_temp, fail_temp)
        raise
    used = "" if not nbytes else "tool" if data is None else "parse"
    return Counts(block.index, lines, documents, failures, pending, nbytes, None, used)


def renumber_failures(block: Block, line_offset: int, out: str, width: int) -> str | None:
    """Writes a pending failures part with the block's place in its input."""
    part = part_name(block.index, width)
    prefix = name_bytes(block.name) + b":"
    try:
        lines = []
        with open_read(join(out, bo.PENDING, part)) as f:
            for line in f:  # binary: split at LF only
                number, rest = line.split(b":", 1)
                lines.append(b"%s%d:%s" % (prefix, int(number) + line_offset, rest))
        bo.write_part(out, bo.FAILURES, part, b"".join(lines))
    except OSError as exc:
        return f"{join(out, bo.FAILURES, part)}: {exc.strerror or exc}"
    return None


def decode_partition(blocks, out: str, width: int, options: Options) -> list[Counts]:
    """decode_block over an iterable of blocks (Spark's mapPartitions)."""
    return [decode_block(b, out, width, options) for b in blocks]


def renumber_partition(items, out: str, width: int) -> list[str | None]:
    return [renumber_failures(b, offset, out, width) for b, offset in items]
