"""zelq.viz.encode: array records, value conversion, decoding and display texts."""
import base64
import binascii
import collections
import datetime
import inspect
import math
import subprocess
import sys
import textwrap
import warnings
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from zelq.viz import encode as enc
from zelq.viz.encode import decode_array, encode_array, encode_value, format_shape, format_size

# Where zelq was imported from: the source tree, or an installed wheel.
SRC = Path(enc.__file__).resolve().parent.parent.parent
KEYS = ["shape", "dtype", "data", "stats", "size"]
STAT_KEYS = ["min", "max", "mean", "std"]


def stats_of(rec):
    return [rec["stats"][k] for k in STAT_KEYS]


def buffer_owner(arr):
    while isinstance(arr, np.ndarray):
        arr = arr.base
    return arr


# ---------------------------------------------------------------- round trips

real_dtypes = st.one_of(
    hnp.boolean_dtypes(),
    hnp.integer_dtypes(endianness="?"),
    hnp.unsigned_integer_dtypes(endianness="?"),
    hnp.floating_dtypes(endianness="?", sizes=(16, 32, 64)),
)
all_dtypes = st.one_of(real_dtypes, hnp.complex_number_dtypes(endianness="?"))


@st.composite
def laid_out_arrays(draw, dtypes=all_dtypes):
    """Arrays in every memory layout: C, Fortran, reversed, strided, 0-d and empty."""
    dtype = draw(dtypes)
    base = draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6)))
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "strided"]))
    if layout == "fortran":
        return np.asfortranarray(base)
    if layout == "reversed" and base.ndim:
        return base[::-1]
    if layout == "strided" and base.ndim:
        return base[::2, ...]
    return base


@pytest.mark.filterwarnings("ignore")
@settings(max_examples=300, deadline=None)
@given(laid_out_arrays())
def test_round_trip_is_bit_exact(arr):
    before = arr.tobytes()
    rec = encode_array(arr)
    expected = np.ascontiguousarray(arr)
    assert list(rec) == KEYS and list(rec["stats"]) == STAT_KEYS
    assert rec["shape"] == list(expected.shape) and rec["size"] == expected.size
    assert rec["dtype"] == str(arr.dtype)
    assert rec["data"] == base64.b64encode(expected.tobytes()).decode("ascii")
    assert all(type(v) is float for v in rec["stats"].values())

    out = decode_array(rec)
    assert out.shape == expected.shape and out.dtype == expected.dtype
    assert out.tobytes() == expected.tobytes()
    assert not out.flags.writeable
    owner = buffer_owner(out)
    assert isinstance(owner, bytes) and len(owner) == expected.nbytes
    assert arr.tobytes() == before  # the input is untouched


@pytest.mark.parametrize("n", [*range(0, 40), 4099, 10**6 + 1])
def test_base64_text_matches_the_standard_facility(n):
    raw = np.random.default_rng(n).integers(0, 256, n, dtype=np.uint8)
    rec = encode_array(raw)
    assert rec["data"] == base64.b64encode(raw.tobytes()).decode("ascii")
    # Line-broken text (76 columns) takes the lenient path and gives the same bytes.
    wrapped = {**rec, "data": base64.encodebytes(raw.tobytes())}
    assert decode_array(wrapped).tobytes() == raw.tobytes()


def test_layouts_encode_row_major_and_viewed_order():
    a = np.arange(6, dtype=np.int16).reshape(2, 3)
    f = np.asfortranarray(a)
    assert base64.b64decode(encode_array(f)["data"]) == a.tobytes()
    rev = np.arange(5, dtype=np.int32)[::-1]
    assert np.frombuffer(base64.b64decode(encode_array(rev)["data"]), np.int32).tolist() == [4, 3, 2, 1, 0]


@pytest.mark.parametrize("value", [np.array(7.5), 7.5, np.int8(-3), True])
def test_zero_dimensional_input_becomes_one_element(value):
    rec = encode_array(value)
    assert rec["shape"] == [1] and rec["size"] == 1
    out = decode_array(rec)
    assert out.shape == (1,) and out[0] == np.asarray(value)


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 4, 2)])
def test_empty_arrays(shape):
    rec = encode_array(np.zeros(shape, dtype=np.float32))
    assert rec == {"shape": list(shape), "dtype": "float32", "data": "",
                   "stats": dict.fromkeys(STAT_KEYS, 0.0), "size": 0}
    assert decode_array(rec).shape == shape


