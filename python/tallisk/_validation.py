"""Parameter declarations: each public function's parameters declared once, checked before
its body runs, in the manner of scikit-learn's ``validate_params``.

A declaration lists, per parameter, its kind (an int in a range, a fraction, one of some
options, ...), whether None is accepted, a one-line help and, for the command, the flag
that spells it. Defaults come from the function's own signature, so each is written once.
The decorator :func:`declare` checks every argument given, converts it to its plain Python
form (``np.int64(3)`` -> ``3``), applies the cross-parameter rules and maps deprecated
aliases onto the current names. The ``tallisk`` command builds its flags (types, choices,
defaults, help) from the same declarations and checks its values with them.

Messages are stored in pieces, so one error reads in the caller's terms: Python names
parameters and settings (``min_support=0.05``), the command its flags
(``--min-support 0.05``)::

    The 'min_support' parameter of frequent_itemsets must be a float in the range
    (0.0, 1.0]. Got 5 instead. (Did you mean a percentage? Use min_support=0.05.)

A bad value raises :class:`InvalidParameterError`, which is both a ``ValueError`` and a
``TypeError`` (as scikit-learn's is), so callers may catch either.
"""

from __future__ import annotations

import codecs
import functools
import inspect
import math
import numbers
import types
import warnings
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple, TypeVar, overload

import numpy as np

# The one support-to-count rounding lives in the table layer.
from ._tables import min_count_from_support

__all__ = [
    "COMMAND",
    "PYTHON",
    "Anything",
    "Bool",
    "Char",
    "Declaration",
    "Encoding",
    "Fraction",
    "Int",
    "InvalidParameterError",
    "Labels",
    "Options",
    "Param",
    "Real",
    "Voice",
    "Weights",
    "check_choice",
    "check_fraction",
    "check_int",
    "check_real",
    "declaration_of",
    "declare",
    "exactly_one",
    "fail",
    "min_count_from_support",
    "not_both",
    "only_with",
    "resolve_min_count",
    "together",
]

F = TypeVar("F", bound=Callable[..., Any])


# ---- messages in pieces ---------------------------------------------------------------------


class Name(NamedTuple):
    """A parameter's name in a message: ``'min_count'`` in Python, ``--min-count`` in the command."""

    param: str


class Setting(NamedTuple):
    """A parameter with a value, as the caller would write it: ``min_count=5`` / ``--min-count 5``."""

    param: str
    value: Any


class Subject(NamedTuple):
    """The opening of a message about one parameter: "The 'x' parameter of f" / "--x"."""

    param: str


class Caller(NamedTuple):
    """The function (Python) or subcommand (command) that refused the value."""


class Given(NamedTuple):
    """The value that was refused: its repr in Python, the text as typed in the command."""

    param: str
    value: Any


class InPython(NamedTuple):
    """Words only Python callers need (the command reads percentages itself)."""

    parts: tuple[Any, ...]


class Expected(NamedTuple):
    """What a parameter accepts, worded for the caller (the command also reads percentages)."""

    param: Any  # a Param
    low: Any  # the lower bound taken from another parameter, if any


Part = str | Name | Setting | Subject | Caller | Expected | Given | InPython

#: The parameter a hint's Setting is about, filled in when the message is made.
SELF = ""


