"""Binding behaviour of the merges, save and load that does not depend on
their engine results: argument errors, path handling, the I/O error
mapping."""

import pathlib

import pytest

from tesrak import TensorDigest


@pytest.mark.parametrize("call, kind, message", [
    (lambda d: d.merge_cells("12"), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    (lambda d: d.merge_cells([-1]), OverflowError, "can't convert negative int to unsigned"),
    (lambda d: d.merge_channels(5), TypeError,
     "argument 'channel_indices': 'int' object cannot be cast as 'Sequence'"),
    (lambda d: d.merge_channels(), TypeError,
     "TensorDigest.merge_channels() missing 1 required positional argument: 'channel_indices'"),
])
def test_merge_argument_errors(call, kind, message):
    with pytest.raises(kind) as caught:
        call(TensorDigest([2, 2], 3))
    assert caught.type is kind and str(caught.value) == message


@pytest.mark.parametrize("path", [b"snapshot.tdg", pathlib.Path("snapshot.tdg"), 3])
def test_only_str_paths(path):
    expected = f"argument 'path': '{type(path).__qualname__}' object cannot be cast as 'str'"
    for call in (TensorDigest([1], 1).save, TensorDigest.load):
        with pytest.raises(TypeError) as caught:
            call(path)
        assert str(caught.value) == expected


def test_paths_that_cannot_reach_the_file_system(tmp_path):
    for call in (TensorDigest([1], 1).save, TensorDigest.load):
        with pytest.raises(UnicodeEncodeError):
            call(str(tmp_path / "snap\udc80"))
        with pytest.raises(OSError) as caught:
            call(str(tmp_path / "a\0b"))
        assert caught.type is OSError  # never a subclass such as FileNotFoundError
        assert caught.value.args == ("file name contained an unexpected NUL byte",)
    assert list(tmp_path.iterdir()) == []
