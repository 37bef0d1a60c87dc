"""flush, quantile, quantiles and cell_quantiles as Python sees them."""

import array

import numpy as np
import pytest

from tesrak import TensorDigest

f32 = np.float32


def one_cell(values, compression):
    """A one-cell digest fed each value as its own update."""
    d = TensorDigest([], compression)
    for v in values:
        d.update([v])
    return d


class TestEngineExamples:
    def test_compression_two_first_flush(self):
        # One flush of 1, 2, 3, 4 gives centroids 1, 2.5, 4 with weights 1, 2, 1.
        d = one_cell([1, 2, 3, 4], 2)
        levels = [0, 0.25, 0.375, 0.5, 0.625, 0.75, 1]
        assert d.cell_quantiles(0, levels) == [1, 1, 1, 2.5, 4, 4, 4]
        assert d.quantile(0.5) == [2.5]

    def test_compression_two_second_flush(self):
        # Then 2.5, 0, 5, 3: centroids 0, 2.3 (in 32 bits), 4, 5 with weights 1, 5, 1, 1.
        d = one_cell([1, 2, 3, 4, 2.5, 0, 5, 3], 2)
        interior = (f32(2) * f32(2.3) + f32(0.5) * f32(4)) / f32(2.5)  # z1 0.5, z2 2
        levels = [-1, 0.125, 0.5, 0.78125, 0.875, 1, 1e300]
        assert d.cell_quantiles(0, levels) == [0, 0, float(interior), 4, 5, 5, 5]

    def test_two_exact_points(self):
        d = one_cell([3, 1], 1)
        assert d.cell_quantiles(0, [1e-9, 0.5, 0.75, 0.7501, 0.99]) == [1, 1, 1, 3, 3]

    def test_results_are_exact_widenings(self):
        d = one_cell([0.1], 5)
        assert d.quantile(0.5) == [0.10000000149011612]
        i = TensorDigest([2], 5, "int32")
        i.update([2**31 - 1, -7])
        assert i.quantiles([0, 1]) == [[2147483648.0, -7.0], [2147483648.0, -7.0]]
        assert all(type(v) is float for v in i.quantile(0.5))


class TestQuerySemantics:
    def test_consistent_levels_over_pending_rows(self):
        rng = np.random.default_rng(7)
        d = TensorDigest([3, 4], 10)
        for _ in range(25):  # one flush at 20, five rows still pending
            d.update(rng.normal(size=(3, 4)).astype(np.float32))
        both = d.quantiles([0.25, 0.5])
        assert both == [d.quantile(0.25), d.quantile(0.5)]
        assert d.quantiles(array.array("f", [0.5])) == [both[1]]
        assert [d.cell_quantiles(i, [0.25, 0.5]) for i in range(12)] == [list(c) for c in zip(*both)]

    def test_empty_digests_and_level_lists(self):
        d = TensorDigest([2], 3)
        assert d.flush() is None
        assert d.quantile(0.3) == [0.0, 0.0]
        assert d.quantiles([]) == []
        assert d.cell_quantiles(1, []) == []
        none = TensorDigest([3, 0], 3)
        assert none.quantile(0.5) == []
        assert none.quantiles([0.1, 0.9]) == [[], []]

    def test_index_checked_even_without_levels(self):
        d = TensorDigest([2], 3)
        with pytest.raises(BaseException, match="cell index 2 is out of range for 2 cells") as caught:
            d.cell_quantiles(2, [])
        assert caught.type.__name__ == "PanicException"


class TestQueryArguments:
    @pytest.mark.parametrize(
        "call, kind, message",
        [
            (lambda d: d.quantile("0.5"), TypeError, "argument 'q': must be real number, not str"),
            (lambda d: d.quantile(10**400), OverflowError, "int too large to convert to float"),
            (lambda d: d.quantiles("0.5"), TypeError, "argument 'qs': Can't extract `str` to `Vec`"),
            (lambda d: d.quantiles(0.5), TypeError,
             "argument 'qs': 'float' object cannot be cast as 'Sequence'"),
            (lambda d: d.quantiles([0.5, None]), TypeError,
             "argument 'qs': must be real number, not NoneType"),
            (lambda d: d.cell_quantiles(-1, "x"), OverflowError,
             "can't convert negative int to unsigned"),
            (lambda d: d.cell_quantiles(0.0, [0.5]), TypeError,
             "argument 'idx': 'float' object cannot be interpreted as an integer"),
        ],
    )
    def test_conversion_errors(self, call, kind, message):
        with pytest.raises(kind) as caught:
            call(TensorDigest([2], 3))
        assert caught.type is kind
        assert str(caught.value) == message
