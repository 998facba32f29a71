"""Writing result tables and reading them back: every table the package makes (its
mlxtend-style frames too), in every format, comes back equal (labels, dtypes, attrs, so
that rules mined from a re-read table count as the original's do); other readers read the
files; the text for people matches a plain-Python rendering of it."""

from __future__ import annotations

import csv
import functools
import gzip
import json
import os
import re

import numpy as np
import pandas as pd
import pytest
import tallisk
import tallisk.mlxtend
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tallisk import InvalidParameterError
from tallisk import io as tio
from tallisk.io import _text

HAVE_ARROW = True
try:
    import pyarrow  # noqa: F401
except ImportError:
    HAVE_ARROW = False

TEXT_FORMATS = ["csv", "tsv", "jsonl", "csv.gz"]
FORMATS = TEXT_FORMATS + (["parquet"] if HAVE_ARROW else [])

# Labels that break naive writers: separators, quotes, braces, line ends, non-ASCII,
# leading zeros, blanks at the ends, things that look like numbers or JSON.
HOSTILE = ["Milk, 2%", 'say "hi"', "{a,b}", "[1]", "tab\there", "two\nlines", "cr\rhere", "ü😀", "007", "0"]
HOSTILE += [" padded ", "null", "NA", "inf", "a => b", "back\\slash", ""]


def tables(baskets, min_count=1, mlxtend=False):
    """The package's tables of `baskets`; with `mlxtend`, also the mlxtend-style frames
    (frozenset cells, infinite and NaN measures) of its drop-in face."""
    tr = tallisk.Transactions.from_baskets(baskets)
    sets = tallisk.frequent_itemsets(tr, min_count=min_count)
    rules = tallisk.association_rules(sets, min_confidence=0.0)
    out = {"itemsets": sets, "rules": rules, "pairs": tallisk.pair_metrics(tr)}
    if mlxtend:
        labels = list(dict.fromkeys(x for b in baskets for x in b))
        onehot = pd.DataFrame([[x in b for x in labels] for b in baskets], columns=pd.Index(labels, dtype=object))
        out["mlxtend sets"] = tallisk.mlxtend.apriori(onehot, min_support=1e-9, use_colnames=True)
        if len(out["mlxtend sets"]):  # mlxtend refuses to make rules of no sets
            out["mlxtend rules"] = tallisk.mlxtend.association_rules(out["mlxtend sets"], min_threshold=0.0)
    return out


def assert_same(back: pd.DataFrame, df: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(back, df, check_exact=True)
    assert back.attrs == df.attrs
    for name in df.columns:  # element types too: 1 and "1", and 1 and 1.0, compare equal
        if df[name].dtype == object:
            assert [tuple(map(type, v)) if isinstance(v, tuple) else type(v) for v in back[name]] == [
                tuple(map(type, v)) if isinstance(v, tuple) else type(v) for v in df[name]
            ]


# A frame the package did not make: the kinds of its columns come back too.
PLAIN = {"name": ["x", "NA", ""], "n": np.array([1, 2, 3], dtype=np.int32), "flag": [True, False, True]}
PLAIN["mixed"] = [1, "1", None]
TEXT = st.one_of(st.sampled_from(HOSTILE), st.text(max_size=6))
INTS = st.integers(-(10**12), 10**12)
LABELS = {"text": TEXT, "ints": INTS, "mixed": st.one_of(TEXT, INTS)}  # mixed: 7 and "7" side by side


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), kind=st.sampled_from(sorted(LABELS)))
def test_every_table_in_every_format_reads_back_equal(tmp_path, data, kind):
    pool = data.draw(st.lists(LABELS[kind], min_size=2, max_size=8, unique=True))
    baskets = data.draw(st.lists(st.lists(st.sampled_from(pool), max_size=4, unique=True), min_size=1, max_size=8))
    frames = tables(baskets, mlxtend=True) | {"plain": pd.DataFrame(PLAIN)}
    container = data.draw(st.sampled_from([tuple, list, frozenset]))  # sets of another kind read back as such
    sets = frames["itemsets"]
    sets["itemset"] = pd.Series([container(s) for s in sets["itemset"]], dtype=object, index=sets.index)
    for kind, df in frames.items():
        for ext in FORMATS:
            path = tmp_path / f"{kind}.{ext}"
            tio.write_table(df, path)
            assert_same(tio.read_table(path), df)
    # FIMI lines where they apply: itemsets whose labels are of one kind and hold no blank nor parenthesis
    sets = tables(baskets)["itemsets"]
    used = {x for b in baskets for x in b}
    if len({type(x) for x in used}) <= 1 and all(
        str(x) and not any(c.isspace() or c in "()\0" for c in str(x)) and "<-" not in str(x) for x in used
    ):
        tio.write_table(sets, tmp_path / "sets.dat")
        assert_same(tio.read_table(tmp_path / "sets.dat"), sets)