def test_documented_examples():
    assert encode_array(np.array([1, 2, 3, 4], dtype=np.int32)) == {
        "shape": [4], "dtype": "int32", "data": "AQAAAAIAAAADAAAABAAAAA==",
        "stats": {"min": 1.0, "max": 4.0, "mean": 2.5, "std": 1.118033988749895}, "size": 4}
    rec = encode_array(np.array([True, False, True, True]))
    assert rec["dtype"] == "bool" and base64.b64decode(rec["data"]) == b"\x01\x00\x01\x01"
    assert rec["stats"] == {"min": 0.0, "max": 1.0, "mean": 0.75, "std": 0.4330127018922193}


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("dtype, text", [(">i4", ">i4"), ("<i4", "int32"), (">f2", ">f2"), (">c16", ">c16"),
                                         ("<u8", "uint64"), (">u2", ">u2"), ("?", "bool")])
def test_dtype_text_names_byte_order(dtype, text):
    arr = np.array([1, 0, 1], dtype=dtype)
    rec = encode_array(arr)
    assert rec["dtype"] == text
    assert np.array_equal(decode_array(rec), arr) and decode_array(rec).dtype == arr.dtype


def test_nested_list_and_ragged_list():
    assert encode_array([[1, 2], [3, 4]])["shape"] == [2, 2]
    with pytest.raises(ValueError):
        encode_array([[1, 2], [3]])


@pytest.mark.parametrize("arr", [np.array([1, "a", None], dtype=object), np.zeros(2, dtype=[("a", "f4"), ("b", "O")])])
def test_encode_array_refuses_python_objects(arr):
    with pytest.raises(TypeError, match=r"^encode_array cannot encode an array of dtype .*: its elements are Python objects$"):
        encode_array(arr)


# ---------------------------------------------------------------- statistics

def exact_stats(arr):
    """Min, max, mean and population std from exact rational arithmetic."""
    values = [Fraction(int(v)) if arr.dtype.kind in "biu" else Fraction(float(v)) for v in arr.ravel()]
    n = len(values)
    mean = sum(values) / n
    var = sum((v - mean) ** 2 for v in values) / n
    return float(min(values)), float(max(values)), float(mean), math.sqrt(var)


@st.composite
def bounded_real_arrays(draw):
    """Real arrays whose squared deviations stay finite."""
    dtype = draw(real_dtypes)
    shape = draw(hnp.array_shapes(min_dims=1, max_dims=2, min_side=1, max_side=120))
    elements = None
    if dtype.kind == "f":
        limit = {2: 6e4, 4: 2.0**100, 8: 2.0**500}[dtype.itemsize]
        elements = st.floats(-limit, limit, width=8 * dtype.itemsize)
    return draw(hnp.arrays(dtype, shape, elements=elements))


@settings(max_examples=200, deadline=None)
@given(bounded_real_arrays())
def test_statistics_against_exact_arithmetic(arr):
    mn, mx, mean, std = stats_of(encode_array(arr))
    emn, emx, emean, estd = exact_stats(arr)
    assert (mn, mx) == (emn, emx)
    scale = float(np.max(np.abs(arr.astype(np.float64))))
    # Compensated block sums: the error stays within a few units of the data's magnitude.
    assert math.isclose(mean, emean, rel_tol=1e-15, abs_tol=4e-15 * scale)
    assert math.isclose(std, estd, rel_tol=1e-12, abs_tol=1e-13 * scale)


@pytest.mark.parametrize("dtype", ["f2", "f4", "f8", ">f8", "i1", "u1", "i8", ">u4", "?", "longdouble"])
@pytest.mark.parametrize("n", [1, 7, 128, 129, 100_003])
def test_statistics_against_numpy(dtype, n):
    rng = np.random.default_rng(n)
    arr = (rng.standard_normal(n) * 40 + 3).astype(dtype)
    got = stats_of(encode_array(arr))
    assert got[:2] == [float(np.min(arr)), float(np.max(arr))]
    # NumPy accumulating in double (long double for long double): only the summation order differs.
    acc = np.longdouble if arr.dtype == np.longdouble else np.float64
    expected = [float(np.mean(arr, dtype=acc)), float(np.std(arr, dtype=acc))]
    assert np.allclose(got[2:], expected, rtol=1e-12, atol=0)


