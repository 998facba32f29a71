"""Every public function's parameters, walked from their declarations: invalid values get the
package's error naming the parameter, in Python and (worded with flags) through the command;
the command's names and defaults are the package's; old names still work."""

from __future__ import annotations

import importlib.util
import inspect
import math

import pandas as pd
import pytest
import tallisk
from helpers import command
from tallisk import cli
from tallisk._validation import Fraction, InvalidParameterError, Param, declaration_of
from tallisk.io import read_transactions
from tallisk.transactions import Transactions

BASKETS = [["a", "b"], ["a", "c"], ["a", "b", "c"], ["b"]]


def _modules():
    names = ["tallisk", "tallisk.io", "tallisk.mining", "tallisk.rules", "tallisk.pairs"]
    names += [m for m in ("tallisk.plot", "tallisk.dask") if _importable(m)]
    return [importlib.import_module(m) for m in names]


def _importable(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def declared_functions():
    """Every declared public function, found by walking the public modules and classes."""
    found = {}
    for module in _modules():
        for name in getattr(module, "__all__", dir(module)):
            obj = getattr(module, name, None)
            for f in [obj, *(vars(obj).values() if inspect.isclass(obj) else [])]:
                target = getattr(f, "__func__", f)
                if hasattr(target, "__declaration__"):
                    found[f"{module.__name__.split('.')[-1]}.{target.__declaration__.func}"] = target
    return found


def _dask_frame():
    import dask.dataframe as dd

    return dd.from_pandas(pd.DataFrame({"t": [1, 1, 2], "i": ["a", "b", "a"]}), npartitions=1)


@pytest.fixture(scope="module")
def calls(tmp_path_factory):
    """A valid call of every declared function: positional arguments and keywords that the
    bad value is added to (the checks run before the body, so the body never starts)."""
    path = tmp_path_factory.mktemp("in") / "in.dat"
    path.write_text("a b\na c\n")
    tr = Transactions.from_baskets(BASKETS)
    sets = tallisk.frequent_itemsets(tr, min_count=1)
    rules = tallisk.association_rules(sets, min_confidence=0.0)
    return {
        "frequent_itemsets": ((tr,), {"min_count": 1}),
        "association_rules": ((sets,), {}),
        "pair_metrics": ((tr,), {}),
        "top_rules": ((tr,), {"k": 3}),
        "recommend": ((rules,), {"basket": ["a"]}),
        "add_measures": ((rules,), {"names": ["phi"]}),
        "add_significance": ((rules,), {}),
        "summary": ((rules,), {}),
        "format_rules": ((rules,), {}),
        "read_transactions": ((str(path),), {}),
        "Transactions.summary": ((tr,), {}),
        "rules_scatter": ((rules,), {}),
        "rules_graph": ((rules,), {}),
        "pair_heatmap": ((tallisk.pair_metrics(tr),), {}),
        "dask.frequent_itemsets": (lambda: (_dask_frame(), "t", "i"), {"min_count": 1}),
        "dask.pair_metrics": (lambda: (_dask_frame(), "t", "i"), {}),
    }


def _invalid_cases():
    cases = []
    for key, func in sorted(declared_functions().items()):
        for p in declaration_of(func).params.values():
            for value in p.kind.invalid():
                if value is None and p.none:
                    continue
                cases.append(pytest.param(key, func, p.name, value, id=f"{key}-{p.name}-{value!r:.20}"))
    return cases


def _call_of(calls, key):
    short = key.split(".", 1)[1] if key.startswith(("tallisk.", "mining.", "rules.", "pairs.", "io.", "plot.")) else key
    for name in (key, short):
        if name in calls:
            return calls[name]
    raise AssertionError(f"no valid call of {key} in the calls fixture: add one")


def test_every_declared_function_has_a_valid_call(calls):
    for key in declared_functions():
        args, kwargs = _call_of(calls, key)
        assert isinstance(kwargs, dict)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("key, func, name, value", _invalid_cases())
def test_invalid_values_get_the_packages_error_naming_the_parameter(calls, key, func, name, value):
    args, kwargs = _call_of(calls, key)
    args = args() if callable(args) else args
    with pytest.raises(InvalidParameterError) as info:
        func(*args, **{**kwargs, name: value})
    err = info.value
    assert isinstance(err, ValueError) and isinstance(err, TypeError)
    assert err.param == name and f"'{name}'" in str(err) and declaration_of(func).func in str(err)
    assert len(str(err).splitlines()) == 1


# ---- through the command ------------------------------------------------------------------------


def _flag_cases():
    cases = []
    for sub in cli.subcommands().values():
        for p, _, _ in cli.flags_of(sub):
            for text in p.kind.invalid_text():
                cases.append(pytest.param(sub.name, p, text, id=f"{sub.name}-{p.name}-{text}"))
    return cases


@pytest.mark.parametrize("sub, param, text", _flag_cases())
def test_invalid_flag_values_are_one_line_usage_errors_naming_the_flag(tmp_path, capsys, sub, param, text):
    (tmp_path / "in.dat").write_text("a b\na c\n")
    base = ["--min-count", "1"] if sub in ("itemsets", "rules") and param.name != "min_support" else []
    out = ["-o", str(tmp_path / "o")] if sub != "summary" else []
    status = command(sub, str(tmp_path / "in.dat"), *base, cli.flag_names(param)[0], text, *out)
    err = capsys.readouterr().err
    assert status == 2 and len(err.splitlines()) == 1, err
    assert err.startswith(f"tallisk {sub}") and cli.flag_names(param)[0] in err
    assert "Traceback" not in err and "parameter of" not in err and f"'{param.name}'" not in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.dat"]


def test_each_subcommand_takes_only_the_flags_of_the_functions_it_runs(tmp_path, capsys):
    subs = cli.subcommands()
    flags = {name: {cli.flag_names(p)[0] for p, _, _ in cli.flags_of(sub)} for name, sub in subs.items()}
    assert "--min-len" not in flags["rules"] and "--target" not in flags["rules"]
    assert "--min-support" not in flags["summary"]
    (tmp_path / "in.dat").write_text("a b\n")
    for name, own in flags.items():
        for flag in sorted(set().union(*flags.values()) - own):
            assert command(name, str(tmp_path / "in.dat"), flag, "1") == 2
            assert "unrecognized arguments" in capsys.readouterr().err


def test_the_command_and_the_package_agree_on_names_and_defaults(tmp_path):
    """A flag is its parameter's name with dashes, and a flag left out means the function's
    default; the one declared exception is --min-support, which the package requires."""
    differ = {}
    for sub in cli.subcommands().values():
        args = cli.build_parser().parse_args([sub.name, "in.dat"])
        for group in sub.groups:
            if not isinstance(group, cli.Uses):
                continue
            sig = inspect.signature(group.func)
            for name in group.names:
                p = group.declaration.params[name]
                assert cli.flag_names(p)[0] in ("--" + name.replace("_", "-"), p.flag), (sub.name, name)
                default = sig.parameters[name].default
                if getattr(args, name) != default:
                    differ[(sub.name, name)] = (getattr(args, name), default)
                    assert p.command_default is not cli.UNSET and p.name in cli._help(p, default)
    cli._check(cli.subcommands()["itemsets"], args := cli.build_parser().parse_args(["itemsets", "x"]))
    assert args.min_support == 0.01 and args.min_count is None
    assert differ == {}


def test_one_vocabulary_across_faces():
    faces = [read_transactions, Transactions.from_long]
    if _importable("tallisk.dask"):
        import tallisk.dask as tdask

        faces += [tdask.frequent_itemsets, tdask.pair_metrics]
    for f in faces:
        assert {"transaction", "item"} <= set(inspect.signature(f).parameters), f
    for sub in ("itemsets", "rules", "pairs", "summary"):
        flags = {cli.flag_names(p)[0] for p, _, _ in cli.flags_of(cli.subcommands()[sub])}
        assert {"--transaction", "--item"} <= flags
    rules_flags = {cli.flag_names(p)[0] for p, _, _ in cli.flags_of(cli.subcommands()["rules"])}
    assert {"--max-consequent-len", "--by"} <= rules_flags


# ---- old names --------------------------------------------------------------------------------


def test_old_names_still_work_with_a_deprecation_warning(tmp_path):
    tr = Transactions.from_baskets(BASKETS)
    sets = tallisk.frequent_itemsets(tr, min_count=1)
    with pytest.warns(DeprecationWarning, match="'sort_by' is deprecated; use 'by'"):
        old = tallisk.association_rules(sets, min_confidence=0.0, sort_by="confidence")
    pd.testing.assert_frame_equal(old, tallisk.association_rules(sets, min_confidence=0.0, by="confidence"))
    with pytest.raises(TypeError, match="'sort_by' is the old name of 'by'"):
        tallisk.association_rules(sets, sort_by="lift", by="lift")
    path = tmp_path / "t.csv"
    path.write_text("order,product\n1,a\n1,b\n2,a\n")
    with pytest.warns(DeprecationWarning, match="'(transaction|item)_col' is deprecated") as caught:
        old_tr = read_transactions(path, transaction_col="order", item_col="product")
    assert len(caught) == 2
    assert old_tr.equals(read_transactions(path, transaction="order", item="product"))
    r = command("itemsets", str(path), "--min-count", "1", "--transaction-col", "order", "--item-col", "product",
                "--sort", "support", "-o", str(tmp_path / "o.csv"))  # fmt: skip
    assert r == 0 and (tmp_path / "o.csv").exists()


# ---- the pieces of a message ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, value",
    [("1%", 0.01), ("0.5%", 0.005), ("1.1%", 0.011), ("0.01", 0.01), ("100%", 1.0), (".2", 0.2), ("inf", math.inf)],
)
def test_the_command_reads_supports_as_fractions_or_percentages(text, value):
    assert Fraction().parse(text) == value  # exactly the double a fraction written out gives


@pytest.mark.parametrize("text", ["1", "1.0", "10", "2.5", "x%", "lots"])
def test_bare_numbers_of_one_or_more_and_words_are_refused(text):
    with pytest.raises(ValueError, match="ambiguous|not a number"):
        Fraction().parse(text)


def test_one_error_in_either_voice():
    p = Param("min_support", Fraction())
    with pytest.raises(InvalidParameterError) as info:
        p.check(50, "frequent_itemsets")
    py = str(info.value)
    assert py == (
        "The 'min_support' parameter of frequent_itemsets must be a float in the range (0.0, 1.0]. "
        "Got 50 instead. (Did you mean a percentage? Use min_support=0.5.)"
    )
    voice = cli.Voice(command=True, texts={"min_support": "5000%"})
    assert info.value.message(voice) == (
        "--min-support must be a float in the range (0.0, 1.0] or a percentage in (0%, 100%]. Got 5000% instead."
    )
