"""analyze(): one family label per cell, from real numpy samples."""

import numpy as np
import pytest

import tesrak

BINORMAL_OFFSET = 0.8660254  # N(-s, 0.5) and N(+s, 0.5) together have variance 1
DRAW = {
    "Normal": lambda rng, size: rng.normal(0.0, 1.0, size),
    "Uniform": lambda rng, size: rng.uniform(-1.0, 1.0, size),
    "Laplace": lambda rng, size: rng.laplace(0.0, 1.0, size),
    "LogNormal": lambda rng, size: rng.lognormal(0.0, 1.0, size),
    "BiNormal": lambda rng, size: rng.normal(
        np.where(rng.random(size) < 0.5, -BINORMAL_OFFSET, BINORMAL_OFFSET), 0.5
    ),
}
FAMILIES = list(DRAW)


def family_updates(seed, updates, dtype):
    """Updates of shape (3, 5): column j draws family j, each row at its own
    scale and offset; int32 values are the floats times 1000, rounded."""
    rng = np.random.default_rng(seed)
    columns = [DRAW[family](rng, (updates, 3)) for family in FAMILIES]
    values = np.stack(columns, axis=-1) * np.array([1.0, 40.0, 0.02])[:, None] + np.array(
        [0.0, -300.0, 7.0]
    )[:, None]
    if dtype == "int32":
        return np.rint(values * 1000.0).astype(np.int32)
    return values.astype(np.float32)


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_samples_of_each_family_get_its_label(dtype):
    digest = tesrak.TensorDigest([3, 5], 50, dtype=dtype)
    for row in family_updates(seed=11, updates=10000, dtype=dtype):
        digest.update(row)
    assert digest.analyze() == FAMILIES * 3


def test_cells_without_values_or_without_spread_are_unknown():
    assert tesrak.TensorDigest([2, 3], 10).analyze() == ["Unknown"] * 6
    assert tesrak.TensorDigest([4, 0, 2], 10).analyze() == []
    constant = tesrak.TensorDigest([2], 10)
    for _ in range(50):
        constant.update(np.array([3.5, -1.0], dtype=np.float32))
    assert constant.analyze() == ["Unknown", "Unknown"]


def test_buffered_rows_are_classified_as_if_flushed_first():
    # Compression 50 flushes after 100 updates; the 60 after them, far off
    # to the right, stay buffered until analyze() merges them.
    merged_rows = family_updates(seed=5, updates=100, dtype="float32")
    buffered_rows = family_updates(seed=6, updates=60, dtype="float32") + np.float32(50.0)
    pending, flushed = tesrak.TensorDigest([3, 5], 50), tesrak.TensorDigest([3, 5], 50)
    for row in merged_rows:
        pending.update(row)
        flushed.update(row)
    labels_before = flushed.analyze()
    for row in buffered_rows:
        pending.update(row)
        flushed.update(row)
    flushed.flush()
    labels = pending.analyze()
    assert labels == flushed.analyze()
    assert labels != labels_before
    assert pending.quantile(0.9) == flushed.quantile(0.9)
