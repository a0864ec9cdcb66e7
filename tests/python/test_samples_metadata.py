"""The samples metadata table: read with pyarrow, changed, handed back, iterated."""

import json
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pytest

from zandrel import _zandrel

VECTORS = Path("/work/shared/testdata/sampler_vectors.json")


@pytest.fixture
def caches(make_cache):
    """Two caches of 3 and 2 samples with fields label (str) and score (int)."""
    a = make_cache("a", [(b"a%d" % i, {"label": "a%d" % i, "score": i}) for i in range(3)])
    b = make_cache("b", [(b"b%d" % i, {"label": "b%d" % i, "score": 10 + i}) for i in range(2)])
    return [str(a), str(b)]


@pytest.fixture
def dataset(caches):
    def make(seed=0, shuffle=False):
        return _zandrel.CachedDataset(_zandrel.Zandrel(2), caches, seed, 2, shuffle, False)

    return make


def read_table(data: bytes) -> pa.Table:
    return pa.ipc.open_file(pa.py_buffer(data)).read_all()


def to_ipc(table: pa.Table) -> bytes:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def identities(ds):
    return [(cache, index) for _, _, cache, index in ds]


def test_built_table_round_trip(dataset):
    ds = dataset()
    data = ds.metadata_ipc()
    table = read_table(data)
    assert table.column_names == ["cache_id", "sample_id", "label", "score", "weight"]
    assert table.schema.field("cache_id").type == pa.uint64()
    assert table.column("cache_id").to_pylist() == [0, 0, 0, 1, 1]
    assert table.column("sample_id").to_pylist() == [0, 1, 2, 0, 1]
    assert table.column("label").to_pylist() == ["a0", "a1", "a2", "b0", "b1"]
    assert table.column("weight").to_pylist() == [1.0] * 5
    assert ds.samples_metadata_ipc() == data

    # Filtered, reordered and repeated rows become the population, in row
    # order; the epoch keeps its length of 5 and wraps around the 3 rows.
    kept = table.filter(pc.greater(table.column("score"), 0))  # a1 a2 b0 b1
    kept = kept.take([3, 0, 0])
    ds.update_metadata_ipc(ipc=to_ipc(kept))
    assert identities(ds) == [(1, 1), (0, 1), (0, 1), (1, 1), (0, 1)]
    handed = to_ipc(kept.select(["weight", "sample_id", "cache_id", "label", "score"]))
    ds.set_samples_metadata_ipc(handed)
    assert ds.metadata_ipc() == handed and ds.samples_metadata_ipc() == handed


def test_replacement_resets_cursor_and_failure_changes_nothing(dataset):
    ds = dataset()
    ds.set_epoch_len(2)
    assert identities(ds) == [(0, 0), (0, 1)]
    before = ds.metadata_ipc()
    with pytest.raises(ValueError):
        ds.update_metadata_ipc(to_ipc(read_table(before).drop_columns(["weight"])))
    assert ds.metadata_ipc() == before
    assert identities(ds) == [(0, 2), (1, 0)]  # the cursor kept its place
    ds.update_metadata_ipc(before)
    assert len(ds) == 2 and identities(ds) == [(0, 0), (0, 1)]


@pytest.mark.parametrize(
    "case", json.loads(VECTORS.read_text())["weighted"],
    ids=lambda c: "seed%d-start%d-n%d" % (c["seed"], c["start"], len(c["weights"])))
def test_weighted_draws_follow_the_reference_sequences(dataset, case):
    ds = dataset(seed=case["seed"], shuffle=True)
    iter(ds)  # spends draws 0 .. 4; installing a table starts the draws again at 0
    table = read_table(ds.metadata_ipc())
    rows = table.take([i % table.num_rows for i in range(len(case["weights"]))])
    rows = rows.set_column(rows.schema.get_field_index("weight"), "weight",
                           pa.array(case["weights"], pa.float64()))
    ds.update_metadata_ipc(to_ipc(rows))
    if case["start"]:
        ds.set_epoch_len(case["start"])
        identities(ds)  # spends draws 0 .. start - 1
    ds.set_epoch_len(case["count"])
    row_identity = list(zip(rows.column("cache_id").to_pylist(),
                            rows.column("sample_id").to_pylist()))
    assert identities(ds) == [row_identity[i] for i in case["indices"]]


def _mutated(table: pa.Table, name: str, array) -> bytes:
    if array is None:
        return to_ipc(table.drop_columns([name]))
    return to_ipc(table.set_column(table.schema.get_field_index(name), name, array))


def _col(values, type_):
    return pa.array(values, type_)


MESSAGES = [
    ("label", None, "samples metadata missing 'label' column"),
    ("score", _col([1] * 5, pa.int32()),
     "samples metadata column 'score' must have Arrow type Int64"),
    ("sample_id", None, "samples metadata missing 'sample_id' column"),
    ("cache_id", _col([0] * 5, pa.int16()),
     "samples metadata column 'cache_id' must be an integer"),
    ("cache_id", _col([0, -1, 0, 0, 0], pa.int64()),
     "samples metadata column 'cache_id' must be non-negative"),
    ("sample_id", _col([0, None, 0, 0, 0], pa.uint64()),
     "samples metadata column 'sample_id' contains null"),
    ("weight", _col([1, 1, None, 1, 1], pa.float64()),
     "samples metadata column 'weight' contains null"),
    ("weight", _col([1] * 5, pa.float16()), "samples metadata column 'weight' must be numeric"),
    ("weight", _col([3, 3, 3, 0, 3], pa.int64()), "weight 3 must be positive and finite"),
    ("sample_id", _col([0, 1, 2, 2, 1], pa.uint32()),
     "unknown samples metadata row identity cache_id=1 sample_id=2"),
]


def test_refused_tables_raise_their_messages(dataset):
    ds = dataset()
    table = read_table(ds.metadata_ipc())
    for name, array, message in MESSAGES:
        with pytest.raises(ValueError) as raised:
            ds.update_metadata_ipc(_mutated(table, name, array))
        assert str(raised.value) == message
    with pytest.raises(ValueError, match="^metadata table must include at least one sample$"):
        ds.update_metadata_ipc(to_ipc(table.slice(0, 0)))

    data = to_ipc(table)
    for broken in (data[: len(data) // 2], data[:-9] + b"\xff" * 9, b"not arrow"):
        with pytest.raises(RuntimeError, match="^Arrow error: "):
            ds.update_metadata_ipc(broken)


def test_ipc_argument_must_be_bytes(dataset):
    ds = dataset()
    data = ds.metadata_ipc()

    class Subclass(bytes):
        pass

    ds.update_metadata_ipc(Subclass(data))
    for wrong in (data.decode("latin-1"), bytearray(data), memoryview(data)):
        with pytest.raises(TypeError, match="ipc"):
            ds.update_metadata_ipc(wrong)
        with pytest.raises(TypeError, match="ipc"):
            ds.set_samples_metadata_ipc(ipc=wrong)
    with pytest.raises(TypeError):
        ds.update_metadata_ipc()


def test_cache_metadata_of_another_type_fails_the_build(caches):
    root = Path(caches[1]) / "metadata.arrow"
    table = pa.ipc.open_file(root.read_bytes()).read_all()
    table = table.set_column(0, "label", table.column("label").cast(pa.string_view()))
    root.write_bytes(to_ipc(table))
    ds = _zandrel.CachedDataset(_zandrel.Zandrel(1), caches, 0, 1, False, False)
    with pytest.raises(ValueError) as raised:
        ds.metadata_ipc()
    assert str(raised.value) == "metadata column 'label' does not match manifest schema"
