"""vorlane_binary_parser_arrow against a plain loop over parse, row by row,
through pyarrow, Polars and DuckDB (the `dataframes` extra)."""
import json
import random

import pytest

import pyarrow as pa

from column_inputs import loop, payload_column, version_column
from vorlane_binary_parser_arrow import document_lists, documents, records

LAYOUTS = [pa.string(), pa.large_string(), pa.string_view()]


def lists(out):
    array = pa.array(out)
    assert array.type == pa.struct([("document", pa.large_string()), ("error", pa.large_string())])
    assert array.null_count == 0
    array.validate(full=True)
    return array.field("document").to_pylist(), array.field("error").to_pylist()


FIELDS = ["version", "timestamp", "range", "freq", "noise", "antialias", "acc_temp", "samples"]


def as_records(expected):
    """The typed rows a loop's documents and errors stand for."""
    rows = []
    for document, error in zip(*expected):
        row = dict.fromkeys(FIELDS)
        if document is not None:
            (name, record), = json.loads(document)["Accel"].items()
            row.update(record, version=int(name[1:]))
        rows.append({**row, "error": error})
    return rows


def typed(out):
    array = pa.array(out)
    array.validate(full=True)
    assert [f.name for f in array.type] == FIELDS + ["error"]
    return array.to_pylist()


def edge_rows(seed):
    """Empty texts, nulls, non-UTF-8-able strings and every version's bad
    rows, as a sequence of str and None."""
    rng = random.Random(seed)
    rows = payload_column(seed, rows=6000)
    for _ in range(200):
        rows.insert(rng.randrange(len(rows)), rng.choice(["", None, "AQMBATICAQTQDwDXBP//Aw==", "=", "QQ=="]))
    return rows


# (payload rows, how many), versions, threads: over 100,000 rows in all,
# runs split at row counts around 1024 and the thread count.
CASES = [
    (0, 3, 1), (1, 1, 2), (2, 2, 3), (3, "column", 1), (4, "column", 2), (5, "column", 3),
    (6, 0, 2), (7, 2**64 - 1, 2), (8, "column", 7), (9, "column", 2), (10, 3, 2),
    (11, "column", 1), (12, 1, 1), (13, "column", 2), (14, 3, 3), (15, "column", 2),
]


@pytest.mark.parametrize("seed,version,threads", CASES)
def test_every_row_as_parse_gives_it(seed, version, threads):
    payloads = edge_rows(seed)
    versions = version_column(seed, len(payloads)) if version == "column" else version
    expected = loop(payloads, versions)
    # A sequence of str and None: nulls, -1 and surrogates fail as parse does.
    surrogates = payloads + ["\ud800AAAA", None]
    sequence_versions = versions if isinstance(versions, int) else versions + [3, 2**64]
    expected_sequence = loop(surrogates, sequence_versions)
    assert lists(documents(surrogates, sequence_versions, threads=threads)) == expected_sequence
    assert document_lists(surrogates, sequence_versions) == expected_sequence
    # Arrow: each layout, sliced, chunked, and as a table's reader.
    layout = LAYOUTS[seed % 3]
    arrow_versions = versions if isinstance(versions, int) else pa.array(versions, pa.int64())
    array = pa.array([None, "x"] + payloads, layout).slice(2)
    assert lists(documents(array, arrow_versions, threads=threads)) == expected
    chunked = pa.chunked_array([array.slice(0, 1025), array.slice(1025, 0), array.slice(1025)])
    assert lists(documents(chunked, arrow_versions, threads=threads)) == expected
    assert document_lists(chunked, arrow_versions) == expected
    reader = pa.table({"payload": chunked}).to_reader(max_chunksize=3000)
    assert lists(documents(reader, arrow_versions, threads=threads)) == expected
    # Typed: every good row holds exactly its document's values.
    reader = pa.table({"payload": chunked}).to_reader(max_chunksize=3000)
    assert typed(records(reader, arrow_versions, threads=threads)) == as_records(expected)


# 30,000 rows are past the size where documents are copied out by
# streaming stores.
@pytest.mark.parametrize("rows", [0, 1, 1023, 1024, 2047, 2049, 4097, 30000])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_run_edges(rows, threads):
    payloads = payload_column(rows, rows=max(rows, 1))[:rows]
    expected = loop(payloads, 3)
    assert lists(documents(pa.array(payloads, pa.string()), 3, threads=threads)) == expected
    assert typed(records(payloads, 3, threads=threads)) == as_records(expected)


def test_an_output_in_memory_kept_from_one_released_is_exact():
    # Both outputs are large enough that the first one's memory, released,
    # is written again by the second.
    for seed, threads in ((31, 1), (32, 2), (33, 1)):
        payloads = payload_column(seed, rows=30000 - 5000 * (seed - 31))
        expected = loop(payloads, 3)
        assert lists(documents(pa.array(payloads, pa.string()), 3, threads=threads)) == expected
        assert typed(records(payloads, 3, threads=threads)) == as_records(expected)


