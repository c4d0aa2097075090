"""The column recipes against a plain loop over parse, on payloads in memory.

    .venv/bin/python benchmarks/columns.py [--rows 1000000] [--repeats 3] [--skip spark,dask]

The column: realistic version 3 payloads (10 to 70 samples), with one row in
a hundred damaged and one in a hundred null, so every path is taken. The
loop keeps documents and errors in two lists; each recipe's output is
compared with the loop's, row by row (the typed outputs and the JSON route
are checked by the tests, not here). Times are the best of --repeats runs;
the ratio is to the loop's best in the same run. What is timed is the
decoding from a column already in the engine (a pandas Series, a Polars
frame, a DuckDB table, a cached Spark DataFrame) to its output in the
engine; Spark's JVM start and the caching are not timed. "Spark, a UDF
echoing" runs a pandas UDF that returns its input, "Spark, mapInArrow
echoing" a mapInArrow function that adds it as the document: what Spark's
Arrow exchange costs with no decoding at all. "DuckDB, a UDF echoing
documents" (or records) returns slices of the output decoded beforehand:
what DuckDB's Arrow UDFs cost to take in and give out output of this size.

--memory instead measures the decoder's peak memory on a stream: the
payloads written to an Arrow IPC file in batches of 65,536 rows, read back
batch by batch in a fresh process and decoded; it prints the output's size
and how far the process's peak resident memory rose beyond it.
"""
from __future__ import annotations

import argparse
import gc
import os
import platform
import random
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from payloads import damaged, realistic_line  # noqa: E402

from vorlane_binary_parser import BinaryParser  # noqa: E402


def make_column(rows, seed=2024):
    """`rows` payload texts: 20,000 distinct lines, each row its own str object."""
    rng = random.Random(seed)
    distinct = [realistic_line(rng) for _ in range(min(rows, 20000))]
    column = []
    for i in range(rows):
        line = distinct[rng.randrange(len(distinct))]
        r = rng.random()
        if r < 0.01:
            column.append(None)
        elif r < 0.02:
            column.append(damaged(line, rng).decode("utf-8", "replace"))
        else:
            column.append(line.decode())
    return column


def loop(payloads):
    parse = BinaryParser().parse
    documents, errors = [], []
    for payload in payloads:
        if payload is None:
            documents.append(None)
            errors.append(None)
            continue
        try:
            documents.append(parse("accel", 3, payload))
            errors.append(None)
        except ValueError as exc:
            documents.append(None)
            errors.append(str(exc))
    return documents, errors


def best(fn, repeats):
    times, out = [], None
    for _ in range(repeats):
        out = None
        gc.collect()
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def arrow_lists(table):
    return tuple(table.column(name).to_numpy(zero_copy_only=False).tolist()
                 for name in ("document", "error"))


