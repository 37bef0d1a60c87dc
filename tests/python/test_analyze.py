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


def family_updates(seed, updates, dtype="float32"):
    """Updates of shape (3, 5): column j draws family j, row i at its own scale."""
    rng = np.random.default_rng(seed)
    values = np.stack([DRAW[family](rng, (updates, 3)) for family in FAMILIES], axis=-1)
    values = values * np.array([[1.0], [40.0], [0.02]]) + np.array([[0.0], [-300.0], [7.0]])
    if dtype == "int32":
        return np.rint(values * 1000.0).astype(np.int32)
    return values.astype(np.float32)


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_samples_of_each_family_get_its_label(dtype):
    digest = tesrak.TensorDigest([3, 5], 50, dtype=dtype)
    for row in family_updates(seed=11, updates=10000, dtype=dtype):
        digest.update(row)
    assert digest.analyze() == FAMILIES * 3


def test_digests_without_values_are_unknown_or_empty():
    assert tesrak.TensorDigest([2, 3], 10).analyze() == ["Unknown"] * 6
    assert tesrak.TensorDigest([4, 0, 2], 10).analyze() == []


def test_buffered_rows_are_classified_as_if_flushed_first():
    # Compression 50 keeps up to 100 updates buffered before merging them.
    pending, flushed = tesrak.TensorDigest([3, 5], 50), tesrak.TensorDigest([3, 5], 50)
    for row in family_updates(seed=5, updates=60):
        pending.update(row)
        flushed.update(row)
    flushed.flush()
    labels = pending.analyze()
    assert labels == flushed.analyze() != ["Unknown"] * 15