@pytest.mark.parametrize("seed", range(4))
def test_double_mean_is_compensated(seed):
    # Magnitudes over twelve decades cancel; the pairwise sum loses digits, a compensated one does not.
    rng = np.random.default_rng(seed)
    arr = rng.standard_normal(200_003) * 10.0 ** rng.integers(-3, 9, 200_003)
    exact = math.fsum(arr) / arr.size
    mean = encode_array(arr)["stats"]["mean"]
    assert abs(mean - exact) <= math.ulp(exact)
    assert abs(mean - exact) <= abs(float(np.mean(arr)) - exact)


@pytest.mark.parametrize("dtype", ["f2", "f4", "f8", "<f4", ">f4", "longdouble"])
@pytest.mark.parametrize("where", [0, 500, 999])
def test_any_nan_makes_all_statistics_nan(dtype, where):
    arr = np.linspace(-5, 5, 1000).astype(dtype)
    arr[where] = np.nan
    assert all(math.isnan(v) for v in stats_of(encode_array(arr)))


@pytest.mark.parametrize("values", [[np.inf, 1.0], [-np.inf, 2.0, 3.0], [np.inf, -np.inf], [np.inf] * 200 + [-1.0]])
@pytest.mark.parametrize("dtype", ["f2", "f4", "f8"])
def test_infinities_match_numpy(values, dtype):
    arr = np.array(values, dtype=dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = [float(f(arr.astype(np.float64))) for f in (np.min, np.max, np.mean, np.std)]
    np.testing.assert_array_equal(stats_of(encode_array(arr)), expected)


I64, U64 = np.iinfo(np.int64), np.iinfo(np.uint64)


@pytest.mark.parametrize("arr", [
    np.array([I64.min, I64.max], dtype=np.int64),
    np.array([I64.max] * 1000, dtype=np.int64),
    np.array([I64.min] * 300 + [I64.max] * 7, dtype=">i8"),
    np.array([U64.max] * 1000, dtype=np.uint64),
    np.array([0, U64.max, 1], dtype=np.uint64),
    np.array([2**53 + 1, 2**53 + 1, 2**53 + 2], dtype=np.int64),
], ids=["i64 min-max", "i64 max", "i64 big-endian", "u64 max", "u64 spread", "beyond 2**53"])
def test_integer_extremes_are_summed_exactly(arr):
    mn, mx, mean, std = stats_of(encode_array(arr))
    emn, emx, emean, estd = exact_stats(arr)
    assert (mn, mx) == (emn, emx) == (float(np.min(arr)), float(np.max(arr)))
    assert mean == emean  # the exact sum, rounded once, divided once
    assert math.isclose(std, estd, rel_tol=1e-12, abs_tol=1e-12 * 2.0**64)
    assert math.isclose(mean, float(np.mean(arr)), rel_tol=1e-15, abs_tol=2.0**-52 * float(np.max(np.abs(arr.astype(float)))))


def test_every_half_precision_value():
    bits = np.arange(2**16, dtype=np.uint16)
    for order in ("<", ">"):
        halves = bits.astype(order + "u2").view(order + "f2")
        finite = halves[~np.isnan(halves)]
        got = np.array([encode_array(finite[i:i + 1])["stats"]["min"] for i in range(finite.size)])
        np.testing.assert_array_equal(got, finite.astype(np.float64))
        assert math.isnan(encode_array(halves)["stats"]["max"])


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
def test_complex_statistics_are_numpy_reductions_as_float():
    # Documented choice: types that are not real numbers get float() of NumPy's own
    # reductions; for complex that is the real part (lexicographic min and max).
    arr = np.array([1 + 2j, -3 + 1j, 2 - 5j], dtype=np.complex64)
    expected = [float(f(arr)) for f in (np.min, np.max, np.mean, np.std)]
    assert stats_of(encode_array(arr)) == expected == pytest.approx([-3.0, 2.0, 0.0, float(np.std(arr))])


@pytest.mark.parametrize("arr", [
    np.array(["2020-01-01", "2021-06-01"], dtype="M8[D]"),
    np.array([1, 2], dtype="m8[s]"),
    np.zeros(2, dtype="i4,f4"),
    np.array(["ab", "c"]),
])
def test_statistics_of_other_types_fail_as_numpy_and_float_do(arr):
    with pytest.raises(TypeError):
        encode_array(arr)


def test_empty_non_numeric_arrays_need_no_statistics():
    assert encode_array(np.zeros(0, dtype="M8[s]"))["stats"] == dict.fromkeys(STAT_KEYS, 0.0)


# ---------------------------------------------------------------- encode_value

def test_encode_value_documented_tuple():
    out = encode_value((1, np.int64(2), np.float32(0.5), np.bool_(True), b"ab\xff"))
    assert out == [1, 2, 0.5, True, "ab\ufffd"]
    assert [type(v) for v in out] == [int, int, float, bool, str]


def test_encode_value_dict_keeps_keys_and_order():
    key = np.int64(3)
    src = {"z": np.arange(3, dtype=np.uint8), key: [np.float16(1.5)], "a": None}
    out = encode_value(src)
    assert type(out) is dict and out is not src and list(out) == ["z", key, "a"]
    assert type(list(out)[1]) is np.int64
    assert out["z"] == encode_array(src["z"]) and out[key] == [1.5]


@pytest.mark.parametrize("value", [None, "text", {1, 2}, 3, 2.5, True, 1j, np.complex64(1j), np.str_("s"),
                                   np.datetime64("2020-01-01"), object()])
def test_encode_value_passes_other_values_through(value):
    assert encode_value(value) is value


@pytest.mark.parametrize("value, expected", [
    (collections.OrderedDict([("b", np.int8(1)), ("a", 2)]), {"b": 1, "a": 2}),
    (collections.namedtuple("P", "x y")(np.float64(1.0), b"q"), [1.0, "q"]),
    (np.bytes_(b"hi\x80"), "hi\ufffd"),
    (np.timedelta64(5, "s"), datetime.timedelta(seconds=5)),  # an integer scalar: .item()
    (np.longdouble(0.25), 0.25),
    ([[[np.bool_(False)]]], [[[False]]]),
    ((), []),
])
def test_encode_value_rules_apply_at_every_depth(value, expected):
    out = encode_value([value, {"k": (value,)}])
    assert out == [expected, {"k": [expected]}]
    assert type(out[0]) is type(expected)


def test_encode_value_dict_subclass_iteration_order():
    class Reversed(dict):
        def items(self):
            return reversed(list(super().items()))
    assert list(encode_value(Reversed(a=1, b=2))) == ["b", "a"]


def test_encode_value_propagates_nested_errors():
    with pytest.raises(TypeError, match="Python objects"):
        encode_value({"a": [np.array([None], dtype=object)]})


def test_encode_value_calls_replaced_module_functions(monkeypatch):
    seen = []
    monkeypatch.setattr(enc, "encode_array", lambda a: seen.append(a.shape) or "array")
    assert encode_value({"x": [np.zeros(2)]}) == {"x": ["array"]}
    assert seen == [(2,)]
    original = enc.encode_value
    monkeypatch.setattr(enc, "encode_value", lambda v: "inner" if v == 1 else original(v))
    assert original([1, [1]]) == ["inner", ["inner"]]


@pytest.mark.parametrize("make", ["list", "dict", "mixed"])
def test_encode_value_cycles_raise_recursion_error(make):
    if make == "list":
        value = []
        value.append(value)
    elif make == "dict":
        value = {}
        value["self"] = value
    else:
        value = {"a": []}
        value["a"].append((value,))
    with pytest.raises(RecursionError):
        encode_value(value)


def test_encode_value_deep_input_never_overflows_the_stack():
    # A raised recursion limit must not let the C stack overflow; run apart in case it does.
    code = textwrap.dedent("""
        import sys, threading
        from zelq.viz.encode import encode_value
        sys.setrecursionlimit(10**8)
        x = []
        for _ in range(2 * 10**6):
            x = [x]
        def run():
            try:
                encode_value(x)
            except RecursionError:
                print("RecursionError")
        run()
        threading.stack_size(512 * 1024)
        t = threading.Thread(target=run); t.start(); t.join()
        ok = []
        for _ in range(300):
            ok = {"k": ok}
        print(repr(encode_value(ok)) == "{'k': " * 300 + "[]" + "}" * 300)
    """)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env={"PYTHONPATH": str(SRC)})
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["RecursionError", "RecursionError", "True"]


