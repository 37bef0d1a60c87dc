"""Merged digests and snapshot files as Python sees them."""

import numpy as np
import pytest

from tesrak import TensorDigest

LEVELS = [0.0, 0.01, 0.25, 0.5, 0.9, 1.0]


def fed(shape, dtype, rows):
    rng = np.random.default_rng(0)
    d = TensorDigest(shape, 4, dtype)
    for _ in range(rows):
        d.update(rng.normal(5.0, 30.0, size=shape).astype(dtype))
    return d


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_loads_and_merges_give_new_independent_objects(tmp_path, dtype):
    d = fed([2, 3, 4], dtype, rows=7)  # rows left buffered: save flushes them
    path = str(tmp_path / "digest.tsk")
    d.save(path)
    loaded = TensorDigest.load(path)
    assert (loaded.dtype, loaded.shape) == (d.dtype, d.shape)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)

    for merged in (d.merge_cells([0, 5, 5]), d.merge_channels([1, 0]), d.merge_cells([])):
        assert (merged.shape, merged.numel, merged.dtype) == ([1], 1, dtype)
    before = d.quantiles(LEVELS)
    merged = d.merge_all()
    merged_min = merged.cell_quantiles(0, [0.0])
    merged.update(np.full(1, 1000, dtype=dtype))
    assert d.quantiles(LEVELS) == before
    d.update(np.full([2, 3, 4], -1000, dtype=dtype))
    d.flush()
    assert merged.cell_quantiles(0, [0.0, 1.0]) == merged_min + [1000.0]


@pytest.mark.parametrize("content, message", [
    (None, "No such file or directory (os error 2)"),
    (b"", "incomplete frame"),
])
def test_files_that_hold_no_snapshot(tmp_path, content, message):
    path = tmp_path / "bad.tsk"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError) as caught:
        TensorDigest.load(str(path))
    assert caught.type is OSError and str(caught.value) == message