def show(value: Any, limit: int = 80) -> str:
    """A value as a message shows it: its repr (NumPy scalars as plain Python values),
    shortened when long (an int of 600 digits says nothing more at 80 characters)."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, np.ndarray):
        return f"an array of shape {value.shape} and dtype {value.dtype}"
    if hasattr(value, "shape") and hasattr(value, "dtypes"):  # a DataFrame, without importing pandas
        return f"a {type(value).__name__} of shape {value.shape}"
    try:
        text = " ".join(repr(value).split())
    except Exception:  # noqa: BLE001 - a value whose repr fails is still described
        text = f"<{type(value).__name__}>"
    if isinstance(value, int) and not isinstance(value, bool) and len(text) > 24:
        return f"an int of {len(text.lstrip('-'))} digits"
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _setting_value(value: Any) -> str:
    if isinstance(value, float):
        return format(value, "g")
    return show(value)


@dataclass(frozen=True)
class Voice:
    """How a message names parameters: Python's spelling, or the command's flags.

    ``flags`` maps parameter names to option strings; names missing from it are spelled
    ``--name-with-dashes``. ``texts`` holds the command's values as typed (a refused
    ``150%`` is shown as typed, not as 1.5). ``caller`` names the subcommand."""

    command: bool = False
    flags: Mapping[str, str] = field(default_factory=dict)
    texts: Mapping[str, str] = field(default_factory=dict)
    caller: str = ""

    def flag(self, param: str) -> str:
        return self.flags.get(param) or "--" + param.replace("_", "-")

    def render(self, parts: Iterable[Part], func: str) -> str:
        out = []
        for part in parts:
            if isinstance(part, str):
                out.append(part)
            elif isinstance(part, Name):
                out.append(self.flag(part.param) if self.command else repr(part.param))
            elif isinstance(part, Setting):
                text = _setting_value(part.value)
                out.append(f"{self.flag(part.param)} {text}" if self.command else f"{part.param}={text}")
            elif isinstance(part, Subject):
                out.append(self.flag(part.param) if self.command else f"The {part.param!r} parameter of {func}")
            elif isinstance(part, Expected):
                out.append(part.param.expected(self, part.low))
            elif isinstance(part, _Hint):
                text = self.render(part.parts, func)
                out.append(f" ({text})" if text else "")
            elif isinstance(part, InPython):
                out.append("" if self.command else self.render(part.parts, func))
            elif isinstance(part, Given):
                typed = self.texts.get(part.param) if self.command else None
                out.append(show(part.value) if typed is None else typed)
            else:
                out.append("the command" if self.command else func)
        return "".join(out)


PYTHON = Voice()
COMMAND = Voice(command=True)


class _Hint(NamedTuple):
    """A hint after the message, in parentheses (none when it has no words for the caller)."""

    parts: tuple[Any, ...]


def _own(name: str, parts: Iterable[Any]) -> Iterator[Any]:
    """Hint parts with their SELF settings made about parameter ``name``."""
    for p in parts:
        if isinstance(p, Setting) and p.param == SELF:
            yield Setting(name, p.value)
        elif isinstance(p, InPython):
            yield InPython(tuple(_own(name, p.parts)))
        else:
            yield p


class InvalidParameterError(ValueError, TypeError):
    """A parameter has a value or a type the function does not accept.

    ``param`` names the parameter (the first one a rule names), ``func`` the function;
    :meth:`message` words the error for another caller (the command's flags)."""

    def __init__(self, *parts: Part, func: str = "", param: str | None = None) -> None:
        self.parts = parts
        self.func = func
        self.param: str | None = (
            param if param is not None else next((p.param for p in parts if isinstance(p, Name)), None)
        )
        super().__init__(PYTHON.render(parts, func))

    def message(self, voice: Voice = PYTHON) -> str:
        return voice.render(self.parts, self.func)


def fail(
    name: str, func: str, expected: str, value: Any, hint: Sequence[Part] | str | None = None
) -> InvalidParameterError:
    """The error for parameter ``name`` of ``func``: "must be {expected}. Got {value}
    instead. ({hint})". The caller raises it."""
    parts: list[Part] = [Subject(name), f" must be {expected}. Got ", Given(name, value), " instead."]
    if hint:
        parts += [" (", *([hint] if isinstance(hint, str) else hint), ")"]
    return InvalidParameterError(*parts, func=func, param=name)


def warn_deprecated(message: str) -> None:
    """A DeprecationWarning pointing at the caller's own line, outside this package."""
    import sys

    package = __name__.rsplit(".", 1)[0] + "."
    level = 1
    frame: types.FrameType | None = sys._getframe(1)
    while frame is not None and (frame.f_globals.get("__name__", "") + ".").startswith(package):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, DeprecationWarning, stacklevel=level)


