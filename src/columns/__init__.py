"""Decodes a column of payload texts into two columns, failures kept as data.

    from vorlane_binary_parser_columns import decode_column
    documents, errors = decode_column(["AQMBATICAQTQDwDXBP//Aw==", "QUI", None], 3)
    # documents: [<the JSON text>, None, None]
    # errors:    [None, "Parsing failed: B64Error(InvalidPadding)", None]

A row that decoded has its document and no error; a row that failed has no
document and the exact message `BinaryParser.parse` raised; a null payload is
null in both. The version is one int for the whole column, or a column of
versions beside it. A column of anything but text (bytes, numbers) raises one
TypeError before any row is decoded.

The recipes for pandas, Polars, DuckDB, Spark and Dask import their engine
only when called; docs/dataframes.md shows each.
"""
from __future__ import annotations

import functools
import math
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from vorlane_binary_parser import BinaryParser

if TYPE_CHECKING:  # pragma: no cover - engines are optional
    import duckdb
    import pandas
    import polars
    import pyarrow

__all__ = [
    "COLUMNS", "SPARK_SCHEMA", "decode_column", "decode_series", "decode_arrow",
    "polars_decode", "register_duckdb", "spark_decode_udf", "dask_decode",
]

COLUMNS = ("document", "error")
SPARK_SCHEMA = "struct<document:string, error:string>"
Versions = int | Sequence[int | None]


def _check_payloads(values: Sequence[Any]) -> None:
    # One pass over the types (not the rows) in the common case.
    kinds = set(map(type, values))
    if all(k is type(None) or issubclass(k, str) for k in kinds):
        return
    for row, value in enumerate(values):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"payload column: row {row} holds {type(value).__name__}, "
                            "expected str or null (decode bytes to text first)")


def _check_versions(versions: Sequence[Any], length: int) -> None:
    if len(versions) != length:
        raise ValueError(f"{len(versions)} versions for {length} payloads")
    for row, value in enumerate(versions):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
            raise TypeError(f"version column: row {row} holds {type(value).__name__}, "
                            "expected int or null")


# Rows decoded between conversions: the documents of a chunk are still in
# the CPU's cache when an engine copies them (measured: 1024 beats both 256
# and 16384, and converting the whole column at the end).
CHUNK = 1024
# A chunk's failed rows: (row within the chunk, message), in row order. Few
# rows fail, so the error column is filled with nulls and these set after.
Failures = list[tuple[int, str]]
Chunk = tuple[int, list[str | None], Failures]


def _one_version(decode: Callable[[Any], str], values: Sequence[Any]) -> tuple[list[str | None], Failures]:
    """A chunk's rows (already checked) decoded with one version.

    The rows go through map() into list.extend, with no Python code per row;
    a row that fails stops the extend there, its error is kept, and the same
    map goes on after it. None rows are found by a scan in C and skipped,
    not raised for; another null (NaN, pd.NA) stops the extend as a failure
    does and is null in both columns."""
    documents: list[str | None] = []
    failures: Failures = []
    rows = len(values)
    start = 0
    while start < rows:
        try:
            stop = values.index(None, start)
        except ValueError:
            stop = rows
        if stop > start:
            taken = map(decode, values if start == 0 and stop == rows else values[start:stop])
            while True:
                try:
                    documents.extend(taken)
                    break
                except (ValueError, TypeError) as exc:
                    row = len(documents)
                    if row >= stop:  # not a row's failure after all
                        raise
                    documents.append(None)
                    if isinstance(values[row], str):  # TypeError comes from nulls only
                        failures.append((row, str(exc)))
        if stop < rows:
            documents.append(None)
        start = stop + 1
    return documents, failures


def _each_row(parse: Callable[..., str], values: Sequence[Any],
              versions: Sequence[Any]) -> tuple[list[str | None], Failures]:
    """A chunk's rows (already checked), each with its own version."""
    documents: list[str | None] = []
    failures: Failures = []
    add_document = documents.append
    for row, (value, row_version) in enumerate(zip(values, versions)):
        if value is None or not isinstance(value, str):  # a null of any kind
            add_document(None)
            continue
        try:
            add_document(parse("accel", row_version, value))
        # A null or negative version is this row's fault too; the text
        # was checked, so the TypeError can only come from a null version.
        except (ValueError, OverflowError, TypeError) as exc:
            add_document(None)
            failures.append((row, str(exc)))
    return documents, failures


def _chunks(rows: int, values_at: Callable[[int, int], Sequence[Any]], version: Versions) -> Iterator[Chunk]:
    """(start, documents, failures) for each CHUNK rows, the rows (already
    checked) decoded by one parser. `values_at(start, stop)` gives the rows."""
    parse = BinaryParser().parse
    for start in range(0, rows, CHUNK):
        stop = min(start + CHUNK, rows)
        values = values_at(start, stop)
        if isinstance(version, int):
            documents, failures = _one_version(functools.partial(parse, "accel", version), values)
            if len(documents) != len(values):
                # An extend that lost what it had taken when a row failed
                # (no CPython does): row by row, then.
                documents, failures = _each_row(parse, values, [version] * len(values))
        else:
            documents, failures = _each_row(parse, values, version[start:stop])
        yield start, documents, failures


