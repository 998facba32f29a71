"""Parameter checks shared by the public functions.

Every message names the parameter and the function, says what was expected and what
was given, in the style people know from scikit-learn:

    The 'min_support' parameter of frequent_itemsets must be a float in the range
    (0.0, 1.0]. Got 5 instead. (Did you mean a percentage? Use min_support=0.05.)

A bad value raises :class:`InvalidParameterError`, which is both a ``ValueError`` and a
``TypeError`` (as scikit-learn's is), so callers may catch either; a value of the wrong
kind is still reported with the same message.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Collection, Hashable
from typing import Any

import numpy as np

# The one support-to-count rounding lives in the table layer.
from ._tables import min_count_from_support

__all__ = [
    "InvalidParameterError",
    "check_choice",
    "check_fraction",
    "check_int",
    "check_real",
    "min_count_from_support",
    "resolve_min_count",
]


class InvalidParameterError(ValueError, TypeError):
    """A parameter has a value or a type the function does not accept."""


def _fmt(value: Any) -> str:
    if isinstance(value, str):
        return repr(value)
    if isinstance(value, np.generic):
        value = value.item()
    return repr(value) if not isinstance(value, float) else f"{value!r}"


def fail(name: str, func: str, expected: str, value: Any, hint: str | None = None) -> InvalidParameterError:
    """The error for parameter ``name`` of ``func``; the caller raises it."""
    msg = f"The {name!r} parameter of {func} must be {expected}. Got {_fmt(value)} instead."
    if hint:
        msg += f" ({hint})"
    return InvalidParameterError(msg)


def _is_bool(value: Any) -> bool:
    return isinstance(value, bool | np.bool_)


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not _is_bool(value)


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not _is_bool(value)


def check_int(
    value: Any, name: str, func: str, *, low: int | None = None, high: int | None = None, allow_none: bool = False
) -> int | None:
    """An integer in [low, high] (either side open when None); None when allowed."""
    if value is None and allow_none:
        return None
    lo = "-inf" if low is None else str(low)
    hi = "inf" if high is None else str(high)
    expected = f"an int in the range [{lo}, {hi}]" + (" or None" if allow_none else "")
    if not _is_int(value):
        hint = None
        if _is_real(value) and math.isfinite(value) and float(value).is_integer():
            hint = f"Use {name}={int(value)}."
        raise fail(name, func, expected, value, hint)
    v = int(value)
    if (low is not None and v < low) or (high is not None and v > high):
        raise fail(name, func, expected, value)
    return v


def check_real(
    value: Any,
    name: str,
    func: str,
    *,
    low: float | None = None,
    high: float | None = None,
    low_open: bool = False,
    allow_inf: bool = True,
    allow_none: bool = False,
) -> float | None:
    """A real number (not NaN) in the given range; None when allowed."""
    if value is None and allow_none:
        return None
    lo = "-inf" if low is None else repr(float(low))
    hi = "inf" if high is None else repr(float(high))
    expected = f"a float in the range {'(' if low_open or low is None else '['}{lo}, {hi}]"
    if allow_none:
        expected += " or None"
    if not _is_real(value):
        raise fail(name, func, expected, value)
    v = float(value)
    if math.isnan(v) or (not allow_inf and math.isinf(v)):
        raise fail(name, func, expected, value)
    if low is not None and (v < low or (low_open and v == low)):
        raise fail(name, func, expected, value)
    if high is not None and v > high:
        raise fail(name, func, expected, value)
    return v


def check_fraction(value: Any, name: str, func: str, *, allow_zero: bool = False) -> float:
    """A fraction in (0, 1] (or [0, 1]); a value in (1, 100] is taken for a percentage and
    the message shows the fraction that was probably meant."""
    expected = f"a float in the range {'[' if allow_zero else '('}0.0, 1.0]"
    if not _is_real(value):
        raise fail(name, func, expected, value)
    v = float(value)
    ok = (0.0 <= v <= 1.0) if allow_zero else (0.0 < v <= 1.0)
    if not ok:
        hint = None
        if 1.0 < v <= 100.0:
            hint = f"Did you mean a percentage? Use {name}={v / 100:g}."
        elif v < 0.0 and v == v:
            hint = "A support is a share of the transactions and cannot be negative."
        raise fail(name, func, expected, value, hint)
    return v


def check_choice(value: Any, name: str, func: str, choices: Collection[Hashable]) -> Any:
    """One of ``choices`` (compared with ==)."""
    try:
        ok = isinstance(value, Hashable) and value in choices
    except TypeError:
        ok = False
    if not ok:
        expected = "one of " + ", ".join(_fmt(c) for c in choices)
        raise fail(name, func, expected, value)
    return value


def resolve_min_count(min_support: Any, min_count: Any, n_transactions: int, func: str) -> int:
    """Exactly one of ``min_support`` (a fraction in (0, 1]) and ``min_count`` (an int >= 1)
    -> the absolute minimum count."""
    if (min_support is None) == (min_count is None):
        given = "both" if min_support is not None else "neither"
        raise InvalidParameterError(
            f"{func} needs exactly one of 'min_support' (a fraction of the transactions in (0.0, 1.0]) and "
            f"'min_count' (a number of transactions >= 1); {given} was given."
        )
    if min_count is not None:
        hint = None
        if _is_real(min_count) and 0.0 < float(min_count) < 1.0:
            hint = f"Did you mean a fraction? Use min_support={float(min_count):g}."
        if not _is_int(min_count) or int(min_count) < 1:
            if hint is None and _is_real(min_count) and math.isfinite(min_count) and float(min_count).is_integer():
                if float(min_count) >= 1:
                    hint = f"Use min_count={int(min_count)}."
            raise fail("min_count", func, "an int in the range [1, inf]", min_count, hint)
        return int(min_count)
    s = check_fraction(min_support, "min_support", func)
    return min_count_from_support(s, n_transactions)
