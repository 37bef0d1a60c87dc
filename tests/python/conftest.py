"""Shared fixtures. The suite tests the installed extension (`pip install .`);
put a build directory first on PYTHONPATH to test a local build instead."""

import pytest

import tesrak

if getattr(tesrak, "__file__", None) is None:
    raise ImportError("the tesrak extension is not installed: run `pip install .` first")


@pytest.fixture
def TensorDigest():
    return tesrak.TensorDigest


class FakeDevice:
    def __init__(self, type):
        self.type = type


class FakeTensor:
    """The tensor protocol over raw memory, for what torch cannot produce:
    unaligned addresses, odd attribute values, callbacks."""

    def __init__(self, address, count, dtype="torch.float32", device="cpu", contiguous=True):
        self._address = address
        self._count = count
        self.dtype = dtype
        self.device = FakeDevice(device)
        self._contiguous = contiguous

    def data_ptr(self):
        return self._address

    def is_contiguous(self):
        return self._contiguous

    def numel(self):
        return self._count


@pytest.fixture
def fake_tensor():
    return FakeTensor


def cell_values(digest):
    """Each cell's single value after one update (a one-centroid cell answers
    its mean at every inner level)."""
    return digest.quantile(0.5)


@pytest.fixture
def values_of():
    return cell_values