# ---- kinds ------------------------------------------------------------------------------------


def _is_bool(value: Any) -> bool:
    return isinstance(value, bool | np.bool_)


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not _is_bool(value)


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not _is_bool(value)


def _as_float(value: Any) -> float | None:
    """A real number as a float; None for an int too large for one (it would overflow)."""
    try:
        return float(value)
    except OverflowError:
        return None


class Kind:
    """What a parameter accepts. ``check`` returns the value in plain Python form or raises
    through ``bad``; ``parse`` reads the command's text (a ValueError says why not);
    ``invalid`` lists values a caller might wrongly pass, for the generated tests."""

    #: The command's metavar for this kind.
    metavar = "VALUE"

    def describe(self, voice: Voice, low: Any = None) -> str:
        raise NotImplementedError

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> Any:
        raise NotImplementedError

    def parse(self, text: str) -> Any:
        return text

    def invalid(self) -> list[Any]:
        return []

    def invalid_text(self) -> list[str]:
        return []


@dataclass(frozen=True)
class Int(Kind):
    """An int in [low, high]; with ``low_param``, also at least that parameter's value
    (``max_len`` is at least ``min_len``)."""

    low: int | None = None
    high: int | None = None
    low_param: str | None = None
    metavar = "N"

    def _low(self, low: Any) -> int | None:
        if low is None:
            return self.low
        return low if self.low is None else max(low, self.low)

    def describe(self, voice: Voice, low: Any = None) -> str:
        lo, hi = self._low(low), self.high
        return f"an int in the range [{'-inf' if lo is None else lo}, {'inf' if hi is None else hi}]"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> int:
        lo = self._low(low)
        if not _is_int(value):
            hint = None
            f = _as_float(value) if _is_real(value) else None
            if f is not None and math.isfinite(f) and f.is_integer() and (lo is None or f >= lo):
                hint = ["Use ", Setting(SELF, int(f)), "."]
            raise bad(hint)
        v = int(value)
        if (lo is not None and v < lo) or (self.high is not None and v > self.high):
            raise bad()
        return v

    def parse(self, text: str) -> int:
        try:
            return int(text)
        except ValueError:
            raise ValueError(f"{text!r} is not a whole number") from None

    def invalid(self) -> list[Any]:
        out: list[Any] = [2.5, "3", True]
        if self.low is not None:
            out += [self.low - 1, -(2**64)]
        if self.high is not None:
            out.append(self.high + 1)
        return out

    def invalid_text(self) -> list[str]:
        out = ["x", "2.5", "1e999"]
        if self.low is not None:
            out.append(str(self.low - 1))
        return out


@dataclass(frozen=True)
class Real(Kind):
    """A real number (not NaN) in the range; ``finite`` refuses the infinities."""

    low: float | None = None
    high: float | None = None
    low_open: bool = False
    finite: bool = False
    metavar = "X"

    def describe(self, voice: Voice, low: Any = None) -> str:
        lo = "-inf" if self.low is None else repr(float(self.low))
        hi = "inf" if self.high is None else repr(float(self.high))
        return f"a float in the range {'(' if self.low_open or self.low is None else '['}{lo}, {hi}]"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> float:
        if not _is_real(value):
            raise bad()
        v = _as_float(value)
        if v is None:
            raise bad(["It does not fit in a float."])
        if math.isnan(v) or (self.finite and math.isinf(v)):
            raise bad()
        if self.low is not None and (v < self.low or (self.low_open and v == self.low)):
            raise bad()
        if self.high is not None and v > self.high:
            raise bad()
        return v

    def parse(self, text: str) -> float:
        try:
            return float(text)
        except ValueError:
            raise ValueError(f"{text!r} is not a number") from None

    def invalid(self) -> list[Any]:
        out: list[Any] = [float("nan"), "1", 1j, 2**2000 if self.high is None else -(2**2000)]
        if self.low is not None:
            out.append(self.low - 1.0)
        return out

    def invalid_text(self) -> list[str]:
        return ["x", "nan", *(["-1e999"] if self.low is not None else [])]


