"""update(): the buffer path, the tensor path, the sequence path, and that a
failed call leaves the digest untouched."""

import array
import ctypes

import numpy as np
import pytest
from tesrak import TensorDigest

F32_TENTH = 0.10000000149011612


def fed(shape, data, dtype=None):
    """A digest of `shape` fed one tensor; it answers each cell's value."""
    d = TensorDigest(shape, 8, dtype)
    d.update(data)
    return d.quantile(0.5)


class TestBufferPath:
    def test_row_major_whatever_the_layout(self):
        a = np.arange(6, dtype=np.float32).reshape(2, 3)
        assert fed([6], a) == fed([3, 2], a) == [0, 1, 2, 3, 4, 5]
        assert fed([6], a.T) == [0, 3, 1, 4, 2, 5]
        assert fed([2], a[:, 1]) == [1, 4]
        unaligned = np.frombuffer(bytearray(17), np.float32, 4, offset=1)
        unaligned[:] = [1.0, -2.0, 3.0, 0.5]
        assert fed([4], unaligned) == [1.0, -2.0, 3.0, 0.5]

    def test_accepted_formats(self):
        assert fed([3], array.array("f", [1.5, 2.5, 3.5])) == [1.5, 2.5, 3.5]
        assert fed([3], array.array("i", [-1, 0, 7]), "int32") == [-1, 0, 7]
        assert fed([2], (ctypes.c_float * 2)(0.1, 2.0)) == [F32_TENTH, 2.0]  # "<f"
        assert fed([2], (ctypes.c_int32 * 2)(-5, 5), "int32") == [-5, 5]  # "<i"
        with pytest.raises(ValueError, match="^data element count 5 does not match numel 6$"):
            fed([6], np.zeros(5, np.float32))  # no fall-through once accepted

    @pytest.mark.parametrize("data, dtype, expected", [
        (np.array([0.1, 1e39, -2.5]), None, [F32_TENTH, float("inf"), -2.5]),  # float64
        (np.array([1, -2, 2**31 - 1], np.int64), "int32", [1, -2, 2**31]),
        (np.array([1.5, -2.0, 3.25], ">f4"), None, [1.5, -2.0, 3.25]),
        (np.array([1, -2, 300], ">i4"), "int32", [1, -2, 300]),
        (np.array([1, 2, 3], np.int32), None, [1, 2, 3]),  # "i" is no float32 format
        (array.array("l", [4, 5, 6]), "int32", [4, 5, 6]),  # native "l" is 8 bytes
        (b"\x00\x7f\xff", None, [0, 127, 255]),  # "B"
    ])
    def test_refused_buffers_fall_through_to_the_sequence_path(self, data, dtype, expected):
        assert fed([3], data, dtype) == expected


