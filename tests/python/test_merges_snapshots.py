"""Merged digests and snapshot files as Python sees them: new independent
objects, round trips that keep every answer, and the OSError texts of
files that cannot be read."""

import struct

import numpy as np
import pytest
import torch

from tesrak import TensorDigest

LEVELS = [0.0, 0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 1.0]


def fed(shape, compression, dtype, rows, seed=0):
    rng = np.random.default_rng(seed)
    d = TensorDigest(shape, compression, dtype)
    for _ in range(rows):
        values = rng.normal(5.0, 30.0, size=shape)
        d.update(values.astype(np.int32 if dtype == "int32" else np.float32))
    return d


def raw_zstd_frame(content):
    """One zstd frame holding `content` uncompressed (a single raw block)."""
    assert len(content) < 256
    header = struct.pack("<IBB", 0xFD2FB528, 0x20, len(content))  # one segment, size in 1 byte
    block = (len(content) << 3) | 1  # raw block, last one
    return header + struct.pack("<I", block)[:3] + content


def load_error(path):
    with pytest.raises(OSError) as caught:
        TensorDigest.load(str(path))
    assert caught.type is OSError
    return str(caught.value)


@pytest.mark.parametrize("dtype", ["float32", "int32"])
class TestMergedObjects:
    def test_merges_are_new_one_cell_digests_of_the_same_type(self, dtype):
        d = fed([2, 3, 4], 5, dtype, rows=7)
        for merged in (d.merge_cells([0, 5, 5]), d.merge_channels([1, 0]), d.merge_all(),
                       d.merge_cells([]), d.merge_channels([])):
            assert merged.shape == [1]
            assert merged.numel == 1
            assert merged.dtype == d.dtype

    def test_merged_and_source_do_not_share_storage(self, dtype):
        d = fed([4], 3, dtype, rows=5)
        before = d.quantiles(LEVELS)
        merged = d.merge_all()
        merged_before = merged.cell_quantiles(0, LEVELS)
        merged.update(np.full(1, 1000, dtype=dtype))
        assert d.quantiles(LEVELS) == before
        assert merged.cell_quantiles(0, [1.0]) == [1000.0]
        d.update(np.full(4, -1000, dtype=dtype))
        merged.update(np.full(1, 0, dtype=dtype))
        assert merged.cell_quantiles(0, [0.0]) == [merged_before[0]]

    def test_merge_all_spans_every_cell(self, dtype):
        values = np.arange(24, dtype=dtype).reshape(2, 3, 4)
        d = TensorDigest([2, 3, 4], 10, dtype)
        d.update(values)
        whole = d.merge_all()
        assert whole.cell_quantiles(0, [0.0, 1.0]) == [0.0, 23.0]

    def test_out_of_range_cells_fail_and_leave_a_usable_object(self, dtype):
        d = fed([2, 2], 3, dtype, rows=1)
        for call in (lambda: d.merge_cells([4]), lambda: d.merge_channels([1])):
            with pytest.raises(BaseException) as caught:
                call()
            assert type(caught.value).__name__ == "PanicException"
        assert d.merge_cells([3]).numel == 1


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_round_trip_keeps_type_shape_and_answers(tmp_path, dtype):
    d = fed([3, 5], 4, dtype, rows=13)  # leaves rows buffered: save flushes them
    path = str(tmp_path / "digest.tsk")
    d.save(path)
    loaded = TensorDigest.load(path)
    assert (loaded.dtype, loaded.shape, loaded.numel) == (d.dtype, d.shape, d.numel)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)
    assert loaded.analyze() == d.analyze()
    row = torch.arange(15, dtype=getattr(torch, dtype)).reshape(3, 5)
    loaded.update(row)
    d.update(row)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)


def test_saving_again_replaces_the_file(tmp_path):
    path = str(tmp_path / "digest.tsk")
    fed([8, 8], 10, "float32", rows=30).save(path)
    small = fed([2], 1, "int32", rows=3)
    small.save(path)
    loaded = TensorDigest.load(path)
    assert (loaded.dtype, loaded.shape) == ("int32", [2])
    assert loaded.quantiles(LEVELS) == small.quantiles(LEVELS)
    assert [p.name for p in tmp_path.iterdir()] == ["digest.tsk"]


def test_files_that_are_no_snapshot(tmp_path):
    cases = {
        b"": "incomplete frame",
        b"not a snapshot": "Unknown frame descriptor",
        raw_zstd_frame(b""): "empty snapshot payload",
        raw_zstd_frame(b"\x02"): "unknown dtype tag 2",
        raw_zstd_frame(b"\x00"): "io error: failed to fill whole buffer",
        raw_zstd_frame(b"\x01" + bytes(8)): "io error: failed to fill whole buffer",
    }
    for n, (content, message) in enumerate(cases.items()):
        path = tmp_path / f"bad{n}.tsk"
        path.write_bytes(content)
        assert load_error(path) == message


def test_a_payload_split_over_frames_loads_whole(tmp_path):
    # The 205-byte payload of TensorDigest([], 0), field by field.
    payload = (bytes([0]) + struct.pack("<QQQ", 0, 1, 0) + struct.pack("<QQQQ", 0, 0, 0, 10)
               + struct.pack("<Q", 10) + bytes(40) + struct.pack("<Q", 10) + bytes(40)
               + struct.pack("<QQ", 1, 0) + struct.pack("<QI", 1, 0)
               + struct.pack("<Qf", 1, float("inf")) + struct.pack("<Qf", 1, float("-inf")))
    split = tmp_path / "split.tsk"
    split.write_bytes(raw_zstd_frame(payload[:100]) + raw_zstd_frame(payload[100:]))
    assert len(payload) == 205
    loaded = TensorDigest.load(str(split))
    assert (loaded.dtype, loaded.shape, loaded.numel) == ("float32", [], 1)
    assert loaded.quantiles(LEVELS) == TensorDigest([], 0).quantiles(LEVELS)


def test_missing_file_and_path_types(tmp_path):
    message = load_error(tmp_path / "missing.tsk")
    assert message.endswith("(os error 2)")
    d = TensorDigest([1], 1)
    for bad in (tmp_path / "p.tsk", b"p.tsk"):
        with pytest.raises(TypeError, match="argument 'path'"):
            d.save(bad)
        with pytest.raises(TypeError, match="argument 'path'"):
            TensorDigest.load(bad)
