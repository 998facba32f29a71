"""Reading transaction files: every layout against the baskets that were written, the
layout decision, and one clear error (naming file, line and the parameter to change)
for every input that cannot be read as asked."""

from __future__ import annotations

import csv
import gzip
import io as pyio
import random
import re
import sys

import numpy as np
import pandas as pd
import pytest
from helpers import long_frame
from tallisk import InvalidParameterError, Transactions
from tallisk import io as tio
from tallisk.io import _source


def baskets_of(codes: tio.Codes) -> list[set]:
    """Transactions as sets of labels, in transaction order (the readers' own codes)."""
    out = [set() for _ in range(codes.n_transactions)]
    items = codes.items.tolist()
    for t, i in zip(codes.txn_codes.tolist(), codes.item_codes.tolist(), strict=True):
        out[t].add(items[i])
    return out


# Names of every kind the tokenizer meets: digits (that are and are not canonical
# integers), blanks inside names, non-ASCII, names longer than a small block.
NAMES = [str(k) for k in range(40)] + ["007", "-3", "+4", "1e3", "été", "Ω", "milk", "whole milk", "crème fraîche"]
NAMES += ["x" * 63, "organic free-range eggs, dozen " * 3]
CANONICAL_INT = re.compile(r"0|-?[1-9][0-9]*")


def random_baskets(seed: int, n: int = 300, names=NAMES) -> list[list[str]]:
    rng = random.Random(seed)
    return [rng.sample(names, k=min(len(names), rng.choice([0, 1, 2, 3, 5, 8]))) for _ in range(n)]


def is_int(name: str) -> bool:
    """The reader's label rule for one name: an int64 written canonically."""
    return bool(CANONICAL_INT.fullmatch(name)) and -(2**63) <= int(name) < 2**63


def as_read(baskets) -> list[set]:
    """Baskets as the reader labels them: integers when every name is one, else text."""
    names = {x for b in baskets for x in b}
    ints = bool(names) and all(map(is_int, names))
    return [{int(x) if ints else x for x in b} for b in baskets]


def write_lines(path, baskets, sep: str, ends=("\n",), seed: int = 0, bom: bool = False) -> bytes:
    rng = random.Random(seed)
    text = ""
    for b in baskets:
        end = rng.choice(ends)
        if text.endswith("\r") and not b:  # "\r" then "\n" would be one line end
            end = "\r"
        text += sep.join(b) + end
    data = (b"\xef\xbb\xbf" if bom else b"") + text.encode("utf-8")
    path.write_bytes(gzip.compress(data, mtime=0) if str(path).endswith(".gz") else data)
    return data


# ---- every layout against its baskets ----------------------------------------------------


@pytest.mark.parametrize("gz", [False, True])
@pytest.mark.parametrize("block", [None, 13])
@pytest.mark.parametrize("ends", [("\n",), ("\r\n",), ("\r",), ("\n", "\r\n", "\r")], ids=["lf", "crlf", "cr", "mix"])
def test_basket_lines_come_back_as_written(tmp_path, monkeypatch, ends, block, gz):
    if block:
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)  # names and line ends cut across blocks
    baskets = random_baskets(len(ends) + (block or 0))
    path = tmp_path / ("b.basket.gz" if gz else "b.basket")
    data = write_lines(path, baskets, ";", ends, bom=not gz)
    codes = tio.read_codes(path, sep=";")
    assert codes.n_transactions == len(baskets) and baskets_of(codes) == as_read(baskets)
    assert codes.items.tolist() == sorted(set().union(*as_read(baskets)))
    if gz:  # gzip is told by its content: under a plain name, and on standard input
        (tmp_path / "plain.basket").write_bytes(path.read_bytes())
        assert baskets_of(tio.read_codes(tmp_path / "plain.basket", sep=";")) == as_read(baskets)
        monkeypatch.setattr(sys, "stdin", type("Stdin", (), {"buffer": pyio.BytesIO(gzip.compress(data))}))
        assert baskets_of(tio.read_codes("-", "basket", sep=";")) == as_read(baskets)


@pytest.mark.parametrize("block", [None, 5])
def test_fimi_blanks_empty_lines_and_integer_labels(tmp_path, monkeypatch, block):
    if block:
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)
    rng = random.Random(3)
    baskets = [[str(rng.randrange(100)) for _ in range(rng.randrange(0, 7))] for _ in range(400)]
    text = "".join(rng.choice([" ", "\t", "  "]).join(b) + rng.choice(["", " ", " \t"]) + "\n" for b in baskets)
    path = tmp_path / "x.dat"
    path.write_text(text[:-1])  # no line end after the last line
    tr = tio.read_transactions(path)
    assert tr.n_transactions == len(baskets)
    # integers, sorted numerically (40 after 7), as from_baskets would label them
    expect = Transactions.from_baskets([[int(x) for x in b] for b in baskets])
    assert tr.items.tolist() == expect.items.tolist() and tr.items.dtype == np.int64
    assert np.array_equal(tr.item_ids, expect.item_ids) and np.array_equal(tr.txn_ids, expect.txn_ids)


