"""Decodes files of payload lines with Spark: a recipe to copy and adapt.

    python examples/spark_recipe.py 3 out examples/accel-v3.b64 examples/bad.b64

Reads the files as text, one canonical Base64 payload per line, adds a
`document` and an `error` column with mapInPandas (one BinaryParser per
task), and writes a Parquet table of payload, document, error to out. A
failed payload is a row with its error, so one bad line never fails a task.

Needs pandas and PyArrow besides PySpark, and vorlane_binary_parser installed
in every executor's Python. Spark's text reader also splits lines at a lone
CR and replaces bytes that are not UTF-8; where that matters, or for line
numbers and the vorlane-decode output layout, use the vorlane-decode-spark
command instead (docs/scaling-out.md).
"""
import functools
import os
import sys

SCHEMA = "payload string, document string, error string"


def decode_batches(batches, version):
    """The pandas batches of one task, each with its two new columns."""
    from vorlane_binary_parser import BinaryParser  # imported on the executor

    parse = BinaryParser().parse  # one parser per task
    for batch in batches:
        documents, errors = [], []
        for payload in batch["payload"]:
            try:
                documents.append(parse("accel", version, payload))
                errors.append(None)
            except ValueError as exc:
                documents.append(None)
                errors.append(str(exc))
        yield batch.assign(document=documents, error=errors)


def decode_files(spark, version, out, files):
    lines = spark.read.text(files).withColumnRenamed("value", "payload")
    decoded = lines.where("payload != ''").mapInPandas(
        functools.partial(decode_batches, version=version), SCHEMA)
    decoded.write.mode("overwrite").parquet(out)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: spark_recipe.py VERSION OUT FILE...")
    from pyspark.sql import SparkSession

    # local[*] here: the Python workers are this interpreter, which has the module.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = SparkSession.builder.master("local[*]").appName("vorlane-recipe").getOrCreate()
    try:
        decode_files(spark, int(sys.argv[1]), sys.argv[2], sys.argv[3:])
    finally:
        spark.stop()