@pytest.mark.parametrize("kind", ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"])
def test_version_columns_of_every_integer_type(kind):
    payloads = payload_column(99, rows=400)
    versions = [v if v is None or v >= 0 or kind.startswith("int") else None
                for v in version_column(99, len(payloads))]
    out = documents(payloads, pa.array(versions, kind), threads=2)
    assert lists(out) == loop(payloads, versions)
    nulls = pa.nulls(len(payloads))
    assert lists(documents(payloads, nulls)) == loop(payloads, [None] * len(payloads))


def test_engines_take_the_result():
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    payloads = payload_column(5, rows=3000)
    expected = loop(payloads, 3)
    out = documents(polars.Series(payloads, dtype=polars.String), 3)
    assert len(out) == len(payloads)
    series = polars.Series(out)
    assert (series.struct.field("document").to_list(), series.struct.field("error").to_list()) == expected
    assert polars.from_arrow(out).struct.field("error").to_list() == expected[1]
    # DuckDB reads the stream by the variable's name, a column a field.
    fetched = duckdb.sql("SELECT document, error FROM out").fetchall()
    assert [r[0] for r in fetched] == expected[0] and [r[1] for r in fetched] == expected[1]
    # A stream's batches: one Arrow array joined on asking, kept as batches
    # through the stream interface.
    reader = pa.table({"p": pa.array(payloads)}).to_reader(max_chunksize=1000)
    streamed = documents(reader, 3)
    assert pa.chunked_array(streamed).num_chunks == -(-len(payloads) // 1000)
    assert lists(streamed) == expected


def test_results_outlive_their_inputs_and_each_other():
    payloads = payload_column(8, rows=500)
    out = documents(pa.array(payloads), 3)
    first = pa.array(out)
    second = pa.array(out)
    del out
    assert first.equals(second) and first.field("document").to_pylist() == loop(payloads, 3)[0]


def recipe_records(recipe, payloads, versions):
    """The typed rows a recipe gives, as Python values."""
    import duckdb
    import pandas as pd
    import polars as pl

    import vorlane_binary_parser_columns as columns

    column = pa.array(payloads, pa.string())
    if recipe == "arrow":
        return columns.decode_arrow(column, pa.array(versions, pa.int16()), "records").to_pylist()
    if recipe == "pandas":
        frame = columns.decode_series(pd.Series(payloads, dtype=object), pd.Series(versions, dtype="Int64"),
                                      "records")
        return pa.Table.from_pandas(frame, preserve_index=False).to_pylist()
    if recipe == "polars":
        frame = pl.DataFrame({"p": column, "v": pa.array(versions, pa.int32())})
        return frame.select(columns.polars_decode("p", "v", "records").alias("r")).to_series().to_list()
    if recipe == "duckdb":
        con = duckdb.connect()
        columns.register_duckdb(con, output="records")
        source = pa.table({"n": range(len(payloads)), "p": column, "v": pa.array(versions, pa.int32())})  # noqa: F841
        return [r[0] for r in con.sql("SELECT vorlane_decode(v, p) FROM source ORDER BY n").fetchall()]
    # Spark's mapInArrow function, fed Arrow batches as Spark would.
    decode = columns.spark_decode_batches("p", "v", "records")
    batches = pa.table({"p": column, "v": pa.array(versions, pa.int32())}).to_batches(max_chunksize=700)
    return pa.Table.from_batches(list(decode(iter(batches)))).drop(["p", "v"]).to_pylist()


@pytest.mark.parametrize("recipe", ["arrow", "pandas", "polars", "duckdb", "spark batches"])
def test_recipes_give_the_typed_rows(recipe):
    payloads = payload_column(21, rows=2000)
    versions = [v if v is not None and v >= 0 else 3 for v in version_column(22, len(payloads))]
    expected = as_records(loop(payloads, versions))
    assert recipe_records(recipe, payloads, versions) == expected


def test_docs_examples_of_the_typed_output(tmp_path, monkeypatch):
    import collections

    import pyarrow.parquet as pq

    from column_inputs import doc_blocks, first_blocks

    monkeypatch.chdir(tmp_path)
    payloads = payload_column(6, rows=400)
    pq.write_table(pa.table({"payload": pa.array(payloads, pa.string())}), "payloads.parquet")
    namespace = {}
    exec(first_blocks()[1], namespace)  # noqa: S102 - the docs' own example
    assert typed(namespace["records"](namespace["payloads"], 3))[0]["acc_temp"] == 25
    exec(doc_blocks("Typed values: the records output")[0], namespace)  # noqa: S102
    expected = as_records(loop(payloads, 3))
    assert namespace["typed"].to_dicts() == expected
    temps = [r["acc_temp"] for r in expected if r["acc_temp"] is not None]
    assert namespace["mean_temp"] == pytest.approx(sum(temps) / len(temps))
    ranges = collections.Counter(r["range"] for r in expected if r["version"] is not None)
    assert dict(namespace["per_range"]) == ranges
