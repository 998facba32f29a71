"""Readers and writers of tallisk.io against a plain-Python model of each format."""

from __future__ import annotations

import gzip
import io as pyio
import json
import math
import os
import random
import sys

import numpy as np
import pandas as pd
import pytest
from helpers import long_frame
from tallisk import io as tio
from tallisk.io import _lines, _source


def baskets_of(codes: tio.Codes) -> list[set]:
    """Transactions as sets of labels, in transaction order (the readers' own codes)."""
    out = [set() for _ in range(codes.n_transactions)]
    for t, i in zip(codes.txn_codes.tolist(), codes.item_codes.tolist(), strict=True):
        out[t].add(codes.items[i])
    return out


def random_baskets(seed: int, n: int = 300) -> list[list[str]]:
    """Names of each length class the tokeniser treats apart (<= 8 bytes, <= 64, longer), spaces, non-ASCII."""
    rng = random.Random(seed)
    short = [str(k) for k in range(40)] + ["été", "Ω", "milk"]
    medium = ["whole milk", "peanut butter", "crème fraîche", "tomato sauce 500 g", "x" * 63, "y" * 9]
    long = ["organic free-range large brown eggs, dozen " * 2, "z" * 200]
    vocab = short + medium + long
    return [rng.sample(vocab, k=min(len(vocab), rng.choice([0, 1, 2, 3, 5, 8]))) for _ in range(n)]


def write_lines(path, baskets, sep: str, newline: str = "\n") -> None:
    data = "".join(sep.join(b) + newline for b in baskets).encode("utf-8")
    path.write_bytes(gzip.compress(data, mtime=0) if str(path).endswith(".gz") else data)


# ---- round trips ------------------------------------------------------------------------


@pytest.mark.parametrize("gz", [False, True])
@pytest.mark.parametrize("block", [None, 13])
@pytest.mark.parametrize("seed", [0, 1])
def test_basket_round_trip_matches_model(tmp_path, monkeypatch, seed, block, gz):
    if block:
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)  # lines cut across many blocks
    baskets = random_baskets(seed)
    path = tmp_path / ("b.basket.gz" if gz else "b.basket")
    write_lines(path, baskets, ";", newline="\r\n" if seed else "\n")
    codes = tio.read_codes(path, sep=";")
    expect = [set(b) for b in baskets]
    assert codes.n_transactions == len(baskets) and baskets_of(codes) == expect
    assert list(codes.items) == sorted(codes.items)
    if gz:  # gzip is told by its content: under a plain name, and on stdin
        (tmp_path / "b.basket").write_bytes(path.read_bytes())
        assert baskets_of(tio.read_codes(tmp_path / "b.basket", sep=";")) == expect
        monkeypatch.setattr(sys, "stdin", type("FakeStdin", (), {"buffer": pyio.BytesIO(path.read_bytes())}))
        assert baskets_of(tio.read_codes("-", "basket", sep=";")) == expect


@pytest.mark.parametrize("block", [None, 5])
def test_fimi_blanks_and_empty_lines(tmp_path, monkeypatch, block):
    if block:
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)
    rng = random.Random(3)
    baskets = [[str(rng.randrange(100)) for _ in range(rng.randrange(0, 7))] for _ in range(400)]
    text = "".join(rng.choice([" ", "\t", "  "]).join(b) + rng.choice(["", " ", " \t"]) + "\n" for b in baskets)
    path = tmp_path / "x.dat"
    path.write_text(text[:-1])  # no line end after the last line
    codes = tio.read_codes(path)
    assert codes.n_transactions == len(baskets)
    assert baskets_of(codes) == [set(b) for b in baskets]


@pytest.mark.parametrize("kind", ["csv", "csv.gz", "tsv", "parquet", "csv without pyarrow"])
def test_long_round_trip(tmp_path, monkeypatch, kind):
    if kind == "parquet":
        pytest.importorskip("pyarrow")
    baskets = [b for b in random_baskets(2) if b]
    df = long_frame(baskets)
    path = tmp_path / f"long.{kind.split()[0]}"
    if kind == "parquet":
        df.to_parquet(path)
    else:
        df.to_csv(path, index=False, sep="\t" if kind == "tsv" else ",")
    if kind == "csv without pyarrow":  # the pandas path must read what the Arrow path reads
        for name in ["pyarrow", *(m for m in sys.modules if m.startswith("pyarrow."))]:
            monkeypatch.setitem(sys.modules, name, None)  # as if not installed
    cols = {} if "without" in kind else dict(transaction_col="order", item_col="product")  # both paths, both ways
    codes = tio.read_codes(path, **cols)
    assert baskets_of(codes) == [set(b) for b in baskets]