def recipes(payloads, args, tmp):
    """(name, setup) pairs; setup returns (timed function, to (documents, errors))."""
    import pyarrow.parquet as pq
    import vorlane_binary_parser_columns as columns

    def native(threads, arrow, output="documents"):
        # The batch decoder from a list of str (what the loop reads) or an
        # Arrow string column, to its Arrow struct column.
        def setup():
            import pyarrow as pa
            import vorlane_binary_parser_arrow as native
            source = pa.array(payloads, pa.string()) if arrow else payloads
            decode = getattr(native, output)
            check = None if output == "records" else (
                lambda out: arrow_lists(pa.table(pa.array(out).flatten(), names=["document", "error"])))
            return lambda: decode(source, 3, threads=threads), check
        return setup

    # The JSON routes hold every document's parsed tree at once: on the
    # first --json-rows rows only, their time scaled to the whole column.
    json_rows = min(args.json_rows, len(payloads))
    scale = len(payloads) / max(json_rows, 1)

    def polars_of(output, json_route=False):
        # Typed values as a user gets them today: documents, then Polars'
        # JSON reader into the records' types.
        def setup():
            import polars as pl
            rows = payloads[:json_rows] if json_route else payloads
            frame = pl.DataFrame({"payload": rows}, schema={"payload": pl.String})
            if json_route:
                dtype = pl.Struct({"Accel": pl.Struct({"V3": pl.Struct({
                    "range": pl.String, "freq": pl.String, "noise": pl.String, "antialias": pl.String,
                    "acc_temp": pl.Int16,
                    "samples": pl.List(pl.Struct({"x": pl.Int16, "y": pl.Int16, "z": pl.Int16}))})})})
                return (lambda: frame.select(columns.polars_decode("payload", 3).alias("d")).unnest("d")
                        .select(pl.col("document").str.json_decode(dtype)), None, scale)
            return lambda: frame.select(columns.polars_decode("payload", 3, output).alias("d")).unnest("d"), None
        return setup

    def duckdb_of(output, json_route=False):
        def setup():
            import duckdb
            import pyarrow as pa
            con = duckdb.connect()
            columns.register_duckdb(con, "vorlane_decode", output)
            rows = payloads[:json_rows] if json_route else payloads
            source = pa.table({"n": range(len(rows)), "payload": pa.array(rows, pa.string())})  # noqa: F841
            con.execute("CREATE TABLE payloads AS SELECT * FROM source")
            fetch = "to_arrow_table" if hasattr(con.sql("SELECT 1"), "to_arrow_table") else "fetch_arrow_table"
            if json_route:
                structure = ('{"Accel":{"V3":{"range":"VARCHAR","freq":"VARCHAR","noise":"VARCHAR",'
                             '"antialias":"VARCHAR","acc_temp":"SMALLINT",'
                             '"samples":[{"x":"SMALLINT","y":"SMALLINT","z":"SMALLINT"}]}}}')
                sql = (f"SELECT json_transform(d.document, '{structure}') AS r FROM "
                       "(SELECT vorlane_decode(3, payload) AS d FROM payloads)")
                return lambda: getattr(con.sql(sql), fetch)(), None, scale
            if output == "records":
                return lambda: getattr(con.sql("SELECT vorlane_decode(3, payload) AS r FROM payloads"), fetch)(), None
            sql = "SELECT d.document, d.error FROM (SELECT vorlane_decode(3, payload) AS d FROM payloads)"
            return lambda: getattr(con.sql(sql), fetch)(), arrow_lists
        return setup

    def duckdb_floor(output):
        # A UDF that returns the output already decoded, a slice from the
        # vector's first row number (a scan's vector holds rows in order):
        # what DuckDB's Arrow UDFs cost to take in and give out as much.
        def setup():
            import duckdb
            import pyarrow as pa
            import vorlane_binary_parser_arrow as native_module
            con = duckdb.connect()
            decode = native_module.records if output == "records" else native_module.documents
            decoded = pa.array(decode(pa.array(payloads, pa.string()), 3))
            if output == "documents":
                decoded = decoded.cast(pa.struct([("document", pa.string()), ("error", pa.string())]))

            def echo(n, payload):
                return decoded.slice(n[0].as_py(), len(n))
            sqltype = getattr(duckdb, "sqltype", None) or __import__("duckdb.typing").typing.DuckDBPyType
            kind = columns.DUCKDB_RECORDS if output == "records" else "STRUCT(document VARCHAR, error VARCHAR)"
            con.create_function("echo", echo, [sqltype("BIGINT"), sqltype("VARCHAR")], sqltype(kind),
                                type="arrow", null_handling="special", side_effects=False)
            source = pa.table({"n": range(len(payloads)), "payload": pa.array(payloads, pa.string())})  # noqa: F841
            con.execute("CREATE TABLE payloads AS SELECT * FROM source")
            sql = ("SELECT echo(n, payload) AS r FROM payloads" if output == "records" else
                   "SELECT d.document, d.error FROM (SELECT echo(n, payload) AS d FROM payloads)")
            fetch = "to_arrow_table" if hasattr(con.sql("SELECT 1"), "to_arrow_table") else "fetch_arrow_table"
            return lambda: getattr(con.sql(sql), fetch)(), None
        return setup

    def plain():
        return lambda: columns.decode_column(payloads, 3), lambda out: out

    def frame_lists(out):
        import pyarrow as pa
        return tuple(pa.array(out[name].array, pa.large_string()).to_pylist() for name in ("document", "error"))

    def pandas_of(dtype, backend=None):
        def setup():
            import pandas as pd
            series = pd.Series(payloads, dtype=dtype)
            return lambda: columns.decode_series(series, 3, dtype_backend=backend), frame_lists
        return setup

    def polars():
        import polars as pl
        frame = pl.DataFrame({"payload": payloads}, schema={"payload": pl.String})
        return (lambda: frame.select(columns.polars_decode("payload", 3).alias("d")).unnest("d"),
                lambda out: (out["document"].to_list(), out["error"].to_list()))

    def duckdb():
        import duckdb
        import pyarrow as pa
        con = duckdb.connect()
        columns.register_duckdb(con)
        source = pa.table({"n": range(len(payloads)), "payload": pa.array(payloads, pa.string())})
        con.execute("CREATE TABLE payloads AS SELECT * FROM source")
        # Rows keep the table's order (preserve_insertion_order): no sort timed.
        sql = "SELECT d.document, d.error FROM (SELECT vorlane_decode(3, payload) AS d FROM payloads)"
        fetch = "to_arrow_table" if hasattr(con.sql("SELECT 1"), "to_arrow_table") else "fetch_arrow_table"
        return lambda: getattr(con.sql(sql), fetch)(), arrow_lists

    def spark():
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        import pyarrow as pa
        import pyarrow.parquet as pq
        from pyspark.sql import SparkSession
        from pyspark.sql import functions as F
        session = (SparkSession.builder.master(args.spark_master).appName("columns-bench")
                   .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
                   .config("spark.driver.memory", "3g").getOrCreate())
        session.sparkContext.setLogLevel("ERROR")
        path = os.path.join(tmp, "payloads.parquet")
        pq.write_table(pa.table({"n": range(len(payloads)), "payload": pa.array(payloads, pa.string())}),
                       path, row_group_size=len(payloads) // 8 + 1)
        frame = session.read.parquet(path).cache()
        frame.count()
        udf = columns.spark_decode_udf()
        decoded = frame.select("n", udf(F.lit(3), "payload").alias("d")).select("n", "d.document", "d.error")

        def run():
            decoded.write.format("noop").mode("overwrite").save()

        def result(_):
            out = os.path.join(tmp, "spark-out")
            decoded.write.mode("overwrite").parquet(out)
            return arrow_lists(pq.read_table(out).sort_by("n"))
        return run, result

    def dask_of(backend=None):
        def setup():
            import dask.dataframe as dd
            import pandas as pd
            frame = dd.from_pandas(pd.DataFrame({"payload": pd.Series(payloads, dtype=object)}),
                                   npartitions=8).persist(scheduler="sync")
            return (lambda: columns.dask_decode(frame["payload"], 3, dtype_backend=backend).compute(scheduler="sync"),
                    frame_lists)
        return setup

    def spark_arrow(output):
        # mapInArrow: each Arrow batch decoded as it is, no pandas between.
        def setup():
            from pyspark.sql import SparkSession
            from pyspark.sql.types import StructType
            frame = SparkSession.builder.getOrCreate().read.parquet(os.path.join(tmp, "payloads.parquet")).cache()
            frame.count()
            fields = columns.SPARK_RECORDS_SCHEMA if output == "records" else columns.SPARK_SCHEMA
            schema = StructType(frame.schema.fields + StructType.fromDDL(fields).fields)
            decoded = frame.mapInArrow(columns.spark_decode_batches("payload", 3, output), schema)
            run = lambda: decoded.write.format("noop").mode("overwrite").save()  # noqa: E731
            if output == "records":
                return run, None

            def result(_):
                out = os.path.join(tmp, "spark-arrow-out")
                decoded.select("n", "document", "error").write.mode("overwrite").parquet(out)
                return arrow_lists(pq.read_table(out).sort_by("n"))
            return run, result
        return setup

    def spark_arrow_udf():
        # The Arrow UDF (PySpark 4.1 and later): pyarrow arrays in and out.
        from pyspark.sql import SparkSession
        from pyspark.sql import functions as F
        frame = SparkSession.builder.getOrCreate().read.parquet(os.path.join(tmp, "payloads.parquet")).cache()
        frame.count()
        udf = columns.spark_decode_arrow_udf()
        decoded = frame.select("n", udf(F.lit(3), "payload").alias("d")).select("n", "d.document", "d.error")

        def result(_):
            out = os.path.join(tmp, "spark-udf-out")
            decoded.write.mode("overwrite").parquet(out)
            return arrow_lists(pq.read_table(out).sort_by("n"))
        return lambda: decoded.write.format("noop").mode("overwrite").save(), result

    def spark_arrow_floor():
        # mapInArrow returning each batch with its payload as the document.
        import pyarrow as pa
        from pyspark.sql import SparkSession
        from pyspark.sql.types import StructType

        def echo(batches):
            for batch in batches:
                payload = batch.column("payload")
                yield pa.RecordBatch.from_arrays(batch.columns + [payload, pa.nulls(len(payload), pa.string())],
                                                 names=batch.schema.names + ["document", "error"])
        frame = SparkSession.builder.getOrCreate().read.parquet(os.path.join(tmp, "payloads.parquet")).cache()
        frame.count()
        schema = StructType(frame.schema.fields + StructType.fromDDL(columns.SPARK_SCHEMA).fields)
        decoded = frame.mapInArrow(echo, schema)
        return lambda: decoded.write.format("noop").mode("overwrite").save(), None

    def spark_floor():
        import pandas as pd
        from pyspark.sql import SparkSession
        from pyspark.sql import functions as F
        from pyspark.sql.functions import pandas_udf

        def echo(versions, payloads):
            return pd.DataFrame({"document": payloads, "error": None}, dtype=object)
        echo.__annotations__ = {"versions": pd.Series, "payloads": pd.Series, "return": pd.DataFrame}
        udf = pandas_udf(echo, columns.SPARK_SCHEMA)
        frame = SparkSession.builder.getOrCreate().read.parquet(os.path.join(tmp, "payloads.parquet")).cache()
        frame.count()
        decoded = frame.select("n", udf(F.lit(3), "payload").alias("d")).select("n", "d.document", "d.error")
        return lambda: decoded.write.format("noop").mode("overwrite").save(), None

    json_note = f" ({json_rows:,} rows, scaled)" if json_rows < len(payloads) else ""
    table = [("native documents, list, 1 thread", native(1, False)),
             ("native documents, list, default", native(None, False)),
             ("native documents, Arrow, 1 thread", native(1, True)),
             ("native documents, Arrow, default", native(None, True)),
             ("native records, Arrow, 1 thread", native(1, True, "records")),
             ("native records, Arrow, default", native(None, True, "records")),
             ("Polars records", polars_of("records")),
             (f"Polars documents + str.json_decode{json_note}", polars_of("documents", True)),
             ("DuckDB records", duckdb_of("records")),
             (f"DuckDB documents + json_transform{json_note}", duckdb_of("documents", True)),
             ("decode_column (list)", plain), ("pandas, object Series", pandas_of(object)),
             ("pandas, string[pyarrow] Series", pandas_of("string[pyarrow]")),
             ("pandas, string[pyarrow] Series, dtype_backend=pyarrow", pandas_of("string[pyarrow]", "pyarrow")),
             ("Polars map_batches", polars), ("DuckDB Arrow UDF", duckdb),
             ("Spark pandas UDF", spark), ("Spark Arrow UDF", spark_arrow_udf),
             ("Spark mapInArrow", spark_arrow("documents")),
             ("Spark mapInArrow records", spark_arrow("records")), ("Dask map_partitions", dask_of()),
             ("Dask map_partitions, dtype_backend=pyarrow", dask_of("pyarrow")),
             ("DuckDB, a UDF echoing documents", duckdb_floor("documents")),
             ("DuckDB, a UDF echoing records", duckdb_floor("records")),
             ("Spark, a UDF echoing", spark_floor), ("Spark, mapInArrow echoing", spark_arrow_floor)]
    skip = set(filter(None, args.skip.split(",")))
    return [(name, setup) for name, setup in table if name.split()[0].lower().strip(",") not in skip]


MEMORY_CHILD = """
import resource, sys
import pyarrow as pa
import vorlane_binary_parser_arrow as native

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

# Read, not mapped: a batch is in memory only while it is decoded.
reader = pa.ipc.open_stream(pa.OSFile(sys.argv[1]))
before = rss()
out = native.%s(reader, 3)
# VmHWM, not ru_maxrss: the latter keeps the forking parent's peak.
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
size = pa.chunked_array(out).nbytes  # the batches as they are, not joined
print(f"{before / 1e6:.0f} {peak / 1e6:.0f} {size / 1e6:.0f}")
"""


def memory(payloads, tmp):
    import subprocess

    import pyarrow as pa
    path = os.path.join(tmp, "payloads.arrows")
    table = pa.table({"payload": pa.array(payloads, pa.string())})
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_stream(sink, table.schema) as writer:
        for batch in table.to_batches(max_chunksize=65536):
            writer.write_batch(batch)
    for output in ("documents", "records"):
        before, peak, size = map(int, subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD % output, path], check=True, capture_output=True,
            text=True).stdout.split())
        print(f"{output}: resident {before} MB before, peak {peak} MB; output {size} MB; "
              f"peak beyond the output {peak - before - size} MB")


