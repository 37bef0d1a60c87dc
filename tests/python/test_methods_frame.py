"""Binding behaviour of analyze, the merges, save, load and visualize that
does not depend on their engine results: argument errors, path handling,
the I/O error mapping."""

import pathlib
import socket

import pytest

from tesrak import TensorDigest


def assert_plain_os_error(caught, message=None):
    assert caught.type is OSError  # never a subclass such as FileNotFoundError
    assert caught.value.errno is None
    assert len(caught.value.args) == 1
    assert message is None or caught.value.args[0] == message


class TestMergeArguments:
    @pytest.mark.parametrize(
        "call, kind, message",
        [
            (lambda d: d.merge_cells("12"), TypeError,
             "argument 'indices': Can't extract `str` to `Vec`"),
            (lambda d: d.merge_cells([-1]), OverflowError, "can't convert negative int to unsigned"),
            (lambda d: d.merge_channels(5), TypeError,
             "argument 'channel_indices': 'int' object cannot be cast as 'Sequence'"),
            (lambda d: d.merge_channels(), TypeError,
             "TensorDigest.merge_channels() missing 1 required positional argument: "
             "'channel_indices'"),
        ],
    )
    def test_conversion_errors(self, call, kind, message):
        with pytest.raises(kind) as caught:
            call(TensorDigest([2, 2], 3))
        assert caught.type is kind
        assert str(caught.value) == message

    @pytest.mark.parametrize("name", ["analyze", "merge_all", "visualize"])
    def test_no_argument_methods(self, name):
        with pytest.raises(TypeError):
            getattr(TensorDigest([1], 1), name)(0)


class TestPaths:
    @pytest.mark.parametrize("path", [b"snapshot.tdg", pathlib.Path("snapshot.tdg"), 3])
    def test_only_str_paths(self, path):
        d = TensorDigest([1], 1)
        expected = f"argument 'path': '{type(path).__qualname__}' object cannot be cast as 'str'"
        for call in (d.save, TensorDigest.load, d.load):
            with pytest.raises(TypeError) as caught:
                call(path)
            assert str(caught.value) == expected

    def test_lone_surrogates_cannot_be_encoded(self):
        with pytest.raises(UnicodeEncodeError):
            TensorDigest([1], 1).save("snap\udc80")
        with pytest.raises(UnicodeEncodeError):
            TensorDigest.load(path="snap\udc80")

    def test_nul_in_path(self, tmp_path):
        path = str(tmp_path / "a\0b")
        for call in (TensorDigest([1], 1).save, TensorDigest.load):
            with pytest.raises(OSError) as caught:
                call(path)
            assert_plain_os_error(caught, "file name contained an unexpected NUL byte")
        assert list(tmp_path.iterdir()) == []

    def test_missing_file_is_plain_os_error(self, tmp_path):
        with pytest.raises(OSError) as caught:
            TensorDigest.load(str(tmp_path / "missing.tdg"))
        assert_plain_os_error(caught)


class TestVisualizeFailures:
    def test_port_in_use_is_plain_os_error(self, monkeypatch):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            monkeypatch.setenv("TESRAK_PORT", str(taken.getsockname()[1]))
            d = TensorDigest([2], 3)
            for _ in range(2):  # the object is free again afterwards
                with pytest.raises(OSError) as caught:
                    d.visualize()
                assert_plain_os_error(caught)
            assert d.numel == 2

    def test_port_text_that_is_no_port(self, monkeypatch):
        monkeypatch.setenv("TESRAK_PORT", "abc")
        with pytest.raises(OSError) as caught:
            TensorDigest([1], 1).visualize()
        assert_plain_os_error(caught)
