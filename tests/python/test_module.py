"""The module, the class frame, argument binding, conversions, the failure
mapping and the borrow rule."""

import inspect
import sys
import weakref

import numpy as np
import pytest
import tesrak
from tesrak import TensorDigest

METHOD_SIGNATURES = {
    "update": "(self, /, data)", "flush": "(self, /)", "quantile": "(self, /, q)",
    "quantiles": "(self, /, qs)", "cell_quantiles": "(self, /, idx, qs)", "analyze": "(self, /)",
    "merge_cells": "(self, /, indices)", "merge_channels": "(self, /, channel_indices)",
    "merge_all": "(self, /)", "save": "(self, /, path)", "load": "(path)", "visualize": "(self, /)",
}


class TestModuleAndClass:
    def test_module_holds_only_the_class(self):
        assert tesrak.__all__ == ["TensorDigest"]
        assert tesrak.__doc__ == ""
        assert [n for n in dir(tesrak) if not n.startswith("__")] == ["TensorDigest"]

    def test_class_names_and_signatures(self):
        assert (TensorDigest.__module__, TensorDigest.__qualname__) == ("builtins", "TensorDigest")
        assert str(inspect.signature(TensorDigest)) == "(shape, compression, dtype=None)"
        for name, signature in METHOD_SIGNATURES.items():
            assert str(inspect.signature(getattr(TensorDigest, name))) == signature
        for name in ("shape", "numel", "dtype"):
            assert getattr(TensorDigest, name).__doc__ == ""

    def test_class_refuses_extension(self):
        d = TensorDigest([2], 3)
        with pytest.raises(TypeError):
            type("Sub", (TensorDigest,), {})
        with pytest.raises(TypeError):
            weakref.ref(d)
        for name in ("shape", "numel", "dtype", "extra"):
            with pytest.raises(AttributeError):
                setattr(d, name, 1)

    def test_properties(self):
        d = TensorDigest([2, 3], 10)
        assert (d.shape, d.numel, d.dtype) == ([2, 3], 6, "float32")
        d.shape.append(7)
        assert d.shape == [2, 3]
        assert TensorDigest(range(1, 4), 1).shape == [1, 2, 3]
        assert (TensorDigest((), 1).shape, TensorDigest((), 1).numel) == ([], 1)
        assert TensorDigest([4, 0, 2], 1).numel == 0
        assert TensorDigest(compression=3, shape=[2], dtype="int32").dtype == "int32"

    @pytest.mark.skipif(sys.version_info >= (3, 12), reason="legacy sub-interpreters from 3.11")
    def test_second_interpreter_is_refused(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(Exception, match="sub-interpreters are not supported"):
                interpreters.run_string(interp, "import tesrak")
        finally:
            interpreters.destroy(interp)


class TestFailureMapping:
    def test_panic_exception(self):
        d = TensorDigest([3], 2)
        d.update([1.0, 2.0, 3.0])
        with pytest.raises(BaseException) as caught:
            try:
                d.cell_quantiles(3, [])  # the index is checked even without levels
            except Exception:
                pytest.fail("PanicException was caught as an Exception")
        kind = caught.type
        assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")
        assert kind.__bases__ == (BaseException,)
        assert str(caught.value) == "cell index 3 is out of range for 3 cells"
        assert d.cell_quantiles(2, [0.5]) == [3.0]  # still usable, borrow released
        with pytest.raises(kind):  # one type for the whole process
            d.cell_quantiles(7, [0.5])


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: TensorDigest([2]),
         "TensorDigest.__new__() missing 1 required positional argument: 'compression'"),
        (lambda: TensorDigest(), "TensorDigest.__new__() missing 2 required positional "
                                 "arguments: 'shape' and 'compression'"),
        (lambda: TensorDigest([2], 1, None, 4),
         "TensorDigest.__new__() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: TensorDigest([2], 1, x=1),
         "TensorDigest.__new__() got an unexpected keyword argument 'x'"),
        (lambda: TensorDigest([2], 1, shape=[3]),
         "TensorDigest.__new__() got multiple values for argument 'shape'"),
        (lambda: TensorDigest([2], 1).update([1, 2], [3, 4]),
         "TensorDigest.update() takes 1 positional arguments but 2 were given"),
        (lambda: TensorDigest([2], 1).cell_quantiles(qs=[0.5]),
         "TensorDigest.cell_quantiles() missing 1 required positional argument: 'idx'"),
        (lambda: TensorDigest.load(),
         "TensorDigest.load() missing 1 required positional argument: 'path'"),
    ])
    def test_binding_messages(self, call, message):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message

    def test_keywords_and_no_argument_methods(self):
        d = TensorDigest([1], 5)
        d.update(data=[2.0])
        assert d.cell_quantiles(qs=[0.5], idx=0) == [2.0]
        for name in ("flush", "analyze", "merge_all", "visualize"):
            with pytest.raises(TypeError):
                getattr(d, name)(0)