# ---------------------------------------------------------------- decode_array

@pytest.mark.parametrize("value, name", [(None, "NoneType"), ([], "list"), ("x", "str"), (type("D", (dict,), {})(), "D"),
                                         (collections.OrderedDict(), "collections.OrderedDict")])
def test_decode_array_refuses_non_dicts(value, name):
    with pytest.raises(TypeError) as err:
        decode_array(value)
    assert str(err.value) == f"Argument 'encoded' has incorrect type (expected dict, got {name})"


@pytest.mark.parametrize("record, missing", [
    ({}, "data"), ({"dtype": "u1", "shape": [0]}, "data"), ({"data": ""}, "dtype"),
    ({"data": "", "shape": [0]}, "dtype"), ({"data": "", "dtype": "u1"}, "shape"),
])
def test_decode_array_missing_keys_in_reading_order(record, missing):
    with pytest.raises(KeyError) as err:
        decode_array(record)
    assert err.value.args == (missing,)


@pytest.mark.parametrize("record, error", [
    ({"data": "AAA"}, binascii.Error),                                  # decoded before "dtype" is read
    ({"data": "AAAA", "dtype": "i2", "shape": [1]}, ValueError),          # 3 bytes, 2-byte elements
    ({"data": "AAAA", "dtype": "no such type", "shape": [3]}, TypeError),
    ({"data": "AAAA", "dtype": "u1", "shape": [4]}, ValueError),
    ({"data": "AAAA", "dtype": "u1", "shape": "3"}, TypeError),
    ({"data": 12, "dtype": "u1", "shape": [3]}, TypeError),
    ({"data": "AAA\u00e9", "dtype": "u1", "shape": [3]}, ValueError),
])
def test_decode_array_propagates_decoding_errors(record, error):
    with pytest.raises(error):
        decode_array(record)


