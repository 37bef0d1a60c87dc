"""Real torch tensors on the tensor path (read in place). Skipped where
torch's CPU build is not installed; the duck-typed tensors of test_intake.py
cover the same path either way."""

import pytest

torch = pytest.importorskip(
    "torch", reason="torch's CPU build is not installed (the README says how to add it)")

from tesrak import TensorDigest  # noqa: E402

F32_TENTH = 0.10000000149011612


def fed(shape, data, dtype=None):
    d = TensorDigest(shape, 8, dtype)
    d.update(data)
    return d.quantile(0.5)


def test_float_and_int_tensors():
    assert fed([2, 2], torch.tensor([[0.1, 2.0], [3.0, 4.0]])) == [F32_TENTH, 2, 3, 4]
    assert fed([3], torch.tensor([-7, 0, 9], dtype=torch.int32), "int32") == [-7, 0, 9]
    unsigned = torch.tensor([2**32 - 1, 5, 2**31], dtype=torch.uint32)
    assert fed([3], unsigned, "int32") == [-1, 5, -(2**31)]
    assert fed([0, 3], torch.zeros(0, 3)) == []


@pytest.mark.parametrize("make, dtype, message", [
    (lambda: torch.zeros(3), "int32",
     "this digest uses dtype int32 but tensor dtype is torch.float32"),
    (lambda: torch.zeros(3, dtype=torch.float64), None,
     "this digest uses dtype float32 but tensor dtype is torch.float64"),
    (lambda: torch.zeros(3, device="meta", dtype=torch.int8), None,
     "torch tensor must be on CPU; call .cpu() first"),
    (lambda: torch.zeros(3, 2, dtype=torch.int8)[:, 0], None,
     "torch tensor must be contiguous; call .contiguous() first"),
    (lambda: torch.zeros(4, dtype=torch.int8), None,
     "data element count 4 does not match numel 3"),
])
def test_checks_in_order_store_nothing(make, dtype, message):
    d = TensorDigest([3], 1, dtype)  # the second stored row would flush
    d.update([1, 2, 3])
    with pytest.raises(ValueError) as caught:
        d.update(make())
    assert str(caught.value) == message
    assert d.quantile(0.5) == [1, 2, 3]


def test_dtype_objects_choose_the_element_type():
    assert TensorDigest([1], 1, torch.float32).dtype == "float32"
    assert TensorDigest([1], 1, torch.int32).dtype == "int32"
