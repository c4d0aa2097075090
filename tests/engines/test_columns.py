"""vorlane_binary_parser_columns with pandas, Polars, DuckDB and pyarrow (the
`dataframes` extra): each recipe gives what a plain loop over parse gives."""
from pathlib import Path

import pytest

import duckdb  # noqa: F401 - the dataframes extra; missing is a failure, not a skip
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq

import vorlane_binary_parser_arrow as native
import vorlane_binary_parser_columns as columns
from column_inputs import ROOT, doc_blocks, first_blocks, loop, payload_column, version_column


def run_list(payloads, versions, tmp_path):
    return columns.decode_column(payloads, versions)


def run_pandas(dtype, dtype_backend=None):
    def run(payloads, versions, tmp_path):
        if not isinstance(versions, int):
            versions = pd.Series(versions, dtype="Int64" if dtype == "Int64" else None)
        series = pd.Series(payloads, dtype=None if dtype == "Int64" else dtype, index=range(7, 7 + len(payloads)))
        frame = columns.decode_series(series, versions, dtype_backend=dtype_backend)
        assert list(frame.columns) == ["document", "error"] and frame.index.equals(series.index)
        if dtype_backend == "pyarrow":
            assert all(isinstance(t, pd.ArrowDtype) for t in frame.dtypes)
            return tuple(pa.array(frame[name].array).to_pylist() for name in ("document", "error"))
        return frame["document"].tolist(), frame["error"].tolist()
    return run


def run_arrow(payloads, versions, tmp_path):
    if not isinstance(versions, int):
        versions = pa.array(versions, type=pa.int64())
    out = columns.decode_arrow(pa.chunked_array([payloads[:100], payloads[100:]], pa.string()), versions).combine_chunks()
    return out.field("document").to_pylist(), out.field("error").to_pylist()


def run_polars(payloads, versions, tmp_path):
    frame = pl.DataFrame({"payload": payloads, "version": versions if not isinstance(versions, int) else 0},
                         schema={"payload": pl.String, "version": pl.Int64})
    version = versions if isinstance(versions, int) else "version"
    out = frame.select(columns.polars_decode("payload", version).alias("d")).unnest("d")
    assert out.schema == {"document": pl.String, "error": pl.String}
    return out["document"].to_list(), out["error"].to_list()


def run_duckdb(payloads, versions, tmp_path):
    version = [0] * len(payloads) if isinstance(versions, int) else versions
    pq.write_table(pa.table({"n": range(len(payloads)), "payload": pa.array(payloads, pa.string()),
                             "version": pa.array(version, pa.int32())}),
                   tmp_path / "p.parquet", row_group_size=700)
    con = duckdb.connect()
    columns.register_duckdb(con)
    arg = versions if isinstance(versions, int) else "version"
    rows = con.sql(f"SELECT d.document, d.error FROM (SELECT n, vorlane_decode({arg}, payload) AS d "
                   f"FROM '{tmp_path / 'p.parquet'}') ORDER BY n").fetchall()
    return [r[0] for r in rows], [r[1] for r in rows]


RECIPES = {
    "list": run_list, "pandas-object": run_pandas(object), "pandas-arrow": run_pandas("string[pyarrow]"),
    "pandas-str": run_pandas("str"), "pandas-python": run_pandas("string[python]"),
    "pandas-object-to-pyarrow": run_pandas(object, "pyarrow"), "pandas-arrow-to-pyarrow": run_pandas("str", "pyarrow"),
    "arrow": run_arrow, "polars": run_polars, "duckdb": run_duckdb,
}


@pytest.mark.parametrize("recipe", RECIPES)
@pytest.mark.parametrize("seed", [1, 2])
def test_recipe_matches_the_loop_with_one_version(recipe, seed, tmp_path):
    payloads = payload_column(seed)
    expected = loop(payloads, 3)
    assert sum(d is not None for d in expected[0]) > 300 and sum(e is not None for e in expected[1]) > 300
    assert RECIPES[recipe](payloads, 3, tmp_path) == expected


@pytest.mark.parametrize("recipe", ["list", "pandas-object", "pandas-Int64", "pandas-object-to-pyarrow", "arrow",
                                    "polars", "duckdb"])
def test_recipe_matches_the_loop_with_a_version_column(recipe, tmp_path):
    payloads = payload_column(3, rows=5000)   # more than one chunk
    versions = version_column(4, len(payloads), nulls=recipe != "duckdb")
    run = run_pandas("Int64") if recipe == "pandas-Int64" else RECIPES[recipe]
    expected = loop(payloads, versions)
    assert {e.split(":")[0] for e in expected[1] if e} >= {"Parsing failed"}
    assert run(payloads, versions, tmp_path) == expected