class TestTensorPath:
    @pytest.mark.parametrize("dtype, device, contiguous, count, digest_dtype, message", [
        ("torch.float32", "cpu", True, 3, "int32",
         "this digest uses dtype int32 but tensor dtype is torch.float32"),
        ("torch.float64", "cpu", True, 3, None,
         "this digest uses dtype float32 but tensor dtype is torch.float64"),
        ("torch.int8", "meta", False, 4, None, "torch tensor must be on CPU; call .cpu() first"),
        ("torch.int8", "cpu", False, 4, None,
         "torch tensor must be contiguous; call .contiguous() first"),
        ("torch.float32", "cpu", True, 4, None, "data element count 4 does not match numel 3"),
    ])
    def test_checks_in_order(self, fake_tensor, dtype, device, contiguous, count, digest_dtype,
                             message):
        keep = np.zeros(4, np.float32)
        tensor = fake_tensor(keep.ctypes.data, count, dtype, device, contiguous)
        with pytest.raises(ValueError) as caught:
            fed([3], tensor, digest_dtype)
        assert str(caught.value) == message

    def test_unaligned_address_is_read_correctly(self, fake_tensor):
        raw = np.zeros(4 * 3 + 3, np.uint8)
        for offset in range(4):
            raw[offset:offset + 12] = np.array([1.5, -2.0, 7.25], np.float32).view(np.uint8)
            assert fed([3], fake_tensor(raw.ctypes.data + offset, 3)) == [1.5, -2.0, 7.25]

    def test_protocol_values(self, fake_tensor):
        keep = np.array([1.0, 2.0], np.float32)
        address = keep.ctypes.data
        assert fed([2], fake_tensor(address, 2, contiguous=np.bool_(True))) == [1.0, 2.0]
        cases = [
            (fake_tensor(address, 2, contiguous=1), TypeError,
             "'int' object cannot be cast as 'bool'"),
            (fake_tensor(address, 2, device=0), TypeError, "'int' object cannot be cast as 'str'"),
            (fake_tensor(address, -1), OverflowError, None),
            (fake_tensor(0, 2), ValueError, "tensor data_ptr() is null but the tensor has 2 elements"),
        ]
        for tensor, kind, message in cases:
            with pytest.raises(kind) as caught:
                fed([2], tensor)
            assert message is None or str(caught.value) == message

    @pytest.mark.parametrize("data_ptr", [lambda: -1, lambda: {}["no address"]])
    def test_failing_data_ptr_means_not_a_tensor(self, data_ptr):
        class Sequence(list):
            pass

        values = Sequence([3, 4])
        values.data_ptr = data_ptr
        assert fed([2], values) == [3, 4]


class TestSequencePath:
    def test_values_and_lengths(self):
        assert fed([3], [1, 2.5, True]) == [1, 2.5, 1]
        just_above_max = 3.4028235e38 + 2.0**90  # rounds down to the largest float
        assert fed([3], [just_above_max, -1e39, 1e-50]) == [
            float(np.finfo(np.float32).max), float("-inf"), 0.0]
        for data, count in (([1, 2], 2), ([1, 2, 3, 4], 4), (range(4), 4)):
            with pytest.raises(ValueError, match=f"^data length {count} does not match numel 3$"):
                fed([3], data)

    @pytest.mark.parametrize("data, dtype, kind, message", [
        ("123", None, TypeError, "Can't extract `str` to `Vec`"),
        (5, None, TypeError, "'int' object cannot be cast as 'Sequence'"),
        ({1.0, 2.0, 3.0}, None, TypeError, "'set' object cannot be cast as 'Sequence'"),
        (np.zeros((2, 2)), None, TypeError, None),  # a refused buffer fails at its first row
        ([1, 2, "3"], None, TypeError, "must be real number, not str"),
        ([1, 2.0, 3], "int32", TypeError, "'float' object cannot be interpreted as an integer"),
        ([1, 2**31, 3], "int32", OverflowError, "out of range integral type conversion attempted"),
        ([1, -(2**31) - 1, 3], "int32", OverflowError,
         "out of range integral type conversion attempted"),
    ])
    def test_element_and_container_errors_carry_no_prefix(self, data, dtype, kind, message):
        with pytest.raises(kind) as caught:
            fed([3], data, dtype)
        assert caught.type is kind
        assert not str(caught.value).startswith("argument")
        assert message is None or str(caught.value) == message


class TestWholeCall:
    def test_empty_tensors(self):
        for empty in ([], np.zeros((0, 3), np.float32), b""):
            d = TensorDigest([0, 3], 1)
            d.update(empty)
            d.update(empty)  # counted as rows, and flushed
            assert d.quantile(0.5) == []

    def test_failed_update_stores_nothing(self):
        d = TensorDigest([2], 1)  # the second stored row flushes
        d.update([1.0, 10.0])
        for bad in ([5.0, 5.0, 5.0], [5.0, "x"], np.zeros(3, np.float32)):
            with pytest.raises((TypeError, ValueError)):
                d.update(bad)
        d.update([3.0, 30.0])
        assert d.quantiles([0.0, 1.0]) == [[1.0, 10.0], [3.0, 30.0]]