@pytest.mark.parametrize("dtype", ["O", [("a", "i4"), ("b", "O")], ("O", (2,))])
def test_decode_array_refuses_object_dtypes(dtype):
    record = {"data": base64.b64encode(bytes(64)).decode(), "dtype": dtype, "shape": [-1]}
    with pytest.raises(TypeError, match=r"^decode_array cannot rebuild an array of dtype .*: its elements would be "
                                        r"Python objects$"):
        decode_array(record)


@pytest.mark.parametrize("data", [b"AQID", bytearray(b"AQID"), memoryview(b"AQID"), "AQ\nI D", "!AQ-ID*",
                                  "AQID====", "AQIDBA==xyz"])
def test_decode_array_accepts_bytes_and_skips_foreign_characters(data):
    out = decode_array({"data": data, "dtype": "u1", "shape": [-1]})
    assert out.tobytes() == base64.b64decode(data)


def test_decode_array_without_stats_and_size():
    out = decode_array({"data": "AACAPwAAAEA=", "dtype": "<f4", "shape": [2, 1]})
    assert out.tolist() == [[1.0], [2.0]]
    with pytest.raises(ValueError):
        out[0, 0] = 3


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet="AQw+/=\n -é0", max_size=24) | st.binary(max_size=24))
def test_base64_decoding_matches_the_standard_facility(data):
    try:
        expected = base64.b64decode(data)
    except Exception as exc:  # the same kind and wording
        with pytest.raises(type(exc)) as err:
            decode_array({"data": data, "dtype": "u1", "shape": [-1]})
        assert str(err.value) == str(exc)
    else:
        assert decode_array({"data": data, "dtype": "u1", "shape": [-1]}).tobytes() == expected


