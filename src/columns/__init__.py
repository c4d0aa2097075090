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

Every recipe stands on vorlane_binary_parser_arrow, which decodes a whole
column in C++ on a few threads; each offers the typed output too
(`output="records"`: the fields in columns of their own types). The recipes
for pandas, Polars, DuckDB, Spark and Dask import their engine only when
called; docs/dataframes.md shows each.
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal

import vorlane_binary_parser_arrow as native

if TYPE_CHECKING:  # pragma: no cover - engines are optional
    import duckdb
    import pandas
    import polars
    import pyarrow

__all__ = [
    "COLUMNS", "SPARK_SCHEMA", "SPARK_RECORDS_SCHEMA", "decode_column", "decode_series",
    "decode_arrow", "polars_decode", "register_duckdb", "spark_decode_udf", "spark_decode_arrow_udf",
    "spark_decode_batches", "dask_decode",
]

COLUMNS = ("document", "error")
SPARK_SCHEMA = "struct<document:string, error:string>"
# Spark has no 8-bit unsigned or dictionary types: the version as a short,
# the settings as their names.
SPARK_RECORDS_SCHEMA = ("struct<version:short, timestamp:long, range:string, freq:string, noise:string, "
                        "antialias:string, acc_temp:short, samples:array<struct<x:short, y:short, z:short>>, "
                        "error:string>")
Versions = int | Sequence[int | None]
Output = Literal["documents", "records"]
DtypeBackend = Literal["pyarrow"]


def _decoder(output: Output) -> Any:
    if output not in ("documents", "records"):
        raise ValueError(f"output must be 'documents' or 'records', not {output!r}")
    return native.records if output == "records" else native.documents


def _plain_version(version: Any) -> Versions:
    if isinstance(version, bool) or not isinstance(version, int):
        raise TypeError(f"version must be an int or a column of them, not {type(version).__name__}")
    return version


def decode_column(payloads: Sequence[str | None], version: Versions) -> tuple[list[str | None], list[str | None]]:
    """(documents, errors): two lists as long as `payloads`.

    `version` is an int, or a sequence of ints (None allowed) beside the payloads."""
    if isinstance(version, bool) or (not isinstance(version, int) and isinstance(version, (str, bytes))):
        raise TypeError(f"version must be an int or a column of them, not {type(version).__name__}")
    documents, errors = native.document_lists(payloads, version)
    return documents, errors


# ---- pandas ----------------------------------------------------------------

