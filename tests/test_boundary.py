"""The module boundary: function table, argument matching and conversion, array
checks, native failures, result arrays, and the interpreter lock."""

import gc
import inspect
import mmap
import threading
import time

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import SANITIZED, contract_kwargs, panic_class, random_baskets, to_arrays

PIPELINE = "(txn_ids, item_ids, k_max, n_items, min_support, item_weights, max_items_per_txn=None)"
SIGNATURES = {
    "rust_compute_pairs": "(txn_ids, item_ids, n_items, min_support=0.0)",
    "rust_compute_itemsets": "(txn_ids, item_ids, freq_lower, k, n_items, item_weights, max_items_per_txn=None)",
    "rust_compute_pipeline": PIPELINE,
    "rust_compute_pipeline_v1_roaring": PIPELINE,
    "rust_compute_pipeline_v2_memo": PIPELINE,
    "rust_compute_pipeline_v3_adaptive": PIPELINE,
    "rust_compute_pipeline_v5_prefilter": PIPELINE,
    "rust_compute_pipeline_v6_gating": PIPELINE,
    "rust_eclat_pipeline": "(txn_ids, item_ids, k_max, n_items, min_support)",
    "rust_classic_compute_pairs": "(txn_ids, item_ids, n_items, n_transactions, min_support)",
    "rust_classic_compute_pipeline": (
        "(txn_ids, item_ids, k_max, n_items, _n_transactions, min_support, item_weights, max_items_per_txn=None)"
    ),
}

T = np.array([1, 1, 2], dtype=np.int64)
I = np.array([0, 1, 1], dtype=np.int32)  # noqa: E741
W = np.ones(3)
F = np.array([[0, 1]], dtype=np.int32)

# Valid keyword arguments for every function, used as the base of the error tests.
ARGS = dict(txn_ids=T, item_ids=I, freq_lower=F, item_weights=W, max_items_per_txn=None)
ARGS |= dict(k=3, k_max=3, n_items=3, min_support=0.1, n_transactions=2, _n_transactions=2)
VALID = {name: contract_kwargs(name, **ARGS) for name in SIGNATURES}

ARRAY_PARAMS = [
    (f, p) for f, kw in VALID.items() for p in kw if p in ("txn_ids", "item_ids", "freq_lower", "item_weights")
]
U32_PARAMS = [(f, p) for f, kw in VALID.items() for p in kw if p in ("n_items", "n_transactions", "_n_transactions")]
USIZE_PARAMS = [(f, p) for f, kw in VALID.items() for p in kw if p in ("k", "k_max", "max_items_per_txn")]


def call(name, **overrides):
    """Calls a function with valid arguments except `overrides`."""
    return getattr(m, name)(**dict(VALID[name], **overrides))


