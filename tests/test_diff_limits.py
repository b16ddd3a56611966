"""The largest difference of two models' tensors at the ends of the float range: finite
values whose difference exceeds the largest float are reported as that float and flagged,
never as a silent inf; an infinity on one side stays inf."""
import math
import sys
from fractions import Fraction

import numpy as np
import pytest

from zelq.viz import comparison

from tests.support import viewer_docs as vd


def _exact_max_abs(a, b):
    """max |a - b| over pairs without NaN, in exact rationals (None: an infinity is involved)."""
    pairs = [(x, y) for x, y in zip(a, b) if not (math.isnan(x) or math.isnan(y))]
    if any(x != y and (math.isinf(x) or math.isinf(y)) for x, y in pairs):
        return None
    return max(abs(Fraction(x) - Fraction(y)) for x, y in pairs)


@pytest.mark.parametrize("a, b", [([1.7e308, -1.7e308], [-1.7e308, 1.7e308]), ([1.7e308, 3.0], [-1e308, 1.0]),
                                  ([9e307, 2.0], [-9e307, 2.0]), ([math.inf, 1.0], [1e308, 1.0]),
                                  ([1.7e308, math.nan], [-1.7e308, math.nan])])
def test_max_abs_diff_is_finite_with_a_flag_where_finite_values_overflow(a, b):
    ga, gb = vd.mlp(), vd.mlp()
    pad = [0.0] * (len(ga.nodes["fc0"].bias) - 2)
    ga.nodes["fc0"].bias = np.array(a + pad, np.float64)
    gb.nodes["fc0"].bias = np.array(b + pad, np.float64)
    entry = comparison.compare(ga, gb)["changed"]["fc0"]["params"]["bias"]
    exact = _exact_max_abs(list(ga.nodes["fc0"].bias), list(gb.nodes["fc0"].bias))
    if exact is None:
        assert entry["max_abs_diff"] == math.inf and "max_abs_diff_overflow" not in entry
    elif exact > Fraction(sys.float_info.max):
        assert entry["max_abs_diff"] == sys.float_info.max and entry["max_abs_diff_overflow"] is True
    else:
        assert entry["max_abs_diff"] == float(exact) and "max_abs_diff_overflow" not in entry
    assert math.isfinite(entry["rel_l2"]) or exact is None
