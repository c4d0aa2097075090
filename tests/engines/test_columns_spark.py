"""The column recipe's pandas UDF in a real local Spark (local[2]): on Parquet,
with a version column, in Structured Streaming, against a plain loop over parse."""
import os
import sys

import pytest

import pyarrow as pa
import pyarrow.parquet as pq
import pyspark  # noqa: F401 - scripts/test installs it; missing is a failure
from pyspark.errors import PythonException

from column_inputs import doc_blocks, loop, payload_column, version_column

pytestmark = [
    pytest.mark.needs("java"),
    pytest.mark.skipif(os.environ.get("VORLANE_SANITIZED") == "1",
                       reason="the JVM does not start under the sanitizer preload"),
]


@pytest.fixture(scope="module")
def spark():
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession
    session = (SparkSession.builder.master("local[2]").appName("columns")
               .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
               # Small Arrow batches: many batches, each with its own parser.
               .config("spark.sql.execution.arrow.maxRecordsPerBatch", "256")
               .config("spark.driver.extraJavaOptions", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def write_table(path, payloads, versions=None):
    table = {"n": pa.array(range(len(payloads))), "payload": pa.array(payloads, pa.string())}
    if versions is not None:
        table["version"] = pa.array(versions, pa.int32())
    pq.write_table(pa.table(table), path, row_group_size=300)
    return str(path)


def ordered(rows):
    rows = sorted(rows, key=lambda r: r["n"])
    return [r["document"] for r in rows], [r["error"] for r in rows]


@pytest.mark.parametrize("maker", ["spark_decode_udf", "spark_decode_arrow_udf"])
@pytest.mark.parametrize("mixed", [False, True], ids=["one-version", "version-column"])
def test_udf_on_parquet_matches_the_loop(spark, tmp_path, mixed, maker):
    from pyspark.sql import functions as F
    import vorlane_binary_parser_columns as columns

    payloads = payload_column(21, rows=1200)
    versions = version_column(22, len(payloads)) if mixed else None
    frame = spark.read.parquet(write_table(tmp_path / "p.parquet", payloads, versions))
    udf = getattr(columns, maker)()
    version = F.col("version") if mixed else F.lit(3)
    decoded = frame.select("n", udf(version, "payload").alias("d")).select("n", "d.document", "d.error")
    assert decoded.schema.simpleString() == "struct<n:bigint,document:string,error:string>"
    assert frame.rdd.getNumPartitions() >= 1
    assert ordered(decoded.collect()) == loop(payloads, versions if mixed else 3)


def test_arrow_udf_records_hold_the_typed_rows(spark, tmp_path):
    from pyspark.sql import functions as F
    import vorlane_binary_parser_arrow as native
    import vorlane_binary_parser_columns as columns

    payloads = payload_column(25, rows=900)
    versions = version_column(26, len(payloads))
    frame = spark.read.parquet(write_table(tmp_path / "p.parquet", payloads, versions))
    decoded = frame.select("n", columns.spark_decode_arrow_udf("records")(F.col("version"), "payload").alias("r"))
    rows = [r["r"].asDict(recursive=True) for r in sorted(decoded.collect(), key=lambda r: r["n"])]
    expected = pa.array(native.records(pa.array(payloads, pa.string()), pa.array(versions, pa.int32())))
    assert rows == pa.array(expected).cast(pa.struct([(f.name, f.type if not pa.types.is_dictionary(f.type)
                                                        else pa.string()) for f in expected.type])).to_pylist()
    assert sum(r["samples"] is not None for r in rows) > 200  # not all failures


def test_a_binary_column_fails_with_the_type_error(spark, tmp_path):
    from pyspark.sql import functions as F
    from vorlane_binary_parser_columns import spark_decode_udf

    frame = spark.createDataFrame([(bytearray(b"AAAA"),)], "payload binary")
    with pytest.raises(PythonException, match="payload column: row 0 holds bytes"):
        frame.select(spark_decode_udf()(F.lit(3), "payload")).collect()


def test_docs_examples_batch_and_streaming(spark, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    payloads = payload_column(23, rows=600)
    write_table("payloads.parquet", payloads)
    # The JVM resolves relative paths in its own working folder, not this one.
    batch, _kafka, streaming = (block.replace('"payloads.parquet"', repr(str(tmp_path / "payloads.parquet")))
                                .replace('"decoded', f'"{tmp_path}/decoded') for block in doc_blocks("Spark"))
    namespace = {}
    exec(batch, namespace)  # noqa: S102 - the docs' own example
    assert namespace["spark"] is spark   # the example's getOrCreate finds the running session
    rows = namespace["decoded"].collect()
    expected = loop(payloads, 3)
    assert sorted(((r["payload"], r["document"], r["error"]) for r in rows), key=repr) == \
        sorted(zip(payloads, *expected), key=repr)

    # Streaming: the Kafka source's `value`, here from text files (no line ends in the rows).
    lines = payload_column(24, rows=900, nulls=False, line_ends=False)
    (tmp_path / "in").mkdir()
    for i in range(3):
        (tmp_path / "in" / f"{i}.txt").write_text("".join(p + "\n" for p in lines[i::3]), encoding="utf-8")
    namespace["raw"] = spark.readStream.schema("value string").text(str(tmp_path / "in"))
    exec(streaming, namespace)  # noqa: S102
    query = namespace["query"]
    try:
        query.processAllAvailable()
    finally:
        query.stop()
    assert query.exception() is None
    out = spark.read.parquet(str(tmp_path / "decoded")).collect()
    documents, errors = loop(lines, 3)
    assert sorted(((r["document"], r["error"]) for r in out), key=repr) == \
        sorted(zip(documents, errors), key=repr)
    assert sum(e is not None for e in errors) > 100