class TestConversions:
    @pytest.mark.parametrize("shape, compression, kind, message", [
        ("23", 1, TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
        (5, 1, TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
        ({1, 2}, 1, TypeError, "argument 'shape': 'set' object cannot be cast as 'Sequence'"),
        ([2.5], 1, TypeError,
         "argument 'shape': 'float' object cannot be interpreted as an integer"),
        ([-1], 1, OverflowError, "can't convert negative int to unsigned"),
        ([2**64], 1, OverflowError, None),
        ([1], -1, OverflowError, "can't convert negative int to unsigned"),
        ([1], 1.0, TypeError,
         "argument 'compression': 'float' object cannot be interpreted as an integer"),
    ])
    def test_constructor_arguments(self, shape, compression, kind, message):
        with pytest.raises(kind) as caught:
            TensorDigest(shape, compression)
        assert caught.type is kind
        assert message is None or str(caught.value) == message

    def test_only_exact_type_error_gets_the_prefix(self):
        class Refusal(TypeError):
            pass

        class Index:
            def __init__(self, error):
                self.error = error

            def __index__(self):
                raise self.error

        with pytest.raises(Refusal, match="^custom$"):
            TensorDigest([Index(Refusal("custom"))], 1)
        with pytest.raises(TypeError, match="^argument 'shape': plain$"):
            TensorDigest([Index(TypeError("plain"))], 1)
        with pytest.raises(KeyError):
            TensorDigest([Index(KeyError("passes"))], 1)

        class Unprintable:
            def __str__(self):
                raise TypeError("no text")

        with pytest.raises(TypeError, match="^no text$"):  # dtype is read as text, unprefixed
            TensorDigest([1], 1, Unprintable())

    @pytest.mark.parametrize("dtype, expected", [
        (None, "float32"), ("float32", "float32"), (np.dtype(np.float32), "float32"),
        ("torch.float32", "float32"), ("int32", "int32"), ("torch.int32", "int32"),
        ("uint32", "int32"), ("int32float32", "float32"),
    ])
    def test_dtype_choice(self, dtype, expected):
        assert TensorDigest([1], 1, dtype).dtype == expected

    @pytest.mark.parametrize("dtype, quoted", [
        ("float64", '"float64"'), ("", '""'), (np.dtype(np.int64), '"int64"'),
        ('a"b\\c\'d', '"a\\"b\\\\c\'d"'), ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x01\x7f\u200b", '"\\u{1}\\u{7f}\\u{200b}"'), ("e\u0301", '"e\\u{301}"'),
        ("\ud800x", '"\ufffdx"'), ("\u00e9\u4e2d", '"\u00e9\u4e2d"'),
    ])
    def test_dtype_refused_with_quoted_text(self, dtype, quoted):
        with pytest.raises(ValueError) as caught:
            TensorDigest([1], 1, dtype)
        assert str(caught.value) == f"cannot interpret {quoted} as a dtype; supported: float32, int32"


class TestBorrowing:
    def test_callbacks_into_the_same_object_fail_and_release(self):
        d = TensorDigest([2], 5)
        seen = []

        class Touching:
            def __init__(self, touch):
                self.touch = touch

            def __float__(self):
                try:
                    self.touch()
                except RuntimeError as error:
                    seen.append(str(error))
                return 0.5

        levels = [Touching(lambda: d.numel), Touching(d.flush)]
        assert d.quantiles(levels) == [[0.0, 0.0], [0.0, 0.0]]
        assert seen == ["Already mutably borrowed", "Already borrowed"]

        class Levels(list):
            def __iter__(self):
                yield 0.5
                d.update([1.0, 2.0])

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            d.quantiles(Levels([0.5, 0.5]))
        d.update([1.0, 2.0])  # every exit gave the object back
        assert d.quantile(0.5) == [1.0, 2.0]
