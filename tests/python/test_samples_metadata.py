"""The samples metadata table seen from Python: read, changed, handed back, iterated."""

import json
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pytest

from zandrel import _zandrel

WEIGHTED = json.loads((Path(__file__).parent.parent / "data" / "sampler_vectors.json").read_text())["weighted"]


@pytest.fixture
def dataset(make_cache):
    """Two caches of 3 and 2 samples with fields label (str) and score (int)."""
    paths = [str(make_cache(n, [(b"x", {"label": f"{n}{i}", "score": k * 10 + i}) for i in range(size)]))
             for k, (n, size) in enumerate([("a", 3), ("b", 2)])]
    return lambda seed=0, shuffle=False: _zandrel.CachedDataset(
        _zandrel.Zandrel(2), paths, seed, 2, shuffle, False)


def to_ipc(table):
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def identities(ds):
    return [(cache, index) for _, _, cache, index in ds]


def test_table_read_changed_and_handed_back(dataset):
    ds = dataset()
    for wrong in ("junk", bytearray(b"junk"), memoryview(b"junk")):  # refused before validation
        with pytest.raises(TypeError, match="ipc"):
            ds.set_samples_metadata_ipc(ipc=wrong)
    with pytest.raises(RuntimeError, match="^Arrow error: "):
        ds.update_metadata_ipc(b"junk")

    data = ds.metadata_ipc()
    table = pa.ipc.open_file(data).read_all()
    assert table.column_names == ["cache_id", "sample_id", "label", "score", "weight"]
    assert table.select([0, 1]).to_pydict() == {"cache_id": [0, 0, 0, 1, 1], "sample_id": [0, 1, 2, 0, 1]}
    assert table["weight"].to_pylist() == [1.0] * 5 and ds.samples_metadata_ipc() == data
    ds.set_epoch_len(2)
    assert identities(ds) == [(0, 0), (0, 1)]

    # Filtered, repeated, re-weighted by integers and with columns reordered:
    # installed as given, the rows become the population and the cursor
    # starts again at row 0.
    kept = table.filter(pc.greater(table["score"], 0)).take([3, 0, 0])  # b1 a1 a1
    kept = kept.set_column(4, "weight", pc.add(kept["score"], 1)).select([4, 1, 0, 2, 3])
    with pytest.raises(ValueError, match="^samples metadata missing 'weight' column$"):
        ds.update_metadata_ipc(to_ipc(kept.drop_columns(["weight"])))
    assert ds.metadata_ipc() == data
    ds.update_metadata_ipc(handed := to_ipc(kept))
    assert ds.metadata_ipc() == handed and ds.samples_metadata_ipc() == handed
    assert identities(ds) == [(1, 1), (0, 1)]


@pytest.mark.parametrize("case", WEIGHTED, ids=lambda c: f"seed{c['seed']}-start{c['start']}")
def test_weighted_draws_follow_the_reference_sequences(dataset, case):
    ds = dataset(seed=case["seed"], shuffle=True)
    iter(ds)  # spends draws; installing a table starts them again at 0
    table = pa.ipc.open_file(ds.metadata_ipc()).read_all()
    rows = table.take([i % table.num_rows for i in range(len(case["weights"]))])
    rows = rows.set_column(4, "weight", pa.array(case["weights"], pa.float64()))
    ds.update_metadata_ipc(to_ipc(rows))
    if case["start"]:
        ds.set_epoch_len(case["start"])
        identities(ds)  # spends draws 0 .. start - 1
    ds.set_epoch_len(case["count"])
    row_identity = list(zip(rows["cache_id"].to_pylist(), rows["sample_id"].to_pylist()))
    assert identities(ds) == [row_identity[i] for i in case["indices"]]