@pytest.mark.parametrize(
    "tokens",
    [
        ["7", "007", "07", "0", "00", "12345678"],  # leading zeros: text, and kept apart
        ["1", "2", "-3", "+4", "5"],  # a sign other than '-' makes text
        ["1", "99999999", "12", "1e3"],  # a name that is not a number
        ["3", "1", "2", "10", "-1", "9223372036854775807"],  # all integers: numbers
        ["1", "9223372036854775808"],  # beyond int64: text
        ["1", "-0"],  # a sign on zero: text
        ["-9223372036854775808", "0", "5"],  # the least int64: numbers
    ],
)
def test_integer_labels_exactly_when_every_name_comes_back_as_written(tmp_path, tokens):
    rng = random.Random(len(tokens))
    baskets = [rng.sample(tokens, rng.randint(1, len(tokens))) for _ in range(50)]
    path = tmp_path / "n.dat"
    write_lines(path, baskets, " ")
    codes = tio.read_codes(path)
    assert baskets_of(codes) == as_read(baskets)
    assert codes.items.tolist() == sorted(set().union(*as_read(baskets)))


HOSTILE = ["Milk, 2%", 'say "hi"', "two\nlines", "cr\r\nlf", "{x,y}", "tab\there", "ü😀", "007", " padded "]


@pytest.mark.parametrize("block", [None, 7])
@pytest.mark.parametrize("kind", ["csv", "csv.gz", "tsv", "parquet", "csv without pyarrow", "crlf", "cr", "bom"])
def test_long_tables_come_back_as_written(tmp_path, monkeypatch, kind, block):
    if kind == "parquet":
        pytest.importorskip("pyarrow")
    if block:  # quotes, fields and line ends cut across blocks; the layout, told from a block, is given
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)
    baskets = [b for b in random_baskets(2, names=NAMES + HOSTILE) if b]
    df = long_frame(baskets)
    df.insert(0, "note", [HOSTILE[k % len(HOSTILE)] for k in range(len(df))])  # a field before the two read
    path = tmp_path / f"long.{kind.split()[0] if kind in ('csv', 'csv.gz', 'tsv', 'parquet') else 'csv'}"
    if kind == "parquet":
        df.to_parquet(path)
    else:
        end = {"crlf": "\r\n", "cr": "\r"}.get(kind, "\n")  # between records; quoted line ends stay
        # Python's csv quotes a field only for the line end it writes: quote all, so "\n" is quoted under "\r" too
        quoting = csv.QUOTE_ALL if kind in ("crlf", "cr") else csv.QUOTE_MINIMAL
        text = df.to_csv(index=False, sep="\t" if kind == "tsv" else ",", lineterminator=end, quoting=quoting)
        data = (b"\xef\xbb\xbf" if kind == "bom" else b"") + text.encode()
        path.write_bytes(gzip.compress(data) if kind == "csv.gz" else data)
    if kind == "csv without pyarrow":  # CSV is read natively: pyarrow is not needed
        for name in ["pyarrow", *(m for m in sys.modules if m.startswith("pyarrow."))]:
            monkeypatch.setitem(sys.modules, name, None)
    codes = tio.read_codes(path, "long" if block else None, transaction_col="order", item_col="product")
    assert baskets_of(codes) == [set(b) for b in baskets]


def test_names_read_exactly_unless_strip(tmp_path):
    path = tmp_path / "b.basket"
    path.write_bytes(b" milk ,bread,, bread\t,milk\n\n,\n")
    assert baskets_of(tio.read_codes(path)) == [{" milk ", "bread", " bread\t", "milk"}, set(), set()]
    assert baskets_of(tio.read_codes(path, strip=True)) == [{"milk", "bread"}, set(), set()]
    csv = tmp_path / "l.csv"
    csv.write_text("order,item\n1, milk \n1,milk\n2,\n")
    assert baskets_of(tio.read_codes(csv)) == [{" milk ", "milk"}, set()]
    assert baskets_of(tio.read_codes(csv, strip=True)) == [{"milk"}, set()]