@pytest.mark.parametrize("ext, delimiter", [("csv", ","), ("tsv", "\t")])
def test_csv_and_tsv_are_plain_for_any_reader(tmp_path, ext, delimiter):
    df = tables([["Milk, 2%", 'say "hi"', 7], ["Milk, 2%", "two\nlines"], [7, "ü😀", "tab\there"]])["rules"]
    assert tio.guess_output_format(f"r.{ext}") == ext
    tio.write_table(df, tmp_path / f"r.{ext}")
    with open(tmp_path / f"r.{ext}", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, delimiter=delimiter))
    assert rows[0] == list(df.columns) and len(rows) == len(df) + 1
    for row, (a, c) in zip(rows[1:], zip(df["antecedent"], df["consequent"], strict=True), strict=True):
        assert tuple(json.loads(row[0])) == a and tuple(json.loads(row[1])) == c  # sets: JSON arrays in one cell
    assert float(rows[1][list(df.columns).index("conviction")]) == df["conviction"].iloc[0]
    meta = json.loads((tmp_path / f"r.{ext}-metadata.json").read_text())
    assert meta["attrs"] == df.attrs and meta["rows"] == len(df)


def test_fimi_lines_for_the_classic_tools(tmp_path):
    t = tables([[1, 2, 3], [1, 2], [2, 3], [10, 2]])
    tio.write_table(t["itemsets"], tmp_path / "s.dat")
    lines = (tmp_path / "s.dat").read_text().splitlines()
    assert lines == [
        f"{' '.join(map(str, s))} ({c})" for s, c in zip(t["itemsets"]["itemset"], t["itemsets"]["count"], strict=True)
    ]
    tio.write_table(t["rules"].head(3), tmp_path / "r.fimi")
    rules = t["rules"].head(3)
    assert (tmp_path / "r.fimi").read_text().splitlines() == [
        f"{' '.join(map(str, c))} <- {' '.join(map(str, a))} ({s:.6g}, {q:.6g})"
        for a, c, s, q in zip(
            rules["antecedent"], rules["consequent"], rules["support"], rules["confidence"], strict=True
        )
    ]
    (tmp_path / "bad.dat").write_text("old\n")
    for label in ["whole milk", "nul\0byte"]:  # the reader would split the one, refuse the other
        bad = tables([[label, "bread"], ["bread"]])["itemsets"]
        with pytest.raises(ValueError, match=re.escape(f"{label!r} cannot be written as a FIMI name")):
            tio.write_table(bad, tmp_path / "bad.dat")
        assert (tmp_path / "bad.dat").read_text() == "old\n"  # the failed write left the old file whole
    with pytest.raises(ValueError, match="mix kinds"):  # 7 and "7" would both be written 7
        tio.write_table(tables([[7, "7"], [7]])["itemsets"], tmp_path / "bad.dat")
    assert sorted(os.listdir(tmp_path)) == ["bad.dat", "r.fimi", "r.fimi-metadata.json", "s.dat", "s.dat-metadata.json"]