def main():
    cli = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    cli.add_argument("--rows", type=int, default=1_000_000)
    cli.add_argument("--repeats", type=int, default=3)
    cli.add_argument("--skip", default="", help="engines to leave out, e.g. spark,dask")
    cli.add_argument("--json-rows", type=int, default=200_000,
                     help="rows the JSON routes decode (they hold every parsed document at once)")
    cli.add_argument("--memory", action="store_true", help="measure a stream's peak memory instead")
    cli.add_argument("--spark-master", default="local[1]",
                     help="local[1] (default): one Python worker, as the loop is one thread")
    args = cli.parse_args()

    payloads = make_column(args.rows)
    if args.memory:
        with tempfile.TemporaryDirectory() as tmp:
            memory(payloads, tmp)
        return 0
    print(f"{args.rows:,} payloads, {sum(map(len, filter(None, payloads))) / 1e6:.0f} MB of text; "
          f"Python {platform.python_version()}, {os.cpu_count()} CPUs, best of {args.repeats}")
    base, expected = best(lambda: loop(payloads), args.repeats)
    failed = sum(e is not None for e in expected[1])
    print(f"| {'recipe':<56} | {'seconds':>7} | {'ratio to loop':>13} | same as loop |")
    print(f"|{'-' * 58}|{'-' * 9}|{'-' * 15}|{'-' * 14}|")
    print(f"| {'Python loop over parse':<56} | {base:7.3f} | {1:13.2f} | ({failed:,} errors) |")
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for name, setup in recipes(payloads, args, tmp):
            run, lists, *scale = setup()
            seconds, out = best(run, args.repeats)
            seconds *= scale[0] if scale else 1
            same = "n/a" if lists is None else "yes" if lists(out) == expected else "NO"
            ok &= same != "NO"
            del out, run, lists
            print(f"| {name:<56} | {seconds:7.3f} | {seconds / base:13.2f} | {same} |", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
