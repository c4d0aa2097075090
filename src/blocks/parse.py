"""The parse decoder: a block's lines through BinaryParser().parse, with the
tool's rules for line ends and bytes that are not UTF-8. parse does not say
how much of a payload its record took, so --strict is the tool's alone."""
from __future__ import annotations

import re

# Lines decoded between two writes of a part file: a few hundred kilobytes of
# documents, which stay in the cache while they are joined and written.
LINES_PER_WRITE = 256

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


def split_lines(data: bytes) -> tuple[list, bool]:
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


def count_lines(data: bytes) -> int:
    """Lines as the tool counts them: empty ones too, a last one without LF."""
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def decode_with_parse(version: int, data: bytes, docs_out, fail_out,
                      prefix: bytes) -> tuple[int, int, int]:
    """parse on every line of the block: (lines, documents, failures)."""
    from vorlane_binary_parser import BinaryParser

    parse = BinaryParser().parse
    lines, is_text = split_lines(data)
    documents, fails = 0, []
    for base in range(0, len(lines), LINES_PER_WRITE):
        docs = []
        for number, line in enumerate(lines[base:base + LINES_PER_WRITE], base + 1):
            if not line:
                continue
            try:
                if is_text:
                    document = parse("accel", version, line)
                else:
                    try:
                        document = parse("accel", version, line.decode("utf-8"))
                    except UnicodeDecodeError:
                        document = parse_bytes(parse, version, line)
                docs.append(document)
            except ValueError as exc:
                fails.append(prefix + f"{number}: {exc}\n".encode())
        if docs:
            documents += len(docs)
            docs.append("")
            docs_out.write("\n".join(docs).encode())
    fail_out.write(b"".join(fails))
    return count_lines(data), documents, len(fails)