def python_rendering(df: pd.DataFrame, measures: list[str]) -> list[str]:
    """The aligned table rendered with plain Python, the formatter's oracle."""

    def label(x):
        s = str(x)
        quote = s == "" or s != s.strip() or "=>" in s or any(c in ',{}"\\' or ord(c) < 32 or c == "\x7f" for c in s)
        return json.dumps(s, ensure_ascii=False) if quote else s

    rules = "antecedent" in df.columns
    sets = (
        [
            ["{" + ", ".join(map(label, a)) + "}", "{" + ", ".join(map(label, c)) + "}"]
            for a, c in zip(df["antecedent"], df["consequent"], strict=True)
        ]
        if rules
        else [["{" + ", ".join(map(label, s)) + "}"] for s in df["itemset"]]
    )
    nums = [[f"{v:.6g}" if isinstance(v, float) else str(v) for v in df[m].tolist()] for m in measures]
    index = [f"[{k + 1}]" for k in range(len(df))]
    w_index = max(map(len, index))
    w_sets = [max([len(h)] + [len(r[j]) for r in sets]) for j, h in enumerate(["lhs", "rhs"] if rules else ["items"])]
    w_nums = [max([len(m)] + [len(v) for v in col]) for m, col in zip(measures, nums, strict=True)]
    out = []
    for k in range(len(df)):
        parts = [index[k].ljust(w_index), " ", sets[k][0].ljust(w_sets[0])]
        if rules:
            parts += [" =>", " ", sets[k][1].ljust(w_sets[1])]
        for j, col in enumerate(nums):
            parts += ["  " if j == 0 else " ", col[k].rjust(w_nums[j])]
        out.append("".join(parts).rstrip())
    return out


@pytest.mark.parametrize(
    "kind, measures",
    [("rules", None), ("rules", ["lift", "conviction", "count"]), ("itemsets", None), ("pairs", ["support"])],
)
def test_the_text_for_people_matches_a_plain_python_rendering(kind, measures):
    # the longest label is not ASCII: widths and padding count characters, not bytes
    baskets = [["Milk, 2%", "bread", 7], ["Milk, 2%", "two\nlines", 7], ["bread", " padded "], [7, "ü😀 crème brûlée"]]
    df = tables(baskets)[kind]
    if kind == "pairs":
        df = df.rename(columns={"item_a": "antecedent", "item_b": "consequent"})
        df["antecedent"] = [(x,) for x in df["antecedent"]]
        df["consequent"] = [(x,) for x in df["consequent"]]
    shown = measures or (["support", "confidence", "lift"] if kind != "itemsets" else ["support", "count"])
    text = tio.format_table(df, n=None, measures=measures)
    lines = text.splitlines()
    assert lines[1:] == python_rendering(df, shown)
    assert lines[0].split() == (["lhs", "rhs"] if kind != "itemsets" else ["items"]) + shown
    short = tio.format_table(df, n=2, measures=measures).splitlines()
    assert len(short) == 4 and short[-1] == f"[... {len(df) - 2} more {'itemsets' if kind == 'itemsets' else 'rules'}]"


def test_text_is_the_default_on_standard_output(capsys):
    df = tables([["a", "b"], ["a"]])["itemsets"]
    tio.write_table(df)
    assert capsys.readouterr().out == tio.format_table(df, n=None)


@pytest.mark.parametrize("ext", ["csv", "jsonl", "dat", "txt"] + (["parquet"] if HAVE_ARROW else []))
def test_progress_counts_every_row_block_by_block(tmp_path, monkeypatch, ext):
    monkeypatch.setattr(_text, "ROWS_PER_BLOCK", 7)
    import tallisk.io._write as w

    monkeypatch.setattr(w, "ROWS_PER_BLOCK", 7)
    df = tables([[1, 2, 3, 4], [1, 2, 3], [2, 3, 4], [1, 4]])["itemsets"]
    steps = []
    tio.write_table(df, tmp_path / f"s.{ext}", progress=steps.append)
    assert sum(steps) == len(df) and max(steps) <= 7 and len(steps) == -(-len(df) // 7)
    if ext != "txt":
        assert_same(tio.read_table(tmp_path / f"s.{ext}"), df)


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((5, "x.csv"), {}, "'df' parameter of write_table must be a pandas DataFrame"),
        (("rules", "x.csv"), {}, "'df' parameter"),
        ((None, "x.csv"), {}, "'df' parameter"),
        ((pd.DataFrame({"a": [1]}), "x.csv"), {"format": "xlsx"}, "'format' parameter"),
        ((pd.DataFrame({"a": [1]}), 3.5), {}, "'path' parameter"),
        ((pd.DataFrame({"a": [1]}), "x.csv"), {"progress": 1}, "'progress' parameter"),
        ((pd.DataFrame([[1, 2]], columns=["a", "a"]), "x.csv"), {}, "distinct column names"),
    ],
)
def test_bad_arguments_are_parameter_errors(tmp_path, args, kwargs, error):
    os.chdir(tmp_path)
    with pytest.raises(InvalidParameterError, match=error):
        tio.write_table(*args, **kwargs)
    assert os.listdir(tmp_path) == []


