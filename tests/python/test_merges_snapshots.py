"""Merged digests and snapshot files as Python sees them: new independent
objects, round trips that keep every answer, and the OSError texts of files
that cannot be read."""

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
        d.update(rng.normal(5.0, 30.0, size=shape).astype(dtype))
    return d


def raw_zstd_frame(content):
    """One zstd frame holding `content` (under 256 bytes) as a raw block."""
    header = struct.pack("<IBB", 0xFD2FB528, 0x20, len(content))  # one segment, 1-byte size
    return header + struct.pack("<I", len(content) << 3 | 1)[:3] + content  # last raw block


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_merged_objects_are_new_and_independent(dtype):
    d = fed([2, 3, 4], 5, dtype, rows=7)
    for merged in (d.merge_cells([0, 5, 5]), d.merge_channels([1, 0]), d.merge_cells([]),
                   d.merge_channels([])):
        assert (merged.shape, merged.numel, merged.dtype) == ([1], 1, dtype)
    before = d.quantiles(LEVELS)
    merged = d.merge_all()
    merged_min = merged.cell_quantiles(0, [0.0])
    merged.update(np.full(1, 1000, dtype=dtype))
    assert d.quantiles(LEVELS) == before
    assert merged.cell_quantiles(0, [1.0]) == [1000.0]
    d.update(np.full([2, 3, 4], -1000, dtype=dtype))
    d.flush()
    assert merged.cell_quantiles(0, [0.0]) == merged_min


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_round_trip_keeps_type_shape_and_answers(tmp_path, dtype):
    d = fed([3, 5], 4, dtype, rows=13)  # rows left buffered: save flushes them
    path = str(tmp_path / "digest.tsk")
    d.save(path)
    loaded = TensorDigest.load(path)
    assert (loaded.dtype, loaded.shape, loaded.numel) == (d.dtype, d.shape, d.numel)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)
    row = torch.arange(15, dtype=getattr(torch, dtype)).reshape(3, 5)
    loaded.update(row)
    d.update(row)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)


@pytest.mark.parametrize("content, message", [
    (b"", "incomplete frame"),
    (b"not a snapshot", "Unknown frame descriptor"),
    (raw_zstd_frame(b""), "empty snapshot payload"),
    (raw_zstd_frame(b"\x02"), "unknown dtype tag 2"),
    (raw_zstd_frame(b"\x01" + bytes(8)), "io error: failed to fill whole buffer"),
])
def test_files_that_hold_no_snapshot(tmp_path, content, message):
    path = tmp_path / "bad.tsk"
    path.write_bytes(content)
    with pytest.raises(OSError) as caught:
        TensorDigest.load(str(path))
    assert caught.type is OSError and str(caught.value) == message


def test_missing_file_and_path_types(tmp_path):
    with pytest.raises(OSError) as caught:
        TensorDigest.load(str(tmp_path / "missing.tsk"))
    assert caught.type is OSError and str(caught.value).endswith("(os error 2)")
    for bad in (tmp_path / "p.tsk", b"p.tsk"):
        with pytest.raises(TypeError, match="argument 'path'"):
            TensorDigest([1], 1).save(bad)
        with pytest.raises(TypeError, match="argument 'path'"):
            TensorDigest.load(bad)
