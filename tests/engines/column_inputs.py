"""Payload columns for the column recipes' tests, the loop they must match,
and the docs' examples of docs/dataframes.md."""
import random
import re
from pathlib import Path

from vorlane_binary_parser import BinaryParser

from payloads import b64, damaged, realistic_line, v1_bytes
from scale_out_inputs import HOSTILE, NOT_UTF8, random_line

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs" / "dataframes.md"


def payload_column(seed, rows=1500, nulls=True, line_ends=True):
    """Text rows of every kind: realistic, damaged, hostile, random, non-ASCII,
    valid version 1 records; None in about one row in twenty."""
    rng = random.Random(seed)
    fixed = [line.decode("utf-8", "replace") for line in HOSTILE + NOT_UTF8]
    fixed += [b64(v1_bytes(rng.randrange(-2**40, 2**40), 25, [(1, 2, 3)])), "ÄÖÜ€", "\t"]
    column = []
    for _ in range(rows):
        r = rng.random()
        if nulls and r < 0.05:
            column.append(None)
        elif r < 0.45:
            column.append(realistic_line(rng).decode())
        elif r < 0.6:
            column.append(damaged(realistic_line(rng), rng).decode("utf-8", "replace"))
        else:
            column.append(random_line(rng).decode("utf-8", "replace"))
    column[rng.randrange(rows):0] = fixed
    if not line_ends:  # for a line-splitting source (Spark's text files)
        column = [v for v in column if v is not None and not re.search(r"[\r\n]", v)]
    return column


def version_column(seed, rows, nulls=True):
    rng = random.Random(seed)
    pool = [1, 2, 3, 3, 3, 0, 4, 7] + ([None, -1] if nulls else [])
    return [rng.choice(pool) for _ in range(rows)]


def loop(payloads, versions):
    """What a plain loop over parse makes of the rows: the reference."""
    parse = BinaryParser().parse
    documents, errors = [], []
    if isinstance(versions, int):
        versions = [versions] * len(payloads)
    for payload, version in zip(payloads, versions, strict=True):
        if payload is None:
            documents.append(None)
            errors.append(None)
            continue
        try:
            documents.append(parse("accel", version, payload))
            errors.append(None)
        except (ValueError, TypeError, OverflowError) as exc:
            documents.append(None)
            errors.append(str(exc))
    return documents, errors


def doc_blocks(section):
    """The python blocks of a section (a `## ` heading) of docs/dataframes.md."""
    text = DOCS.read_text(encoding="utf-8")
    body = re.search(rf"^## {re.escape(section)}\n(.*?)(?=^## |\Z)", text, re.M | re.S).group(1)
    return re.findall(r"^```python\n(.*?)^```$", body, re.M | re.S)


def first_blocks():
    """The python blocks above the first section."""
    text = DOCS.read_text(encoding="utf-8").split("\n## ", 1)[0]
    return re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)