def _error_list(rows: int, failures: Failures) -> list[str | None]:
    errors: list[str | None] = [None] * rows
    for row, message in failures:
        errors[row] = message
    return errors


def _decode(values: Sequence[str | None], version: Versions) -> tuple[list[str | None], list[str | None]]:
    documents: list[str | None] = []
    errors: list[str | None] = [None] * len(values)
    for start, chunk_documents, failures in _chunks(len(values), lambda a, b: values[a:b], version):
        documents += chunk_documents
        for row, message in failures:
            errors[start + row] = message
    return documents, errors


def _plain_version(version: Any) -> Versions:
    if isinstance(version, bool) or not isinstance(version, int):
        raise TypeError(f"version must be an int or a column of them, not {type(version).__name__}")
    return version


def decode_column(payloads: Sequence[str | None], version: Versions) -> tuple[list[str | None], list[str | None]]:
    """(documents, errors): two lists as long as `payloads`.

    `version` is an int, or a sequence of ints (None allowed) beside the payloads."""
    payloads = payloads if isinstance(payloads, (list, tuple)) else list(payloads)
    _check_payloads(payloads)
    if not isinstance(version, int) or isinstance(version, bool):
        if isinstance(version, (str, bytes)) or not isinstance(version, Sequence):
            raise TypeError(f"version must be an int or a column of them, not {type(version).__name__}")
        _check_versions(version, len(payloads))
    return _decode(payloads, version)


# ---- pandas ----------------------------------------------------------------