def test_pandas_float_versions_and_nulls_of_every_kind():
    payloads = ["AQMBATICAQTQDwDXBP//Aw==", None, float("nan"), pd.NA, "\ud800AA", "QUI", "AAAA"]
    versions = pd.Series([3, 3, None, 3, 3, 2, None])
    assert versions.dtype == "float64"   # plain pandas: integers with a null among them
    frame = columns.decode_series(pd.Series(payloads, dtype=object), versions)
    expected = loop([p if isinstance(p, str) else None for p in payloads], [3, 3, None, 3, 3, 2, None])
    assert (frame["document"].tolist(), frame["error"].tolist()) == expected
    assert expected[1][4].endswith("surrogates not allowed") and "NoneType" in expected[1][6]
    with pytest.raises(TypeError, match="fraction"):
        columns.decode_series(pd.Series(payloads, dtype=object), pd.Series([3.5, 3, 3, 3, 3, 3, 3]))


@pytest.mark.parametrize("order", [
    [None, "ok", pd.NA, "bad", float("nan"), None],   # None is skipped, the others fail as rows
    [pd.NA, None, "bad", None, "ok", float("nan")],
    ["ok", None, None, "bad", None, "ok"],
])
def test_one_version_nulls_of_every_kind_in_any_order(order):
    text = {"ok": "AQMBATICAQTQDwDXBP//Aw==", "bad": "QUI"}
    payloads = [text.get(p, p) if isinstance(p, str) else p for p in order] * 700   # past a chunk
    frame = columns.decode_series(pd.Series(payloads, dtype=object), 3)
    expected = loop([p if isinstance(p, str) else None for p in payloads], 3)
    assert (frame["document"].tolist(), frame["error"].tolist()) == expected


@pytest.fixture
def parsers(monkeypatch):
    """The batches the package decodes: the rows of each call of the native
    decoder that had any (a call with none only asks for the type)."""
    made = []

    class Counting:
        def __getattr__(self, name):
            def call(*args, **kwargs):
                out = getattr(native, name)(*args, **kwargs)
                if len(out):
                    made.append(len(out))
                return out
            return call
    monkeypatch.setattr(columns, "native", Counting())
    return made


WRONG = {"bytes": [b"AQMBATICAQTQDwDXBP//Aw=="] * 3, "ints": [1, 2, 3], "floats": [1.5, 2.0, None],
         "mixed": ["AQMBATICAQTQDwDXBP//Aw==", None, b"AAAA"]}


@pytest.mark.parametrize("wrong", WRONG)
@pytest.mark.parametrize("engine", ["list", "pandas", "arrow", "polars"])
def test_a_column_not_of_text_is_one_type_error_before_any_row(engine, wrong, parsers):
    values = WRONG[wrong]
    with pytest.raises(TypeError, match=r"payload column.*(bytes|int|float|binary|double)"):
        if engine == "list":
            columns.decode_column(values, 3)
        elif engine == "pandas":
            columns.decode_series(pd.Series(values), 3)
        elif engine == "arrow":
            columns.decode_arrow(pa.array(values), 3)
        else:
            series = pl.Series(values, dtype=pl.Object) if wrong == "mixed" else pl.Series(values)
            pl.DataFrame({"p": series}).select(columns.polars_decode("p", 3))
    assert parsers == []


@pytest.mark.parametrize("sql", ["vorlane_decode(3, b)", "vorlane_decode(3, i)", "vorlane_decode(p, p)"])
def test_duckdb_refuses_a_column_not_of_text_when_binding(sql, parsers):
    con = duckdb.connect()
    columns.register_duckdb(con)
    con.execute("CREATE TABLE t AS SELECT 'AAAA'::BLOB AS b, 5 AS i, 'AAAA' AS p")
    with pytest.raises(duckdb.BinderException, match="vorlane_decode"):
        con.sql(f"SELECT {sql} FROM t").fetchall()
    assert parsers == []


@pytest.mark.parametrize("bad", ["3", 3.0, [3, 3], True])
def test_a_version_that_is_not_an_int_or_column_of_ints(bad):
    with pytest.raises((TypeError, ValueError), match="version"):
        columns.decode_column(["AAAA", None, "QUI"], bad)
    with pytest.raises(TypeError, match="version"):
        columns.decode_column(["AAAA"], ["3"])


