"""flush, quantile, quantiles and cell_quantiles as Python sees them."""

import array

import numpy as np
import pytest

from tesrak import TensorDigest


def test_results_are_exact_widenings():
    d = TensorDigest([], 5)
    d.update([0.1])
    assert d.quantile(0.5) == [0.10000000149011612]
    i = TensorDigest([2], 5, "int32")
    i.update([2**31 - 1, -7])
    assert i.quantiles([0, 1]) == [[2147483648.0, -7.0], [2147483648.0, -7.0]]
    assert all(type(v) is float for v in i.quantile(0.5))


def test_consistent_levels_over_pending_rows():
    rng = np.random.default_rng(7)
    d = TensorDigest([3, 4], 10)
    for _ in range(25):  # one flush at 20, five rows still pending
        d.update(rng.normal(size=(3, 4)).astype(np.float32))
    both = d.quantiles([0.25, 0.5])
    assert both == [d.quantile(0.25), d.quantile(0.5)]
    assert d.quantiles(array.array("f", [0.5])) == [both[1]]
    assert [d.cell_quantiles(i, [0.25, 0.5]) for i in range(12)] == [list(c) for c in zip(*both)]


def test_empty_digests_and_level_lists():
    d = TensorDigest([2], 3)
    assert d.flush() is None
    assert (d.quantile(0.3), d.quantiles([]), d.cell_quantiles(1, [])) == ([0.0, 0.0], [], [])
    none = TensorDigest([3, 0], 3)
    assert (none.quantile(0.5), none.quantiles([0.1, 0.9])) == ([], [[], []])


def test_a_few_values_are_exact_points_and_the_upper_one_takes_a_tie():
    # Few values stay one centroid each, whose centres lie at 0.5, 1.5, ...
    # A value answers the half unit on each side of its centre, and at the
    # point where two halves meet the upper value answers: the median of an
    # even count is its upper middle value.
    for count, levels, expected in [
            (4, [0.375, 0.49, 0.5, 0.625], [1.0, 2.0, 3.0, 4.0]),
            (5, [0.4, 0.5, 0.6], [3.0, 3.0, 4.0]),
            (6, [0.5], [4.0]),
            (8, [0.25, 0.75], [3.0, 7.0])]:
        d = TensorDigest([], 50)
        for value in range(count, 0, -1):
            d.update([float(value)])
        assert d.cell_quantiles(0, levels) == expected, count
        assert d.quantiles(levels) == [[v] for v in expected], count


@pytest.mark.parametrize("call, kind, message", [
    (lambda d: d.quantile("0.5"), TypeError, "argument 'q': must be real number, not str"),
    (lambda d: d.quantile(10**400), OverflowError, "int too large to convert to float"),
    (lambda d: d.quantiles("0.5"), TypeError, "argument 'qs': Can't extract `str` to `Vec`"),
    (lambda d: d.quantiles(0.5), TypeError,
     "argument 'qs': 'float' object cannot be cast as 'Sequence'"),
    (lambda d: d.quantiles([0.5, None]), TypeError,
     "argument 'qs': must be real number, not NoneType"),
    (lambda d: d.cell_quantiles(-1, "x"), OverflowError, "can't convert negative int to unsigned"),
    (lambda d: d.cell_quantiles(0.0, [0.5]), TypeError,
     "argument 'idx': 'float' object cannot be interpreted as an integer"),
])
def test_argument_errors(call, kind, message):
    with pytest.raises(kind) as caught:
        call(TensorDigest([2], 3))
    assert caught.type is kind and str(caught.value) == message
