"""Columns of payloads decoded in bulk into Arrow columns.

Payloads: any object with ``__arrow_c_array__`` or ``__arrow_c_stream__``
holding text (``string``, ``large_string`` or ``string_view``; a table of
one such column too), or a sequence of ``str`` and ``None``. Version: one
``int``, an Arrow integer column, or a sequence of ``int`` and ``None``, as
long as the payloads. The result is Arrow data for any consumer of the
Arrow PyCapsule interface: ``pyarrow.array(out)``, ``polars.Series(out)``,
DuckDB by name. A malformed or mistyped column raises ``TypeError`` or
``ValueError`` naming the problem before any row is decoded; a bad row is
a row with an error, never an exception.
"""
from collections.abc import Sequence
from typing import Any, final

__all__ = ["Columns", "document_lists", "documents", "records"]

@final
class Columns:
    """Decoded rows: one Arrow struct array, or a stream of them (a batch of
    the input each)."""

    def __arrow_c_array__(self, *args: Any) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, *args: Any) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __len__(self) -> int: ...
    def lists(self) -> tuple[list[str | None], list[str | None]]:
        """(documents, errors) as lists of str and None; documents output only."""

def documents(payloads: Any | Sequence[str | None], version: int | Any | Sequence[int | None], *,
              threads: int | None = None) -> Columns:
    """struct<document: large_string, error: large_string>: each row's document
    as ``BinaryParser.parse`` returns it, or the message it raises; a null
    payload is null in both. ``threads``: the machine's cores by default;
    1 decodes on the calling thread."""

def document_lists(payloads: Any | Sequence[str | None],
                   version: int | Any | Sequence[int | None]) -> tuple[list[str | None], list[str | None]]:
    """(documents, errors) as ``documents(payloads, version).lists()`` gives
    them, each document made straight into its ``str`` on the calling thread."""

def records(payloads: Any | Sequence[str | None], version: int | Any | Sequence[int | None], *,
            threads: int | None = None) -> Columns:
    """Typed rows: version (uint8), timestamp (int64, version 1), range, freq,
    noise, antialias (dictionary-encoded names, versions 2 and 3), acc_temp
    (int16), samples (large_list<struct<x, y, z: int16>>) and error; a field
    the row's version lacks, and a failed row's fields, are null."""