def test_one_decoder_call_per_batch(parsers, tmp_path):
    payloads = payload_column(5, rows=5000)
    columns.decode_series(pd.Series(payloads), 3)
    assert len(parsers) == -(-len(payloads) // columns.CHUNK) > 1   # pandas' objects: a call a chunk
    parsers.clear()
    pl.DataFrame({"p": payloads}).select(columns.polars_decode("p", 3))
    assert len(parsers) == 1
    parsers.clear()
    run_duckdb(payloads, 3, tmp_path)
    # DuckDB hands over a vector (at most 2048 rows; here a row group's 700).
    assert 1 <= len(parsers) <= len(payloads) // 500 and sum(parsers) == len(payloads)


@pytest.mark.parametrize("recipe", RECIPES)
@pytest.mark.parametrize("payloads", [[], [None, None]], ids=["empty", "all-null"])
def test_empty_and_all_null_columns(recipe, payloads, tmp_path):
    assert RECIPES[recipe](payloads, 3, tmp_path) == ([None] * len(payloads),) * 2


# ---- docs/dataframes.md: the examples do what the page says ------------------

@pytest.fixture
def tables(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    payloads = payload_column(6, rows=400)
    versions = version_column(7, len(payloads))
    pq.write_table(pa.table({"payload": pa.array(payloads, pa.string())}), "payloads.parquet")
    pq.write_table(pa.table({"version": pa.array(versions, pa.int32()),
                             "payload": pa.array(payloads, pa.string())}), "mixed.parquet")
    return payloads, versions


def test_plain_example_gives_what_it_shows():
    namespace = {}
    exec(first_blocks()[0], namespace)  # noqa: S102 - the docs' own example
    assert namespace["documents"][0].startswith('{"Accel":{"V3":{"range":"R4G",')
    assert namespace["documents"][1:] == [None, None]
    assert namespace["errors"] == [None, "Parsing failed: B64Error(InvalidPadding)", None]


def test_pandas_polars_duckdb_examples_match_the_loop(tables):
    payloads, versions = tables
    documents, errors = loop(payloads, 3)
    namespace = {}
    exec(doc_blocks("pandas")[0], namespace)  # noqa: S102
    decoded = namespace["decoded"]
    assert decoded["payload"].isna().tolist() == [p is None for p in payloads]
    assert (decoded["document"].tolist(), decoded["error"].tolist()) == (documents, errors)
    assert namespace["failed"]["error"].tolist() == [e for e in errors if e is not None]
    exec(doc_blocks("Polars")[0], namespace)  # noqa: S102
    decoded = namespace["decoded"]
    assert (decoded["document"].to_list(), decoded["error"].to_list()) == (documents, errors)
    exec(doc_blocks("DuckDB")[0], namespace)  # noqa: S102
    assert sorted(namespace["decoded"], key=repr) == sorted(zip(documents, errors), key=repr)
    # The mixed table, through the names the examples above made.
    exec(doc_blocks("Where the version comes from")[0], namespace)  # noqa: S102
    documents, errors = loop(payloads, versions)
    by_row = namespace["by_row"]
    assert (by_row["document"].tolist(), by_row["error"].tolist()) == (documents, errors)
    assert sorted(namespace["by_sql"], key=repr) == sorted([({"document": d, "error": e},)
                                                            for d, e in zip(documents, errors)], key=repr)
    assert namespace["by_expr"].to_series().to_list() == [{"document": d, "error": e}
                                                          for d, e in zip(documents, errors)]


def test_the_installed_package_is_the_source_and_typed():
    source = ROOT / "src" / "columns" / "__init__.py"
    installed = Path(columns.__file__)
    assert installed.read_bytes() == source.read_bytes()
    assert (installed.parent / "py.typed").exists()


CHUNK = 1029  # half the rows: where two threads' runs meet


def edges():
    """Failures and nulls first, last, in runs and on the threads' runs' edges."""
    good = payload_column(5, rows=50, nulls=False)
    good = [p for p, e in zip(good, loop(good, 3)[1]) if e is None][0]
    rows = [good] * (2 * CHUNK)
    for row in [0, 1, 2, CHUNK - 1, CHUNK, CHUNK + 1, len(rows) - 1]:
        rows[row] = "QR=="
    for row in [3, CHUNK - 2, len(rows) - 2]:
        rows[row] = None
    return rows


@pytest.mark.parametrize("recipe", ["list", "pandas-object", "arrow"])
def test_failures_and_nulls_at_the_edges_of_chunks(recipe, tmp_path):
    payloads = edges()
    assert RECIPES[recipe](payloads, 3, tmp_path) == loop(payloads, 3)
    assert RECIPES[recipe](["QR=="] * 5, 3, tmp_path) == loop(["QR=="] * 5, 3)