def _pandas_rows(series: pandas.Series) -> Callable[[int, int], Sequence[Any]]:
    """The rows from `start` to `stop` as str, or a null (None, NaN or pd.NA,
    as pandas has them)."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.StringDtype):
        if dtype.storage != "python":  # Arrow memory: made into str a chunk at a time
            return _arrow_rows(series.array.__arrow_array__())
        values = series.tolist()
        return lambda start, stop: values[start:stop]
    if dtype != object:
        raise TypeError(f"payload column is {dtype}, expected text (object or string dtype)")
    # Checked in C; NaN and pd.NA are skipped as nulls.
    if pd.api.types.infer_dtype(series, skipna=True) not in ("string", "empty"):
        _check_payloads([None if pd.isna(v) is True else v for v in series.tolist()])
    # One list for the column: slicing it costs less than a list a chunk.
    values = series.tolist()
    return lambda start, stop: values[start:stop]


def _pandas_versions(versions: Any, length: int) -> Versions:
    import pandas as pd

    if not isinstance(versions, pd.Series):
        return _plain_version(versions)
    if len(versions) != length:
        raise ValueError(f"{len(versions)} versions for {length} payloads")
    dtype = versions.dtype
    if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
        raise TypeError(f"version column is {dtype}, expected integers")
    if pd.api.types.is_float_dtype(dtype):
        # Integers with a null among them are float in plain pandas.
        values = versions.tolist()
        if any(not math.isnan(v) and not float(v).is_integer() for v in values):
            raise TypeError("version column holds a fraction, expected integers")
        return [None if math.isnan(v) else int(v) for v in values]
    values = versions.tolist()
    return [None if v is pd.NA else v for v in values] if versions.hasnans else values


def decode_series(payloads: pandas.Series, version: int | pandas.Series) -> pandas.DataFrame:
    """A DataFrame with the Series' index and two object columns, `document`
    and `error`, of str and None. `version` is an int or a Series of them."""
    import numpy as np
    import pandas as pd

    values_at = _pandas_rows(payloads)
    rows = len(payloads)
    documents = np.empty(rows, dtype=object)
    errors = np.full(rows, None, dtype=object)
    for start, chunk_documents, failures in _chunks(rows, values_at, _pandas_versions(version, rows)):
        documents[start:start + len(chunk_documents)] = chunk_documents
        for row, message in failures:
            errors[start + row] = message
    return pd.DataFrame({"document": documents, "error": errors}, index=payloads.index, dtype=object,
                        copy=False)


# ---- Arrow: Polars and DuckDB ----------------------------------------------

def _arrow_rows(array: pyarrow.Array | pyarrow.ChunkedArray) -> Callable[[int, int], list[str | None]]:
    """The rows from `start` to `stop` as str and None, made a chunk at a time."""
    import pyarrow as pa

    kind = array.type
    if pa.types.is_null(kind):
        return lambda start, stop: [None] * (stop - start)
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)
            or pa.types.is_string_view(kind)):
        raise TypeError(f"payload column is {kind}, expected text (string)")
    return lambda start, stop: array.slice(start, stop - start).to_pylist()


def _arrow_versions(versions: Any, length: int) -> Versions:
    import pyarrow as pa
    import pyarrow.compute as pc

    if not isinstance(versions, (pa.Array, pa.ChunkedArray)):
        return _plain_version(versions)
    if len(versions) != length:
        raise ValueError(f"{len(versions)} versions for {length} payloads")
    if not pa.types.is_integer(versions.type) and not pa.types.is_null(versions.type):
        raise TypeError(f"version column is {versions.type}, expected integers")
    if versions.null_count == 0 and length:
        # A constant version (a literal in SQL) reaches the function as a column.
        low, high = pc.min_max(versions).values()
        if low == high:
            return int(low.as_py())
    return versions.to_pylist()  # type: ignore[no-any-return]


def decode_arrow(payloads: pyarrow.Array | pyarrow.ChunkedArray,
                 version: int | pyarrow.Array | pyarrow.ChunkedArray) -> pyarrow.ChunkedArray:
    """A chunked struct<document: string, error: string> array as long as `payloads`."""
    import pyarrow as pa

    return _decode_arrow(payloads, version, pa.string())


def _decode_arrow(payloads: Any, version: Any, text: pyarrow.DataType) -> pyarrow.ChunkedArray:
    import pyarrow as pa

    rows = len(payloads)
    values_at = _arrow_rows(payloads)
    versions = _arrow_versions(version, rows)
    struct = pa.struct([(name, text) for name in COLUMNS])
    # Built as bytes and viewed as text: the texts come from str, so they are
    # UTF-8 already and Arrow need not check them again (a sixth of the copy).
    raw = pa.binary_view() if text == pa.string_view() else pa.binary()
    return pa.chunked_array(
        [pa.StructArray.from_arrays([pa.array(documents, raw).view(text),
                                     pa.array(_error_list(len(documents), failures), raw).view(text)],
                                    fields=list(struct))
         for _, documents, failures in _chunks(rows, values_at, versions)], type=struct)


def polars_decode(payloads: polars.Expr | str, version: int | polars.Expr | str) -> polars.Expr:
    """An expression of struct{document: String, error: String}; `payloads`
    and a version column may be expressions or column names."""
    import polars as pl

    import pyarrow as pa

    struct = pl.Struct({"document": pl.String, "error": pl.String})
    # Polars takes string_view arrays as they are; other strings it copies.
    text = pa.string_view()

    def one_version(series: pl.Series) -> pl.Series:
        return pl.Series(series.name, _decode_arrow(series.to_arrow(), version, text))

    def many_versions(columns: Sequence[pl.Series]) -> pl.Series:
        versions, texts = columns
        return pl.Series(texts.name, _decode_arrow(texts.to_arrow(), versions.to_arrow(), text))

    payload_expr = pl.col(payloads) if isinstance(payloads, str) else payloads
    if isinstance(version, int) and not isinstance(version, bool):
        return payload_expr.map_batches(one_version, return_dtype=struct)
    if isinstance(version, str):
        version = pl.col(version)
    if not isinstance(version, pl.Expr):
        raise TypeError(f"version must be an int, a column name or an expression, "
                        f"not {type(version).__name__}")
    return pl.map_batches([version, payload_expr], many_versions, return_dtype=struct)


def register_duckdb(connection: duckdb.DuckDBPyConnection, name: str = "vorlane_decode") -> None:
    """Registers `name(version, payload)` on the connection: a struct
    (document VARCHAR, error VARCHAR), decoded one vector at a time."""
    import importlib

    import duckdb

    # duckdb.sqltype in newer DuckDB; the type's constructor before.
    sqltype: Any = getattr(duckdb, "sqltype", None) or importlib.import_module("duckdb.typing").DuckDBPyType

    def decode(versions: Any, payloads: Any) -> Any:
        return decode_arrow(payloads, versions).combine_chunks()

    connection.create_function(
        name, decode, [sqltype("INTEGER"), sqltype("VARCHAR")],
        sqltype("STRUCT(document VARCHAR, error VARCHAR)"),
        type="arrow", null_handling="special", side_effects=False)  # type: ignore[call-overload]


# ---- Spark and Dask --------------------------------------------------------

def spark_decode_udf() -> Any:
    """A pandas UDF (Arrow-backed): udf(version_column, payload_column) gives
    struct<document:string, error:string>. For one version pass F.lit(3)."""
    import pandas as pd
    from pyspark.sql.functions import pandas_udf  # type: ignore[attr-defined]

    def vorlane_decode(versions: Any, payloads: Any) -> Any:
        return decode_series(payloads, versions)

    # Spark reads the UDF's kind from real (not postponed) annotations.
    vorlane_decode.__annotations__ = {"versions": pd.Series, "payloads": pd.Series,
                                      "return": pd.DataFrame}
    return pandas_udf(vorlane_decode, SPARK_SCHEMA)


def dask_decode(payloads: Any, version: int | Any) -> Any:
    """A Dask DataFrame of `document` and `error` beside a Dask Series of
    payloads: decode_series on each partition. A version column must be a
    Dask Series partitioned as `payloads` (a column of the same frame)."""
    import pandas as pd

    meta = pd.DataFrame({"document": pd.Series(dtype=object), "error": pd.Series(dtype=object)})
    return payloads.map_partitions(decode_series, version, meta=meta)