@pytest.mark.parametrize(
    "encoding, names",
    [
        ("latin-1", ["été", "zèbre", "ñu", "apple", "Ärger"]),
        ("cp1252", ["Œuvre", "Zoo", "Šk", "apple", "€uro"]),  # byte order is not text order here: sorted again
    ],
)
def test_other_encodings_decode_and_sort_as_text(tmp_path, encoding, names):
    baskets = [names[:3], names[2:], names[::2]]
    path = tmp_path / "b.basket"
    path.write_bytes("\n".join(",".join(b) for b in baskets).encode(encoding))
    codes = tio.read_codes(path, encoding=encoding)
    assert baskets_of(codes) == [set(b) for b in baskets] and codes.items.tolist() == sorted(names)


# ---- which layout ----------------------------------------------------------------------------


GROCERIES = "".join(
    f"{a},{b},{c}\n"
    for a, b, c in [
        ("citrus fruit", "margarine", "ready soups"),
        ("tropical fruit", "yogurt", "coffee"),
        ("whole milk", "citrus fruit", "yogurt"),
        ("yogurt", "cream cheese", "margarine"),
    ]
)


@pytest.mark.parametrize(
    "name, content, layout",
    [
        # baskets with the same number of items a line: the first line's items recur below
        ("groceries.csv", GROCERIES, "basket"),
        ("orders.csv", "order_id,product\n1,milk\n1,bread\n2,milk\n", "long"),  # the header names its columns
        ("t.csv", "t,i\n1,a\n1,b\n2,a\n", "long"),  # a transaction repeats
        ("t.tsv", "t\ti\n1\ta\n1\tb\n", "long"),
        ("ragged.csv", "a,b,c\nb,d\nc\n", "basket"),
        ("x.txt", "1 2 3\n4 5\n", "fimi"),  # no comma: FIMI lines
        ("-", "order,product\n1,milk\n1,eggs\n", "long"),  # standard input decides too
        ("short.csv", "milk,bread\neggs,butter\n", None),  # cannot tell
        ("conflict.csv", "t,i\n1,a\n2,b,c\n", None),
        ("commas.dat", "1,2,3\n4,5\n", None),  # FIMI by name, not by content
        ("twice.csv", "order_id,order_id\n1,a\n2,b\n", None),  # a header naming a column twice
    ],
)
def test_the_layout_comes_from_the_header_or_an_error_asks_for_it(tmp_path, monkeypatch, name, content, layout):
    path = tmp_path / name if name != "-" else "-"
    if name == "-":
        monkeypatch.setattr(sys, "stdin", type("Stdin", (), {"buffer": pyio.BytesIO(content.encode())}))
    else:
        path.write_text(content)
    if layout is None:
        with pytest.raises(tio.ReadError, match=r"pass format='long' .* or format='basket'") as info:
            tio.read_codes(path)
        assert info.value.parameter == "format" and "--" not in str(info.value)
        return
    guessed = tio.read_codes(path)
    if name == "-":
        monkeypatch.setattr(sys, "stdin", type("Stdin", (), {"buffer": pyio.BytesIO(content.encode())}))
    sep = "\t" if name.endswith(".tsv") else None
    told = tio.read_codes(path, layout, sep=sep)
    assert baskets_of(guessed) == baskets_of(told) and guessed.items.tolist() == told.items.tolist()


# ---- one clear error for each bad input ------------------------------------------------------


ERRORS = [
    # (name, content, kwargs, message, line)
    ("in.dat", b"1 2\n3 4\n5\x006\n", {}, "line 3: NUL byte", 3),
    ("in.dat", b"a b\rc \xff\xfe d\n", {}, "line 2: an item name is not valid UTF-8", 2),
    ("in.dat", b"a\r\rb \xff\xfe\n", {}, "line 3: an item name is not valid UTF-8", 3),  # "\r\r" is two line ends
    ("in.dat", b"1\na\xed\xa0\x80z\n", {}, "line 2: an item name is not valid UTF-8", 2),  # a surrogate
    ("in.dat", b"1\na\xc0\xaf\n", {}, "line 2: an item name is not valid UTF-8", 2),  # an overlong form
    ("in.csv", b'order,product\n1,"a\r\nb"\n2,\xff\n', {}, "line 4: an item name is not valid UTF-8", 4),
    ("in.csv", b"order,product\n1,a\r2,\x00\n", {}, "line 3: NUL byte", 3),
    ("in.csv", b"order,product\n1,a\n\r\n,b\n", {}, "line 4: the transaction is missing", 4),
    ("in.csv", b'order,product\n1,a\n2,"b\n3,c\n', {}, "line 3: a quoted field opens here and is never closed", 3),
    ("in.csv", b'order,product\n1,"a"b\n', {}, "line 2: text after a closing quote", 2),
    ("in.csv", b"t,i\n1,a\n2,b,c\n", {"format": "long"}, "line 3: expected 2 fields, saw 3", 3),
    ("in.csv", b"order,product\n1,a\n,b\n", {}, "line 3: the transaction is missing", 3),
    ("in.csv", b"order,product,order\n1,a,2\n", {"format": "long"}, "the column name 'order' appears more", None),
    ("in.csv", b"order,product\n1,a\n", {"item_col": "sku"}, r"no column 'sku' \(item_col\)", None),
    ("in.csv", b"", {"format": "long"}, "empty input", None),
    ("in.csv", b"\xff\xfeo\x00r\x00", {}, "UTF-16", None),
]