def test_names_read_exactly_unless_strip(tmp_path):
    path = tmp_path / "b.basket"
    path.write_bytes(b" milk ,bread,, bread\t,milk\n\n,\n")
    exact = tio.read_codes(path)
    assert baskets_of(exact) == [{" milk ", "bread", " bread\t", "milk"}, set(), set()]
    stripped = tio.read_codes(path, strip=True)
    assert baskets_of(stripped) == [{"milk", "bread"}, set(), set()]
    csv = tmp_path / "l.csv"
    csv.write_text("t,i\n1, milk \n1,milk\n2,\n")
    assert baskets_of(tio.read_codes(csv)) == [{" milk ", "milk"}, set()]
    assert baskets_of(tio.read_codes(csv, strip=True)) == [{"milk"}, set()]


def test_hash_collisions_fall_back_to_exact_names(tmp_path, monkeypatch):
    """A degenerate hash makes every name of 9 to 64 bytes collide: names must still come out exact."""
    monkeypatch.setattr(_lines, "_MIX", np.uint64(0))
    monkeypatch.setattr(_lines, "_MIX2", np.uint64(0))
    baskets = [["whole milk", "tomato sauce"], ["tomato sauce", "peanut butter"], ["whole milk"]]
    path = tmp_path / "h.basket"
    write_lines(path, baskets, ",")
    assert baskets_of(tio.read_codes(path)) == [set(b) for b in baskets]


# ---- errors -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, kwargs, message",
    [
        (b"1 2\n3 4\n5\x006\n", {}, "line 3: NUL byte"),
        (b"a b\nc \xff\xfe d\n", {}, "line 2: item name"),
        (b"order,product\n1,a\n", {"item_col": "item"}, "no item column 'item'; the columns are: order, product"),
        (b"only\n1\n", {"format": "long"}, "found 1 column"),
        (b"t,i\n1,a\n2,b,c\n", {}, "line 3: expected 2 fields, saw 3"),
        (b"", {"format": "long"}, "empty input"),
        (None, {}, "cannot open .*No such file"),
    ],
)
def test_read_errors_name_the_place(tmp_path, content, kwargs, message):
    path = tmp_path / ("in.csv" if b"," in (content or b"") or kwargs.get("format") == "long" else "in.dat")
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(tio.ReadError, match=message) as info:
        tio.read_codes(path, **kwargs)
    assert "\n" not in str(info.value)


# ---- writers ----------------------------------------------------------------------------


def itemsets_table() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "itemset": [("bread",), ("bread", "whole milk"), ("a b", "c")],
            "length": [1, 2, 2],
            "count": np.array([10, 4, 2], np.int64),
            "support": [0.5, 0.2, 0.1],
        }
    )


def rules_table() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "antecedents": [("bread",), ("a", "b")],
            "consequents": [("whole milk",), ("c",)],
            "support": [0.2, 0.1],
            "confidence": [0.4, 1.0],
            "lift": [1.25, 3.0],
            "conviction": [1.1, math.inf],
        }
    )


@pytest.mark.parametrize("ext", ["csv", "csv.gz", "jsonl", "parquet"])
def test_tables_keep_every_value(tmp_path, ext):
    if ext == "parquet":
        pytest.importorskip("pyarrow")
    df = rules_table()
    out = tmp_path / f"rules.{ext}"
    tio.write_table(df, out)
    if ext.startswith("csv"):
        back = pd.read_csv(out, keep_default_na=False)
        assert back["antecedents"].tolist() == ["{bread}", "{a,b}"]
    elif ext == "jsonl":
        records = [json.loads(line) for line in out.read_text().splitlines()]
        back = pd.DataFrame(records)
        assert records[1]["conviction"] == "inf"
        assert back["antecedents"].tolist() == [list(v) for v in df["antecedents"]]
    else:
        back = pd.read_parquet(out)
        assert [list(v) for v in back["consequents"]] == [list(v) for v in df["consequents"]]
    for col in ("support", "confidence", "lift"):
        np.testing.assert_allclose(back[col].to_numpy(float), df[col].to_numpy(float))


def test_failed_write_leaves_nothing(tmp_path):
    class Bad:
        def __str__(self):
            raise RuntimeError("cannot format")

    df = itemsets_table()
    df.loc[2, "itemset"] = (Bad(),)
    out = tmp_path / "sets.txt"
    out.write_text("old\n")
    with pytest.raises(RuntimeError):
        tio.write_table(df, out)
    assert out.read_text() == "old\n"  # the previous file stays whole
    assert os.listdir(tmp_path) == ["sets.txt"]  # and no temporary file is left


@pytest.mark.parametrize(
    "tokens",
    [
        ["7", "007", "07", "0", "00", "12345678"],  # leading zeros keep names apart
        ["1", "2", "-3", "+4", "5"],  # a sign makes a name text
        ["1", "99999999", "12", "1e3"],  # wide range, and a name that is not a number
        ["3", "1", "2", "10", "1"],  # all plain numbers: the direct table
    ],
)
def test_numeric_names_stay_exact(tmp_path, tokens):
    rng = random.Random(len(tokens))
    baskets = [rng.sample(tokens, rng.randint(1, len(tokens))) for _ in range(50)]
    path = tmp_path / "n.dat"
    write_lines(path, baskets, " ")
    codes = tio.read_codes(path)
    assert baskets_of(codes) == [set(b) for b in baskets]
    assert set(codes.items) == set().union(*baskets)