@dataclass(frozen=True)
class Fraction(Kind):
    """A share in (0, 1] (or [0, 1] with ``zero``). A value in (1, 100] is taken for a
    percentage and the hint shows the fraction probably meant. The command also reads a
    percentage (``5%``) and refuses a bare number of 1 or more as ambiguous."""

    zero: bool = False
    support: bool = True
    metavar = "S"

    def describe(self, voice: Voice, low: Any = None) -> str:
        text = f"a float in the range {'[' if self.zero else '('}0.0, 1.0]"
        return text + (f" or a percentage in {'[' if self.zero else '('}0%, 100%]" if voice.command else "")

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> float:
        if not _is_real(value):
            raise bad()
        v = _as_float(value)
        ok = v is not None and ((0.0 <= v <= 1.0) if self.zero else (0.0 < v <= 1.0))
        if not ok:
            hint: list[Part] | None = None
            if v is not None and 1.0 < v <= 100.0:
                hint = [InPython(("Did you mean a percentage? Use ", Setting(SELF, float(f"{v / 100:g}")), "."))]
            elif v is not None and v < 0.0 and self.support:
                hint = ["A support is a share of the transactions and cannot be negative."]
            raise bad(hint)
        return float(v)  # type: ignore[arg-type]

    def parse(self, text: str) -> float:
        import decimal

        s = text.strip()
        try:
            if s.endswith("%"):
                # Through Decimal: "1.1%" gives the double nearest 0.011, as "0.011" does
                # (float("1.1") / 100 can be one unit off, and move the cut-off by a count).
                value = float(decimal.Decimal(s[:-1]) / 100)
            else:
                value = float(s)
        except (ValueError, decimal.InvalidOperation):
            raise ValueError(
                f"{text!r} is not a number; write a fraction such as 0.01 or a percentage such as 1%"
            ) from None
        if not s.endswith("%") and value >= 1 and math.isfinite(value):
            raise ValueError(
                f"{text} is ambiguous (a share of the transactions is a fraction): write {s}% for a percentage"
            )
        return value

    def invalid(self) -> list[Any]:
        return [0.0 if not self.zero else -0.5, 5, 1.5, float("nan"), float("inf"), "0.1", None, 2**2000]

    def invalid_text(self) -> list[str]:
        return ["lots", "150%", "inf", "1e999", "-1%", "nan%", *([] if self.zero else ["0%"])]


@dataclass(frozen=True)
class Options(Kind):
    """One of ``values`` (compared with ==). ``renamed`` maps old values to the current
    ones (accepted with a DeprecationWarning); ``removed`` maps values that are gone to
    the hint that says why."""

    values: tuple[Any, ...] = ()
    renamed: Mapping[Any, Any] = field(default_factory=dict)
    removed: Mapping[Any, str] = field(default_factory=dict)
    metavar = "{...}"

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "one of " + ", ".join(show(v) for v in self.values)

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> Any:
        try:
            ok = isinstance(value, Hashable) and value in self.values
            old = not ok and isinstance(value, Hashable) and value in self.renamed
            gone = not ok and isinstance(value, Hashable) and value in self.removed
        except TypeError:
            ok = old = gone = False
        if old:
            new = self.renamed[value]
            warn_deprecated(f"{value!r} is deprecated; use {new!r}.")
            return new
        if not ok:
            raise bad([self.removed[value]] if gone else None)
        return value

    def invalid(self) -> list[Any]:
        return ["no such option", 3, ["list"]]

    def invalid_text(self) -> list[str]:
        return ["nosuch"]


@dataclass(frozen=True)
class Bool(Kind):
    """True or False (NumPy bools too)."""

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "a bool"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> bool:
        if not _is_bool(value):
            raise bad()
        return bool(value)

    def invalid(self) -> list[Any]:
        return ["yes", 2]


