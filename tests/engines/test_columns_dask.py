"""The column recipe on Dask DataFrame partitions, against a plain loop over parse."""
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import dask  # noqa: F401 - scripts/test installs it; missing is a failure
import dask.dataframe as dd

from column_inputs import doc_blocks, loop, payload_column, version_column
from vorlane_binary_parser_columns import dask_decode


@pytest.mark.parametrize("mixed,backend", [(False, None), (True, None), (True, "pyarrow")],
                         ids=["one-version", "version-column", "version-column-pyarrow"])
@pytest.mark.parametrize("partitions", [1, 5])
def test_partitions_match_the_loop(mixed, backend, partitions):
    payloads = payload_column(31, rows=1000)
    versions = version_column(32, len(payloads))
    frame = dd.from_pandas(pd.DataFrame({"payload": pd.Series(payloads, dtype=object),
                                         "version": pd.Series(versions, dtype="Int64")}),
                           npartitions=partitions)
    decoded = dask_decode(frame["payload"], frame["version"] if mixed else 3, dtype_backend=backend)
    assert decoded.npartitions == partitions
    out = decoded.compute(scheduler="sync")
    assert list(out.columns) == ["document", "error"]
    assert out.index.tolist() == list(range(len(payloads)))
    got = tuple(pa.array(out[name].array, pa.large_string()).to_pylist() for name in ("document", "error"))
    assert got == loop(payloads, versions if mixed else 3)
    assert all(isinstance(t, pd.ArrowDtype) == (backend == "pyarrow") for t in out.dtypes)


def test_docs_example_matches_the_loop(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    payloads = payload_column(33, rows=700)
    pq.write_table(pa.table({"payload": pa.array(payloads, pa.string())}), "payloads.parquet",
                   row_group_size=200)
    namespace = {}
    exec(doc_blocks("Dask")[0], namespace)  # noqa: S102 - the docs' own example
    decoded = namespace["decoded"]
    assert (decoded["document"].tolist(), decoded["error"].tolist()) == loop(payloads, 3)
