"""Shared fixtures. The suite tests the installed extension (`pip install .`);
put a build directory first on PYTHONPATH to test a local build instead."""

from types import SimpleNamespace

import pytest

import tesrak

if getattr(tesrak, "__file__", None) is None:
    raise ImportError("the tesrak extension is not installed: run `pip install .` first")


class FakeTensor:
    """The tensor protocol over raw memory, for what torch cannot produce:
    unaligned addresses, odd attribute values, callbacks."""

    def __init__(self, address, count, dtype="torch.float32", device="cpu", contiguous=True):
        self._address, self._count, self._contiguous = address, count, contiguous
        self.dtype, self.device = dtype, SimpleNamespace(type=device)

    def data_ptr(self):
        return self._address

    def is_contiguous(self):
        return self._contiguous

    def numel(self):
        return self._count


@pytest.fixture
def fake_tensor():
    return FakeTensor
