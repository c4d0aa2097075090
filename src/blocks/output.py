"""The output folder: its layout, parts put in place whole, and _SUCCESS.

    DIR/documents/part-NNNNN   documents, one per line
    DIR/failures/part-NNNNN    FILE:LINE: message, one per failed line
    DIR/_SUCCESS               the run's counts, written last, only when
                               every part is complete

A part is written under DIR/_temporary and renamed into place once whole, so
a task that is killed or retried never leaves a part that looks finished.
Failure lines of a block that does not start its input wait in DIR/_pending
until the lines before the block are counted.
"""
from __future__ import annotations

import json
import uuid

from vorlane_binary_parser_blocks.paths import has_files, join, make_dirs, move, open_write, \
    remove

DOCUMENTS, FAILURES, PENDING, TEMPORARY, SUCCESS = (
    "documents", "failures", "_pending", "_temporary", "_SUCCESS")


class UsedFolder(Exception):
    """DIR holds an earlier run's output and --overwrite was not given."""


def prepare_output(out: str, overwrite: bool) -> None:
    """Makes the part folders; refuses (UsedFolder) to mix a run's parts with
    an earlier run's unless asked to replace them. OSError, ValueError or
    ImportError (an fsspec protocol not installed) if DIR cannot be used."""
    earlier = [join(out, n) for n in (SUCCESS, DOCUMENTS, FAILURES, PENDING, TEMPORARY)]
    if any(has_files(p) for p in earlier):
        if not overwrite:
            raise UsedFolder(out)
        # The old mark goes first: a run stopped from here on is not complete.
        for path in earlier:
            remove(path)
    for name in (DOCUMENTS, FAILURES, PENDING, TEMPORARY):
        make_dirs(join(out, name))


def temporary(out: str, folder: str, part: str) -> str:
    """A name of this attempt's own for a part being written."""
    return join(out, TEMPORARY, f"{uuid.uuid4().hex}.{folder}.{part}")


def discard(*paths: str) -> None:
    for path in paths:
        try:
            remove(path)
        except OSError:
            pass


def write_part(out: str, folder: str, part: str, data: bytes) -> None:
    temp = temporary(out, folder, part)
    try:
        with open_write(temp) as f:
            f.write(data)
        move(temp, join(out, folder, part))
    except BaseException:
        discard(temp)
        raise


def finish_output(out: str, counts: dict | None) -> None:
    """Clears the working folders; with counts (the run is complete) writes
    _SUCCESS last, itself put in place whole."""
    remove(join(out, TEMPORARY))
    if counts is None:
        return
    remove(join(out, PENDING))
    temp = join(out, f".{SUCCESS}.{uuid.uuid4().hex}")
    try:
        with open_write(temp) as f:
            f.write(json.dumps(counts, separators=(",", ":")).encode() + b"\n")
        move(temp, join(out, SUCCESS))
    except BaseException:
        discard(temp)
        raise