# ---------------------------------------------------------------- display texts

@pytest.mark.parametrize("size, text", [
    (0, "0 B"), (1023, "1023 B"), (1024, "1.0 KB"), (1280, "1.2 KB"), (1536, "1.5 KB"), (1048575, "1024.0 KB"),
    (1048576, "1.0 MB"), (1073741823, "1024.0 MB"), (1073741824, "1.00 GB"), (1610612736, "1.50 GB"),
    (1099511627776, "1024.00 GB"), (-5, "-5 B"), (1536.9, "1.5 KB"), (True, "1 B"), (np.int64(3 << 20), "3.0 MB"),
    (np.float32(2048.5), "2.0 KB"), (-(2**70), f"{-(2**70)} B"), (2**80, "1125899906842624.00 GB"),
    (1126, "1.1 KB"), (1177, "1.1 KB"), (1178, "1.2 KB"), (3328, "3.2 KB"),
])
def test_format_size_examples(size, text):
    assert format_size(size) == text
    assert format_size(size=size) == text


def python_format_size(size):
    """Transcription with Python's correctly rounded formatting as the oracle."""
    size = int(size)
    if size < 1024:
        return f"{size} B"
    if size < 1048576:
        return f"{size / 1024:.1f} KB"
    if size < 1073741824:
        return f"{size / 1048576:.1f} MB"
    return f"{size / 1073741824:.2f} GB"


@given(st.integers(min_value=-(2**64), max_value=2**90) | st.integers(min_value=1000, max_value=2**31).map(
    lambda k: k * 512))  # exact halves: ties
def test_format_size_rounds_like_exact_formatting(size):
    assert format_size(size) == python_format_size(size)


@pytest.mark.parametrize("size, error", [
    ("1024", TypeError), (None, TypeError), ([1], TypeError), (b"1", TypeError),
    (1j, TypeError), (float("nan"), ValueError), (float("inf"), OverflowError), (2**1100, OverflowError),
])
def test_format_size_refusals(size, error):
    with pytest.raises(error) as err:
        format_size(size)
    if size is None or isinstance(size, (str, list, bytes)):
        assert str(err.value) == f"Argument 'size' has incorrect type (expected int, got {type(size).__name__})"


@pytest.mark.parametrize("shape, text", [
    ((128, 784), "[128, 784]"), ([3, 32, 32], "[3, 32, 32]"), (np.array([2, 5]), "[2, 5]"), ((), "[]"),
    ([2.9, -1.5], "[2, -1]"), ((True, 3), "[1, 3]"), ((np.int32(4), np.uint64(2**64 - 1)), "[4, 18446744073709551615]"),
    (iter([7, 0]), "[7, 0]"), ([10**30], f"[{10**30}]"), (np.array([3.7, -0.2]), "[3, 0]"),
])
def test_format_shape_examples(shape, text):
    assert format_shape(shape) == text


@pytest.mark.parametrize("shape, error", [
    (5, TypeError), (None, TypeError), (np.array(3), TypeError), ([None], TypeError),
    (np.zeros((2, 2)), TypeError), ([float("nan")], ValueError), ([float("inf")], OverflowError),
])
def test_format_shape_refusals(shape, error):
    with pytest.raises(error):
        format_shape(shape)


# ---------------------------------------------------------------- calls

FUNCTIONS = {"encode_array": "arr", "encode_value": "value", "decode_array": "encoded",
             "format_shape": "shape", "format_size": "size"}


@pytest.mark.parametrize("name, param", FUNCTIONS.items())
def test_call_errors(name, param):
    fn = getattr(enc, name)
    assert list(inspect.signature(fn).parameters) == [param]
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 positional argument \(0 given\)$"):
        fn()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 positional argument \(2 given\)$"):
        fn(1, 2)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'other'$"):
        fn(1, other=2)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument '{param}'$"):
        fn(1, **{param: 1})


def test_keyword_calls():
    rec = encode_array(arr=np.arange(3))
    assert decode_array(encoded=rec).tolist() == [0, 1, 2]
    assert encode_value(value=np.int8(1)) == 1 and format_shape(shape=[1]) == "[1]"