@dataclass(frozen=True)
class Char(Kind):
    """One character; the command also reads ``\\t`` or ``tab`` for a tab."""

    metavar = "C"

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "one character" + (" (\\t for a tab)" if voice.command else "")

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> str:
        if not isinstance(value, str) or len(value) != 1 or value in "\r\n":
            raise bad()
        return value

    def parse(self, text: str) -> str:
        return "\t" if text in ("\\t", "tab", "TAB") else text

    def invalid(self) -> list[Any]:
        return [";;", "", "\n", 4]

    def invalid_text(self) -> list[str]:
        return [";;"]


@dataclass(frozen=True)
class Encoding(Kind):
    """The name of a text encoding Python knows."""

    metavar = "NAME"

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "a text encoding Python knows (e.g. 'utf-8', 'latin-1')"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> str:
        if not isinstance(value, str):
            raise bad()
        try:
            info = codecs.lookup(value)
        except LookupError:
            raise bad() from None
        if not getattr(info, "_is_text_encoding", True):
            raise bad()  # e.g. 'rot13' or 'zlib': codecs, but not text encodings
        return value

    def invalid(self) -> list[Any]:
        return ["nosuch", "zlib", 8]

    def invalid_text(self) -> list[str]:
        return ["nosuch"]


@dataclass(frozen=True)
class Labels(Kind):
    """A collection of item labels (a list, set, tuple, Index, array), not a single label."""

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "a collection of item labels"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> Any:
        if isinstance(value, str | bytes) or not isinstance(value, Iterable) or isinstance(value, Mapping):
            hint = ["Use ", Setting(SELF, [value]), "."] if isinstance(value, Hashable) else None
            raise bad(hint)
        return value

    def parse(self, text: str) -> list[str]:
        # The command's labels: a comma-separated list (the run matches them to the
        # file's labels, numbers included).
        return [label.strip() for label in text.split(",") if label.strip()]

    def invalid(self) -> list[Any]:
        return ["milk", 3]


@dataclass(frozen=True)
class Weights(Kind):
    """Weights by item: a dict or Series of real numbers by label, or a 1-D array of real
    numbers in item-id order (its length is checked against the data by the body)."""

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "a dict or Series of real weights by item label, or a 1-D array of real weights in item-id order"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> Any:
        import pandas as pd

        if isinstance(value, Mapping | pd.Series):
            values = value.to_numpy() if isinstance(value, pd.Series) else list(value.values())
            arr = np.asarray(values, dtype=object) if len(values) else np.zeros(0)
            if arr.dtype == object and not all(_is_real(v) for v in arr.tolist()):
                raise bad(["Every weight must be a real number."])
            if arr.dtype.kind not in "iufO":
                raise bad()
            return value
        if isinstance(value, str | bytes):
            raise bad()
        arr = np.asarray(value)
        if arr.ndim != 1 or arr.dtype.kind not in "iuf":
            raise bad()
        return value

    def invalid(self) -> list[Any]:
        return ["heavy", {"a": 1j}, {"a": "x"}, np.array([1j, 2j]), np.ones((2, 2))]


@dataclass(frozen=True)
class Anything(Kind):
    """Not checked here: the body checks it (data, column names)."""

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "anything"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> Any:
        return value


# ---- parameters and declarations ----------------------------------------------------------------

#: A command_default that was not given.
UNSET: Any = object()