def _pandas_payloads(series: pandas.Series, nulls: bool = True) -> Any:
    """The Series as the decoder takes it: Arrow memory as it is, other
    columns as a list of str and None (NaN and pd.NA made None unless
    `nulls` is false)."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.StringDtype) and dtype.storage != "python":
        return series.array.__arrow_array__()
    if isinstance(dtype, pd.ArrowDtype):
        return series.array.__arrow_array__()
    if dtype != object and not isinstance(dtype, pd.StringDtype):
        raise TypeError(f"payload column is {dtype}, expected text (object or string dtype)")
    if nulls and series.hasnans:
        series = series.astype(object).where(series.notna(), None)
    return series.tolist()


def _pandas_versions(versions: Any, length: int) -> Any:
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


# Rows decoded between copies into a frame's columns: a chunk's str objects
# are copied in while still in the CPU's cache (measured: 2,048 to 4,096 rows
# beat both 1,024 and the whole column).
CHUNK = 4096


def _object_columns(values: Any, versions: Any) -> tuple[Any, Any]:
    """Documents and errors as object arrays: each document made straight
    into its str, which beats Arrow text converted to str row by row."""
    import numpy as np

    rows = len(values)
    documents = np.empty(rows, dtype=object)
    errors = np.empty(rows, dtype=object)
    for start in range(0, rows, CHUNK):
        stop = start + CHUNK
        chunk_versions = versions if isinstance(versions, int) else versions[start:stop]
        documents[start:stop], errors[start:stop] = native.document_lists(values[start:stop], chunk_versions)
    return documents, errors


def decode_series(payloads: pandas.Series, version: int | pandas.Series,
                  output: Output = "documents", dtype_backend: DtypeBackend | None = None) -> pandas.DataFrame:
    """A DataFrame with the Series' index: `document` and `error`, object
    columns of str and None (Arrow-backed strings with
    dtype_backend="pyarrow", the decoder's text as it is); or with
    output="records" the typed columns (Arrow-backed). `version` is an int
    or a Series of them."""
    import pandas as pd
    import pyarrow as pa

    if dtype_backend not in (None, "pyarrow"):
        raise ValueError(f"dtype_backend must be None or 'pyarrow', not {dtype_backend!r}")
    decode = _decoder(output)
    versions = _pandas_versions(version, len(payloads))
    values = _pandas_payloads(payloads, nulls=False)
    if output == "documents" and dtype_backend is None:
        try:
            documents, errors = _object_columns(values, versions)
        except TypeError:
            # Nulls other than None (NaN, pd.NA) are rare: looked for only
            # when refused. A column that is not text is refused again here,
            # naming its row.
            if not isinstance(values, list):
                raise
            documents, errors = native.document_lists(_pandas_payloads(payloads), versions)
        return pd.DataFrame({"document": documents, "error": errors}, index=payloads.index, dtype=object,
                            copy=False)
    if isinstance(values, list):
        values = _pandas_payloads(payloads)
    out = pa.array(decode(values, versions))
    frame = pa.Table.from_struct_array(out).to_pandas(types_mapper=pd.ArrowDtype)
    frame.index = payloads.index
    return frame


# ---- Arrow: Polars and DuckDB ----------------------------------------------

def _arrow_versions(versions: Any, length: int) -> Any:
    if isinstance(versions, int) and not isinstance(versions, bool):
        return versions
    if not hasattr(versions, "__arrow_c_array__") and not hasattr(versions, "__arrow_c_stream__"):
        return _plain_version(versions)
    if len(versions) != length:
        raise ValueError(f"{len(versions)} versions for {length} payloads")
    return versions


def decode_arrow(payloads: pyarrow.Array | pyarrow.ChunkedArray,
                 version: int | pyarrow.Array | pyarrow.ChunkedArray,
                 output: Output = "documents") -> pyarrow.ChunkedArray:
    """A chunked struct array as long as `payloads`: struct<document: string,
    error: string>, or the typed fields with output="records"."""
    import pyarrow as pa

    return pa.chunked_array(_decoder(output)(payloads, _arrow_versions(version, len(payloads))))


def polars_decode(payloads: polars.Expr | str, version: int | polars.Expr | str,
                  output: Output = "documents") -> polars.Expr:
    """An expression of struct{document: String, error: String} (or of the
    typed fields, output="records"); `payloads` and a version column may be
    expressions or column names."""
    import polars as pl

    decode = _decoder(output)
    # The result's type, as Polars reads the decoder's (no rows decoded).
    struct = pl.Series(decode([], 3)).dtype

    def one_version(series: pl.Series) -> pl.Series:
        return pl.Series(series.name, decode(series, version))

    def many_versions(columns: Sequence[pl.Series]) -> pl.Series:
        versions, texts = columns
        return pl.Series(texts.name, decode(texts, versions))

    payload_expr = pl.col(payloads) if isinstance(payloads, str) else payloads
    if isinstance(version, int) and not isinstance(version, bool):
        return payload_expr.map_batches(one_version, return_dtype=struct)
    if isinstance(version, str):
        version = pl.col(version)
    if not isinstance(version, pl.Expr):
        raise TypeError(f"version must be an int, a column name or an expression, "
                        f"not {type(version).__name__}")
    return pl.map_batches([version, payload_expr], many_versions, return_dtype=struct)


DUCKDB_RECORDS = ("STRUCT(version UTINYINT, timestamp BIGINT, range VARCHAR, freq VARCHAR, noise VARCHAR, "
                  "antialias VARCHAR, acc_temp SMALLINT, samples STRUCT(x SMALLINT, y SMALLINT, z SMALLINT)[], "
                  "error VARCHAR)")


def register_duckdb(connection: duckdb.DuckDBPyConnection, name: str = "vorlane_decode",
                    output: Output = "documents") -> None:
    """Registers `name(version, payload)` on the connection: a struct
    (document VARCHAR, error VARCHAR), or the typed fields with
    output="records", decoded one vector at a time."""
    import importlib

    import duckdb
    import pyarrow as pa

    # duckdb.sqltype in newer DuckDB; the type's constructor before.
    sqltype: Any = getattr(duckdb, "sqltype", None) or importlib.import_module("duckdb.typing").DuckDBPyType
    decoder = _decoder(output)

    def decode(versions: Any, payloads: Any) -> Any:
        # A vector is small (at most 2048 rows): one thread decodes it. The
        # settings' dictionaries DuckDB reads as the VARCHAR declared.
        return pa.array(decoder(payloads, _arrow_versions(versions, len(payloads)), threads=1))

    result = DUCKDB_RECORDS if output == "records" else "STRUCT(document VARCHAR, error VARCHAR)"
    connection.create_function(
        name, decode, [sqltype("INTEGER"), sqltype("VARCHAR")], sqltype(result),
        type="arrow", null_handling="special", side_effects=False)  # type: ignore[call-overload]


# ---- Spark and Dask --------------------------------------------------------

def _spark_records(out: pyarrow.Array) -> pyarrow.Array:
    """The typed struct in types Spark has: no uint8, no dictionaries."""
    import pyarrow as pa

    fields = []
    for field in out.type:
        kind = field.type
        if pa.types.is_dictionary(kind):
            kind = pa.string()
        elif field.name == "version":
            kind = pa.int16()
        elif pa.types.is_large_list(kind):
            kind = pa.list_(kind.value_type)
        elif pa.types.is_large_string(kind):
            kind = pa.string()
        fields.append(field.with_type(kind))
    return out.cast(pa.struct(fields))


def spark_decode_udf(output: Output = "documents") -> Any:
    """An Arrow-backed pandas UDF: udf(version_column, payload_column) gives
    SPARK_SCHEMA (or SPARK_RECORDS_SCHEMA, output="records"). For one
    version pass F.lit(3)."""
    import pandas as pd
    from pyspark.sql.functions import pandas_udf  # type: ignore[attr-defined]

    def vorlane_decode(versions: Any, payloads: Any) -> Any:
        if output == "records":
            import pyarrow as pa
            out = _spark_records(pa.array(native.records(_pandas_payloads(payloads),
                                                         _pandas_versions(versions, len(payloads)))))
            return pa.Table.from_struct_array(out).to_pandas()
        return decode_series(payloads, versions)

    # Spark reads the UDF's kind from real (not postponed) annotations.
    vorlane_decode.__annotations__ = {"versions": pd.Series, "payloads": pd.Series,
                                      "return": pd.DataFrame}
    return pandas_udf(vorlane_decode, SPARK_RECORDS_SCHEMA if output == "records" else SPARK_SCHEMA)


def _spark_output(out: pyarrow.Array, output: Output) -> pyarrow.Array:
    """A decoder's output in the types Spark declares."""
    import pyarrow as pa

    if output == "records":
        return _spark_records(out)
    return out.cast(pa.struct([("document", pa.string()), ("error", pa.string())]))


def spark_decode_arrow_udf(output: Output = "documents") -> Any:
    """An Arrow UDF (PySpark 4.1 and later): udf(version_column,
    payload_column) gives SPARK_SCHEMA (or SPARK_RECORDS_SCHEMA,
    output="records"), each Arrow batch decoded as it is, with no pandas in
    between. For one version pass F.lit(3)."""
    import pyarrow as pa
    from pyspark.sql import functions

    arrow_udf = getattr(functions, "arrow_udf", None)
    if arrow_udf is None:
        raise RuntimeError("spark_decode_arrow_udf needs PySpark 4.1 or later; use spark_decode_udf")
    decoder = _decoder(output)

    def vorlane_decode(versions: pa.Array, payloads: pa.Array) -> pa.Array:
        return _spark_output(pa.array(decoder(payloads, _arrow_versions(versions, len(payloads)))), output)

    # Spark reads the UDF's kind from real (not postponed) annotations.
    vorlane_decode.__annotations__ = {"versions": pa.Array, "payloads": pa.Array, "return": pa.Array}
    return arrow_udf(vorlane_decode, SPARK_RECORDS_SCHEMA if output == "records" else SPARK_SCHEMA)


def spark_decode_batches(payload: str, version: int | str, output: Output = "documents") -> Any:
    """For DataFrame.mapInArrow: a function from Arrow record batches to
    record batches, each row's columns kept and the decoded fields added.
    Its schema: the input's plus SPARK_SCHEMA's (or SPARK_RECORDS_SCHEMA's)
    fields."""
    import pyarrow as pa

    decoder = _decoder(output)

    def decode(batches: Any) -> Any:
        for batch in batches:
            versions = version if isinstance(version, int) else batch.column(version)
            out = _spark_output(pa.array(decoder(batch.column(payload), versions)), output)
            yield pa.RecordBatch.from_arrays(batch.columns + out.flatten(),
                                             names=batch.schema.names + [f.name for f in out.type])
    return decode


def dask_decode(payloads: Any, version: int | Any, output: Output = "documents",
                dtype_backend: DtypeBackend | None = None) -> Any:
    """A Dask DataFrame of `document` and `error` (or the typed fields) beside
    a Dask Series of payloads: decode_series on each partition. A version
    column must be a Dask Series partitioned as `payloads` (a column of the
    same frame)."""
    meta = decode_series(_empty_payloads(), 3, output, dtype_backend)
    return payloads.map_partitions(decode_series, version, output, dtype_backend, meta=meta)


def _empty_payloads() -> Any:
    import pandas as pd

    return pd.Series([], dtype=object)