def test_module_identity_and_table():
    # The module's functions and their signatures are its contract: pinned here, not
    # only through the stubs, which would follow a change made to both.
    import importlib

    assert importlib.import_module("_tallisk_rs") is m
    assert m.__all__ == list(SIGNATURES)
    for name, params in SIGNATURES.items():
        fn = getattr(m, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__module__ == "_tallisk_rs" and fn.__self__ is m
        assert fn.__text_signature__ == params
        assert str(inspect.signature(fn)) == params
        assert fn.__doc__ and not fn.__doc__.startswith(name)


def _exported():
    from tallisk import _engine

    engine = [n for n in dir(_engine) if not n.startswith("_") and callable(getattr(_engine, n))]
    return [getattr(m, n) for n in m.__all__] + [getattr(_engine, n) for n in sorted(engine)]


@pytest.mark.parametrize("fn", _exported(), ids=lambda fn: fn.__name__)
def test_text_signature_and_argument_matching_agree(fn):
    """The parameters CPython shows are exactly the ones the matching accepts."""
    params = list(inspect.signature(fn).parameters.values())
    names = [p.name for p in params]
    required = [p.name for p in params if p.default is p.empty]
    unusable = object()  # no kind converts it, so a call that gets past matching fails on the first

    if required:  # the thread-count getters take nothing
        with pytest.raises(TypeError) as info:
            fn()
        listed = str(info.value).split(": ", 1)[1]
        assert listed == ", ".join(f"'{n}'" for n in required) and fn.__name__ in str(info.value)
        with pytest.raises(TypeError, match=f"missing 1 required positional argument: '{required[-1]}'$"):
            fn(*[unusable] * (len(required) - 1))

        with pytest.raises(TypeError) as info:
            fn(**{n: unusable for n in names})
        assert str(info.value).startswith(f"argument '{names[0]}': ")

    with pytest.raises(TypeError, match=f"takes .*{len(names)} positional arguments but {len(names) + 1} were given"):
        fn(*[unusable] * (len(names) + 1))
    for name in names:
        with pytest.raises(TypeError, match=f"multiple values for argument '{name}'"):
            fn(*[unusable] * len(names), **{name: unusable})
    with pytest.raises(TypeError, match="unexpected keyword argument 'not_a_parameter'"):
        fn(*[unusable] * len(required), not_a_parameter=unusable)


def test_keywords_and_positionals_mix():
    by_pos = m.rust_compute_pairs(T, I, 3, 0.5)
    by_kw = m.rust_compute_pairs(item_ids=I, txn_ids=T, min_support=0.5, n_items=3)
    assert by_pos["instances"].tolist() == by_kw["instances"].tolist() == [1, 1]


@pytest.mark.parametrize("name, param", ARRAY_PARAMS)
@pytest.mark.parametrize("bad", ["wrong_dtype", "list", "wrong_ndim", "byteswapped", "strided"])
def test_array_conversion_errors(name, param, bad):
    good = VALID[name][param]
    if bad == "wrong_dtype":
        value = good.astype(np.float64 if good.dtype != np.float64 else np.int64)
    elif bad == "list":
        value = good.tolist()
    elif bad == "wrong_ndim":
        value = good.reshape(1, -1) if good.ndim == 1 else good.ravel()
    elif bad == "byteswapped":
        value = good.astype(good.dtype.newbyteorder())
    else:
        value = np.repeat(good, 2, axis=-1)[..., ::2]
        assert not value.flags.c_contiguous and not value.flags.f_contiguous
    with pytest.raises(TypeError) as info:
        call(name, **{param: value})
    assert str(info.value) == (
        "The given array is not contiguous"
        if bad == "strided"
        else f"argument '{param}': '{type(value).__name__}' object cannot be converted to 'PyArray<T, D>'"
    )


@pytest.mark.parametrize(
    "name, param, value",
    [(f, p, v) for f, p in U32_PARAMS for v in (-1, 2**32, 2**70)]
    + [(f, p, v) for f, p in USIZE_PARAMS for v in (-1, 2**64)],
)
def test_integer_out_of_range(name, param, value):
    with pytest.raises(OverflowError):
        call(name, **{param: value})


@pytest.mark.parametrize(
    "name, param", U32_PARAMS + USIZE_PARAMS + [(f, "min_support") for f in VALID if "min_support" in VALID[f]]
)
def test_scalar_type_errors_name_the_argument(name, param):
    value = "3" if param != "max_items_per_txn" else 1.5
    with pytest.raises(TypeError) as info:
        call(name, **{param: value})
    assert str(info.value).startswith(f"argument '{param}': ")
    assert isinstance(info.value.__cause__, TypeError)


def test_scalar_conversions():
    with pytest.raises(TypeError, match="^argument 'min_support': "):
        m.rust_compute_pairs(T, I, 3, None)

    class Half:
        def __float__(self):
            return 0.6

    # 0.6 of 2 transactions needs 2, the pair occurs once
    assert m.rust_compute_pairs(T, I, 3, Half())["instances"].tolist() == []
    assert m.rust_compute_pairs(T, I, 3, 1)["instances"].tolist() == []
    assert m.rust_compute_pairs(T, I, np.uint8(3), 0)["instances"].tolist() == [1, 1]  # index-like integers
    index_like = call("rust_compute_pipeline", k_max=np.int64(2), max_items_per_txn=np.int16(4))
    plain = call("rust_compute_pipeline", k_max=2, max_items_per_txn=4)
    assert index_like["lower_itemsets"].tolist() == plain["lower_itemsets"].tolist() == [[0, 1]]
    assert index_like["item_counts"].tolist() == plain["item_counts"].tolist() == [1, 2, 0]


def test_panic_is_a_base_exception():
    panic = panic_class()
    assert panic.__qualname__ == "PanicException" and panic.__module__ == "pyo3_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic_class() is panic  # one class per process


# (the classic pipeline mines any id; its test is in test_classic.py)
@pytest.mark.parametrize(
    "name, items, n_items, message",
    [
        *[
            (n, [0, 3, 1], 3, "the len is 3 but the index is 3")
            for n in VALID
            if n not in ("rust_compute_itemsets", "rust_classic_compute_pipeline")
        ],
        ("rust_compute_pairs", [0, -1, 1], 3, "the len is 3 but the index is 4294967295"),
        # item_ids shorter than txn_ids, also where any id is mined
        *[
            (n, [0, 1], 3, "the len is 2 but the index is 2")
            for n in ("rust_compute_pairs", "rust_classic_compute_pairs", "rust_classic_compute_pipeline")
        ],
        ("rust_compute_pairs", [0, 0, 0], 0, "the len is 0 but the index is 0"),
    ],
)
def test_inconsistent_items_panic(name, items, n_items, message):
    with pytest.raises(panic_class(), match=f"^index out of bounds: {message}$"):
        try:
            call(name, item_ids=np.array(items, dtype=np.int32), n_items=n_items)
        except Exception:  # must not be caught here
            pytest.fail("PanicException was caught by `except Exception`")


def test_extra_item_ids_are_ignored_and_empty_input():
    r = m.rust_compute_pairs(T, np.array([0, 1, 1, 99, -5], dtype=np.int32), 3)
    assert r["n_transactions"] == 2 and r["instances"].tolist() == [1, 1]
    for n_items in (0, 5):
        r = m.rust_compute_pairs(np.zeros(0, np.int64), np.zeros(0, np.int32), n_items)
        assert r["n_transactions"] == 0 and all(r[key].shape == (0,) for key in list(r)[:-1])


def test_result_arrays_own_their_memory():
    r = m.rust_compute_pairs(T, I, 3)
    lift = r["lift"]
    assert lift.flags.writeable and lift.flags.aligned and lift.flags.c_contiguous
    assert lift.strides == (8,) and r["item_A"].dtype == np.int32 and r["instances"].dtype == np.int64
    del r
    gc.collect()
    lift[:] = 7.0  # still valid memory, and ours to write
    again = m.rust_compute_pairs(T, I, 3)
    assert lift.tolist() == [7.0, 7.0] and again["lift"].tolist() != [7.0, 7.0]


def test_inputs_are_not_modified_and_unusual_arrays_work():
    class Sub(np.ndarray):
        pass

    txn = np.array([5, 5, 9, 9], dtype=np.int64)
    raw = np.zeros(4 * 4 + 1, dtype=np.uint8)
    raw[1:] = np.array([0, 1, 0, 1], dtype=np.int32).view(np.uint8)
    items = np.frombuffer(raw.data, dtype=np.int32, count=4, offset=1)  # unaligned
    assert not items.flags.aligned
    before = txn.copy()
    r = m.rust_compute_pairs(txn.view(Sub), items, 2)
    assert r["instances"].tolist() == [2, 2]
    assert np.array_equal(txn, before)


def test_other_threads_run_during_a_computation():
    rng = np.random.default_rng(1)
    n_txn = 40_000 if SANITIZED else 200_000
    txn = np.repeat(np.arange(n_txn, dtype=np.int64), 25)
    items = rng.integers(0, 400, size=txn.size).astype(np.int32)
    progress = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            progress.append(time.perf_counter())

    worker = threading.Thread(target=spin)
    worker.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        m.rust_compute_pairs(txn, items, 400)
        end = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    during = sum(1 for t in progress if start < t < end)
    assert end - start > 0.02, "computation too short to observe"
    assert during > 100


def _canonical(result):
    """A result dict with rows in a fixed order (the classic tables come in hash order)."""
    out = {}
    for rows_key, counts_key in (("itemsets", "counts"), ("lower_itemsets", "lower_counts")):
        if rows_key in result:
            out[rows_key] = sorted(zip(map(tuple, result[rows_key].tolist()), result[counts_key].tolist(), strict=True))
    for key in ("item_A", "item_B", "instances", "lift"):
        if key in result:
            out.setdefault("pairs", []).append(result[key].tolist())
    if "pairs" in out:
        out["pairs"] = sorted(zip(*out["pairs"], strict=True))
    return out


@pytest.mark.parametrize(
    "name, kwargs",
    [
        ("rust_compute_pairs", dict(min_support=0.0)),
        ("rust_eclat_pipeline", dict(k_max=4, min_support=0.01)),
        ("rust_classic_compute_pairs", dict(n_transactions=3000, min_support=0.01)),
        (
            "rust_classic_compute_pipeline",
            dict(k_max=3, _n_transactions=3000, min_support=0.01, item_weights=np.ones(60)),
        ),
    ],
)
def test_concurrent_callers_agree(name, kwargs):
    rng = np.random.default_rng(3)
    txn, items = to_arrays(random_baskets(rng, 3000, 60, 8))
    fn = getattr(m, name)
    kwargs = dict(kwargs, txn_ids=txn, item_ids=items, n_items=60)
    want = _canonical(fn(**kwargs))
    assert any(len(v) for v in want.values())
    results = [None] * 6
    start = threading.Barrier(len(results))

    def run(j):
        start.wait()
        results[j] = [_canonical(fn(**kwargs)) for _ in range(3)]

    threads = [threading.Thread(target=run, args=(j,)) for j in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == want for rs in results for r in rs)


@pytest.mark.parametrize("name", ["rust_compute_pairs", "rust_compute_pipeline_v6_gating", "rust_eclat_pipeline"])
def test_input_errors_of_the_computation_raise_value_error(name):
    # One row more than the 32-bit offsets address: 2**32 labels in an untouched
    # mapping reserved without backing (MAP_NORESERVE), so no memory is used.
    n = 2**32
    try:
        buf = mmap.mmap(-1, n * 8, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | 0x4000)
    except OSError:
        pytest.skip("the system refuses a 32 GiB reservation")

    def error_of_call():
        try:
            call(name, txn_ids=np.frombuffer(buf, dtype=np.int64))
        except ValueError as e:
            return str(e)
        return None

    try:
        message = error_of_call()
    finally:
        buf.close()
    assert message == "too many occurrences: 4294967296 rows given, at most 4294967295 are supported"