@dataclass(frozen=True)
class Param:
    """One parameter's declaration.

    ``none``: None is accepted; messages say so unless ``none_unsaid`` (for a threshold,
    None means "not given, the other one is", not a value of its own).
    ``flag`` is the command's option string when it is not ``--name-with-dashes``;
    ``aliases`` are older names still accepted, with a DeprecationWarning, and
    ``old_flags`` the command's older option strings (accepted, not shown in the help);
    ``command_default`` is the command's default where it must differ from the
    function's (documented in the help)."""

    name: str
    kind: Kind = field(default_factory=Anything)
    none: bool = False
    none_unsaid: bool = False
    help: str = ""
    flag: str | None = None
    metavar: str | None = None
    aliases: tuple[str, ...] = ()
    old_flags: tuple[str, ...] = ()
    command_default: Any = UNSET

    def expected(self, voice: Voice = PYTHON, low: Any = None) -> str:
        return self.kind.describe(voice, low) + (
            " or None" if self.none and not self.none_unsaid and not voice.command else ""
        )

    def check(self, value: Any, func: str, low: Any = None) -> Any:
        """The value in plain Python form, or an InvalidParameterError."""
        if value is None and self.none:
            return None

        def bad(hint: Sequence[Part] | None = None) -> InvalidParameterError:
            parts: list[Any] = [Subject(self.name), " must be ", Expected(self, low), ". Got "]
            parts += [Given(self.name, value), " instead."]
            if hint:
                parts.append(_Hint(tuple(_own(self.name, hint))))
            return InvalidParameterError(*parts, func=func, param=self.name)

        return self.kind.check(value, bad, low)


Rule = Callable[[Mapping[str, Any], "Declaration"], "InvalidParameterError | None"]


def exactly_one(a: str, b: str, what_a: str, what_b: str) -> Rule:
    """Exactly one of two parameters must be given (not None). The rule's ``names`` are
    the two: a default of the command fills one only when the other is not given."""

    def rule(args: Mapping[str, Any], decl: Declaration) -> InvalidParameterError | None:
        if (args.get(a) is None) == (args.get(b) is None):
            given = "both were given" if args.get(a) is not None else "neither was given"
            return InvalidParameterError(
                Caller(), " needs exactly one of ", Name(a), f" ({what_a}) and ", Name(b), f" ({what_b}); {given}.",
                func=decl.func, param=a,
            )  # fmt: skip
        return None

    rule.names = (a, b)  # type: ignore[attr-defined]
    return rule


def not_both(a: str, b: str) -> Rule:
    """``b`` only when ``a`` keeps its default (e.g. min_count with the default min_support)."""

    def rule(args: Mapping[str, Any], decl: Declaration) -> InvalidParameterError | None:
        default = decl.signature.parameters[a].default
        if args.get(b) is not None and args.get(a) not in (None, default):
            return InvalidParameterError(
                Caller(), " takes ", Name(a), " or ", Name(b), ", not both.", func=decl.func, param=b
            )
        return None

    return rule


def together(a: str, b: str, example: str) -> Rule:
    """Two parameters given together or not at all."""

    def rule(args: Mapping[str, Any], decl: Declaration) -> InvalidParameterError | None:
        if (args.get(a) is None) != (args.get(b) is None):
            return InvalidParameterError(
                Caller(), " needs ", Name(a), " and ", Name(b), f" together (e.g. {example}); got ",
                Setting(a, args.get(a)), ", ", Setting(b, args.get(b)), ".", func=decl.func, param=a,
            )  # fmt: skip
        return None

    return rule


def only_with(a: str, b: str) -> Rule:
    """``a`` only when ``b`` is given (not None)."""

    def rule(args: Mapping[str, Any], decl: Declaration) -> InvalidParameterError | None:
        if args.get(a) is not None and args.get(b) is None:
            return InvalidParameterError(
                Caller(), " takes ", Name(a), " only with ", Name(b), "; ", Name(b), " is not set.", func=decl.func
            )
        return None

    return rule