def test_read_table_refuses_what_it_cannot_read(tmp_path):
    df = tables([["a", "b"]])["rules"]
    tio.write_table(df, tmp_path / "r.txt")  # the text for people
    with pytest.raises(tio.ReadError, match="pass format=") as info:
        tio.read_table(tmp_path / "r.txt")
    assert info.value.parameter == "format"
    tio.write_table(df, tmp_path / "r.dat")
    with pytest.raises(tio.ReadError, match="FIMI rule lines"):
        tio.read_table(tmp_path / "r.dat")
    with pytest.raises(FileNotFoundError):
        tio.read_table(tmp_path / "missing.csv")
    with pytest.raises(IsADirectoryError):
        tio.read_table(tmp_path, format="csv")


def test_a_stale_description_is_ignored_with_a_warning(tmp_path):
    df = tables([["a", "b"], ["a"]])["itemsets"]
    tio.write_table(df, tmp_path / "s.csv")
    with gzip.open(tmp_path / "t.csv.gz", "wt") as f:  # another file, the old description beside it
        f.write((tmp_path / "s.csv").read_text().rsplit("\n", 2)[0] + "\n")
    os.replace(tmp_path / "s.csv-metadata.json", tmp_path / "t.csv.gz-metadata.json")
    with pytest.warns(UserWarning, match="ignored"):
        back = tio.read_table(tmp_path / "t.csv.gz")
    assert back.attrs == {} and len(back) == len(df) - 1


# ---- restore_tuples --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cells, expect",
    [
        (['["Milk, 2%","bread"]', "[1,2]", "[]"], [("Milk, 2%", "bread"), (1, 2), ()]),  # what write_table writes
        (["('a', 'b')", "(1,)", "('x',)"], [("a", "b"), (1,), ("x",)]),  # df.to_csv of tuples
        (["('x,y', '')", "('café', \"it's\")", "(-4, 1099511627776)"], [("x,y", ""), ("café", "it's"), (-4, 2**40)]),
        (["{a,b}", "{12,3}", "{007}"], [("a", "b"), (12, 3), ("007",)]),  # earlier CSV writer
        ([np.array(["a", "b"], dtype=object), ["c"], ("d",)], [("a", "b"), ("c",), ("d",)]),  # Parquet, JSON
    ],
)
def test_restore_tuples_reads_old_and_new_forms(cells, expect):
    df = pd.DataFrame({"itemset": pd.Series(cells, dtype=object), "count": range(len(cells))})
    out = tio.restore_tuples(df)
    assert out["itemset"].tolist() == expect and df["itemset"].tolist()[0] is cells[0]  # the input is untouched


DEEP_LIST = functools.reduce(lambda cell, _: [cell], range(100_000), [])  # [[[...]]], 100000 deep


@pytest.mark.parametrize("cell", ["[" * 100_000 + "]" * 100_000, "(" * 100_000 + ")" * 100_000, "{a,b", DEEP_LIST])
def test_restore_tuples_refuses_deep_or_broken_cells_with_a_value_error(cell):
    df = pd.DataFrame({"itemset": [cell]})
    with pytest.raises(ValueError) as info:
        tio.restore_tuples(df)
    assert not isinstance(info.value, RecursionError)