@pytest.mark.parametrize("block", [None, 1, 5])  # the line must not depend on where blocks end
@pytest.mark.parametrize("name, content, kwargs, message, line", ERRORS)
def test_bad_content_is_one_read_error_naming_file_and_line(
    tmp_path, monkeypatch, name, content, kwargs, message, line, block
):
    if block:  # the layout is told from the first block: told here instead
        monkeypatch.setattr(_source, "BLOCK_SIZE", block)
        kwargs = {"format": "long", **kwargs} if name.endswith(".csv") else kwargs
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(tio.ReadError, match=message) as info:
        tio.read_codes(path, **kwargs)
    err = info.value
    assert str(err).startswith(str(path)) and "\n" not in str(err) and "--" not in str(err)
    assert err.line == line and err.source == str(path)


@pytest.mark.parametrize(
    "column, values, what",
    [
        ("product", ["a", None, "b"], "the item is missing"),
        ("product", [1.0, float("nan"), 2.0], "the item is missing"),
        ("order", [1.0, float("nan"), 1.0], "the transaction is missing"),
    ],
)
def test_parquet_refuses_missing_labels_as_from_long_does(tmp_path, column, values, what):
    pytest.importorskip("pyarrow")
    df = pd.DataFrame({"order": [1, 1, 2], "product": ["a", "b", "c"]})
    df[column] = values
    path = tmp_path / "t.parquet"
    df.to_parquet(path)
    with pytest.raises(tio.ReadError, match=f"row 2: {what}"):
        tio.read_codes(path)
    with pytest.raises(ValueError):  # the in-memory constructor refuses the same table
        Transactions.from_long(df, transaction="order", item="product")


def test_parquet_with_duplicated_column_names_is_refused(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    table = pa.Table.from_arrays(
        [pa.array([1, 2]), pa.array(["a", "b"]), pa.array(["c", "d"])], names=["order", "item", "item"]
    )
    pq.write_table(table, tmp_path / "d.parquet")
    with pytest.raises(tio.ReadError, match="'item' appears more than once"):
        tio.read_codes(tmp_path / "d.parquet", item_col="item")


# Each parameter's own range is walked in test_declarations; an encoding's fitness needs its codec.
@pytest.mark.parametrize("name", ["in.dat", "in.csv"])
def test_an_encoding_that_is_not_ascii_compatible_is_refused_before_reading(tmp_path, name):
    path = tmp_path / name
    path.write_text("order,product\n1,a\n" if name.endswith(".csv") else "1 2\n")
    with pytest.raises(InvalidParameterError, match="ASCII-compatible") as info:
        tio.read_transactions(path, encoding="utf-16")
    assert "read_transactions" in str(info.value) and info.value.param == "encoding"


def test_missing_files_and_directories_raise_the_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        tio.read_transactions(tmp_path / "missing.dat")
    with pytest.raises(IsADirectoryError):
        tio.read_transactions(tmp_path)


# ---- memory stays bounded ------------------------------------------------------------------


def test_a_line_that_never_ends_is_refused_within_a_block(tmp_path, monkeypatch):
    monkeypatch.setattr(_source, "BLOCK_SIZE", 1 << 12)
    monkeypatch.setattr(_source, "MAX_NAME", 1 << 14)
    path = tmp_path / "endless.basket"
    path.write_bytes(b"x" * (1 << 20))  # one name of 1 MiB, 64 times the longest allowed
    reads = []
    real = _source.Source.read
    monkeypatch.setattr(_source.Source, "read", lambda self, n: reads.append(n) or real(self, n))
    with pytest.raises(tio.ReadError, match="line 1: a name or field longer than"):
        tio.read_codes(path)
    assert sum(reads) <= (1 << 14) + 3 * (1 << 12)  # refused after the limit, not at the end of the file
    with pytest.raises(tio.ReadError, match="line 1: NUL byte"):
        tio.read_codes("/dev/zero")  # never ends; refused in its first block