@dataclass(frozen=True)
class Declaration:
    """The declared parameters of one function, with its signature and rules."""

    func: str
    params: dict[str, Param]
    rules: tuple[Rule, ...]
    signature: inspect.Signature

    def default(self, name: str) -> Any:
        """The function's default for ``name`` (``inspect.Parameter.empty`` if none)."""
        return self.signature.parameters[name].default

    def check(self, args: Mapping[str, Any], *, rules: bool = True) -> dict[str, Any]:
        """Checks the given arguments (others take their defaults) and returns them in
        plain Python form."""
        out = dict(args)
        for name, value in args.items():
            p = self.params.get(name)
            if p is None:
                continue
            low = None
            ref = getattr(p.kind, "low_param", None)
            if ref is not None and ref in self.signature.parameters:
                low = out.get(ref, self.default(ref))
                low = low if _is_int(low) else None
            out[name] = p.check(value, self.func, low)
        if rules and self.rules:
            full = {
                k: v.default for k, v in self.signature.parameters.items() if v.default is not inspect.Parameter.empty
            }
            full.update(out)
            for rule in self.rules:
                err = rule(full, self)
                if err is not None:
                    raise err
        return out

    def extend(self, func: str, params: Sequence[Param], signature: inspect.Signature) -> Declaration:
        """This declaration for another function with the same parameters (plus and
        minus some): the parameters the new signature has, and its own."""
        merged = {n: p for n, p in self.params.items() if n in signature.parameters}
        merged.update((p.name, p) for p in params)
        rules = tuple(r for r in self.rules)
        return Declaration(func, merged, rules, signature)


def declaration_of(func: Any) -> Declaration:
    """The declaration of a declared function (or bound method, or classmethod)."""
    target = getattr(func, "__func__", func)
    decl = getattr(target, "__declaration__", None)
    if decl is None:
        raise TypeError(f"{getattr(func, '__qualname__', func)!r} has no parameter declaration")
    return decl


def declare(
    *params: Param, rules: Sequence[Rule] = (), extends: Any = None, name: str | None = None
) -> Callable[[F], F]:
    """Declares the parameters of the decorated function and checks them before its body.

    ``extends`` takes the declaration of another declared function for the parameters
    both have (``tallisk.dask`` reuses the one-machine declarations); ``params`` add to
    or override it. ``name`` is the function's name in messages (default its qualified
    name)."""

    def wrap(f: F) -> F:
        sig = inspect.signature(f)
        func = name or f.__qualname__
        if extends is not None:
            decl = declaration_of(extends).extend(func, params, sig)
            decl = Declaration(func, decl.params, decl.rules + tuple(rules), sig)
        else:
            decl = Declaration(func, {p.name: p for p in params}, tuple(rules), sig)
        for p in decl.params.values():
            if p.name not in sig.parameters:
                raise TypeError(f"{func} declares {p.name!r}, which is not one of its parameters")
        aliases = {a: p.name for p in decl.params.values() for a in p.aliases}
        checked = [n for n in sig.parameters if n in decl.params]

        @functools.wraps(f)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            if aliases:
                for old in [k for k in kwargs if k in aliases]:
                    new = aliases[old]
                    if new in kwargs:
                        raise TypeError(f"{func}() got {old!r} and {new!r}; {old!r} is the old name of {new!r}")
                    warn_deprecated(f"{func}: {old!r} is deprecated; use {new!r}.")
                    kwargs[new] = kwargs.pop(old)
            bound = sig.bind(*args, **kwargs)
            given = {n: bound.arguments[n] for n in checked if n in bound.arguments}
            if given or decl.rules:
                bound.arguments.update(decl.check(given))
            return f(*bound.args, **bound.kwargs)

        wrapper.__declaration__ = decl  # type: ignore[attr-defined]
        return wrapper  # type: ignore[return-value]

    return wrap


# ---- the checks as functions, for code that checks one value at a time -----------------------------


@overload
def check_int(
    value: Any, name: str, func: str, *, low: int | None = ..., high: int | None = ..., allow_none: Literal[False] = ...
) -> int: ...
@overload
def check_int(
    value: Any, name: str, func: str, *, low: int | None = ..., high: int | None = ..., allow_none: bool
) -> int | None: ...
def check_int(
    value: Any, name: str, func: str, *, low: int | None = None, high: int | None = None, allow_none: bool = False
) -> int | None:
    """An integer in [low, high] (either side open when None); None when allowed."""
    return Param(name, Int(low, high), none=allow_none).check(value, func)


@overload
def check_real(
    value: Any,
    name: str,
    func: str,
    *,
    low: float | None = ...,
    high: float | None = ...,
    low_open: bool = ...,
    allow_inf: bool = ...,
    allow_none: Literal[False] = ...,
) -> float: ...
@overload
def check_real(
    value: Any,
    name: str,
    func: str,
    *,
    low: float | None = ...,
    high: float | None = ...,
    low_open: bool = ...,
    allow_inf: bool = ...,
    allow_none: bool,
) -> float | None: ...
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
    return Param(name, Real(low, high, low_open, not allow_inf), none=allow_none).check(value, func)


def check_fraction(value: Any, name: str, func: str, *, allow_zero: bool = False) -> float:
    """A fraction in (0, 1] (or [0, 1]); a value in (1, 100] is taken for a percentage and
    the message shows the fraction that was probably meant."""
    return Param(name, Fraction(allow_zero, support="support" in name)).check(value, func)


def check_choice(value: Any, name: str, func: str, choices: Iterable[Hashable]) -> Any:
    """One of ``choices`` (compared with ==)."""
    return Param(name, Options(tuple(choices))).check(value, func)


# ---- thresholds -----------------------------------------------------------------------------------


_ONE_THRESHOLD = exactly_one(
    "min_support", "min_count", "a fraction of the transactions in (0.0, 1.0]", "a number of transactions >= 1"
)


def resolve_min_count(min_support: Any, min_count: Any, n_transactions: int, func: str) -> int:
    """Exactly one of ``min_support`` (a fraction in (0, 1]) and ``min_count`` (an int >= 1)
    -> the absolute minimum count."""
    decl = Declaration(func, {}, (), inspect.Signature())
    err = _ONE_THRESHOLD({"min_support": min_support, "min_count": min_count}, decl)
    if err is not None:
        raise err
    if min_count is not None:
        return _MIN_COUNT.check(min_count, func)
    return min_count_from_support(_MIN_SUPPORT.check(min_support, func), n_transactions)


class _MinCount(Int):
    """An int >= 1; a fraction in (0, 1) gets a hint towards min_support."""

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> int:
        if _is_real(value) and not _is_int(value):
            f = _as_float(value)
            if f is not None and 0.0 < f < 1.0:
                raise bad(["Did you mean a fraction? Use ", Setting("min_support", float(f"{f:g}")), "."])
        return super().check(value, bad, low)

    def invalid(self) -> list[Any]:
        return [*super().invalid(), 0.05]


#: The two ways to give a threshold, shared by every function that mines.
MIN_SUPPORT_KIND = Fraction()
MIN_COUNT_KIND = _MinCount(low=1)
_MIN_SUPPORT = Param("min_support", MIN_SUPPORT_KIND)
_MIN_COUNT = Param("min_count", MIN_COUNT_KIND)


# ---- parameters many functions share ---------------------------------------------------------------

MIN_SUPPORT = Param(
    "min_support",
    MIN_SUPPORT_KIND,
    none=True,
    none_unsaid=True,
    command_default=0.01,
    help="minimum support: a share of the transactions (0.01) or a percentage (1%)",
)
MIN_COUNT = Param(
    "min_count",
    MIN_COUNT_KIND,
    none=True,
    none_unsaid=True,
    help="minimum number of transactions (instead of a support)",
)
ONE_THRESHOLD = _ONE_THRESHOLD
MIN_LEN = Param("min_len", Int(1), help="fewest items in a set")
MAX_LEN = Param("max_len", Int(1, low_param="min_len"), none=True, help="most items in a set (default: no limit)")
MAX_ITEMSETS = Param("max_itemsets", Int(1), none=True, help="stop with an error rather than find more than N sets")
EXCLUDE = Param("exclude", Labels(), none=True, help="items that appear in no set or rule")
