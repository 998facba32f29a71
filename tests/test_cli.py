"""The real ``tallisk`` command in a subprocess, against brute-force counts; every failure is one line on stderr."""

from __future__ import annotations

import gzip
import json
import os
import random
import shutil
import subprocess
import sys
from collections import Counter

import pandas as pd
import pytest
from helpers import SANITIZED, brute_rules, itemset_counts, labelled_baskets

pytest.importorskip("tallisk.mining")


def run(*args: str, stdin: bytes | None = None, cwd=None, env_extra=None) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-m", "tallisk", *args], input=stdin, capture_output=True, cwd=cwd, env=env, timeout=300
    )


VOCAB = ["whole milk", "bread", "eggs", "butter", "crème fraîche", "tomato sauce", "spaghetti", "beer", "tea"]


def make_baskets(seed: int = 7, n: int = 120) -> list[list[str]]:
    return [list(dict.fromkeys(b)) for b in labelled_baskets(seed, VOCAB, n, 5, empty=False)]


def brute_itemsets(baskets, min_count: int, max_len: int) -> dict[frozenset, int]:
    return {frozenset(s): c for s, c in itemset_counts(baskets, min_count, max_len).items()}


def write_input(path, baskets, layout: str) -> None:
    """The same baskets in each layout the reader knows (FIMI names must hold no blank)."""
    rows = [(t, x) for t, b in enumerate(baskets) for x in b]
    if layout == "parquet":
        pytest.importorskip("pyarrow")
        return pd.DataFrame(rows, columns=["order", "product"]).to_parquet(path)
    if layout in ("csv", "tsv"):
        sep = "," if layout == "csv" else "\t"
        text = f"order{sep}product\n" + "".join(f"{t}{sep}{x}\n" for t, x in rows)
    else:  # FIMI lines end in a blank here
        text = "".join(" ".join(b) + " \n" if layout == "fimi" else ",".join(b) + "\n" for b in baskets)
    data = text.encode()
    path.write_bytes(gzip.compress(data, mtime=0) if str(path).endswith(".gz") else data)


def read_itemsets(path, n: int) -> dict[frozenset, int]:
    """An itemset output file of any format as {itemset: count}."""
    if path.suffix == ".txt":
        lines = [line.rpartition(" (") for line in path.read_text().splitlines()]
        return {frozenset(items.split(" ")): int(count.rstrip(")")) for items, _, count in lines}
    if path.suffix == ".jsonl":
        recs = [json.loads(line) for line in path.read_text().splitlines()]
        assert all(abs(r["support"] - r["count"] / n) < 1e-12 for r in recs)
        return {frozenset(r["itemset"]): r["count"] for r in recs}
    if path.suffix == ".parquet":
        df = pd.read_parquet(path)
        return {frozenset(s): c for s, c in zip(df["itemset"], df["count"], strict=True)}
    df = pd.read_csv(path)
    return {frozenset(s.strip("{}").split(",")): c for s, c in zip(df["itemset"], df["count"], strict=True)}


LAYOUTS = {"fimi": "in.dat", "basket": "in.basket", "csv": "in.csv", "tsv": "in.tsv", "parquet": "in.parquet"}


@pytest.mark.parametrize(
    "layout, ext", [("fimi", "txt"), ("basket", "csv"), ("csv", "csv.gz"), ("tsv", "jsonl"), ("parquet", "parquet")]
)
def test_every_layout_and_output_format_give_the_brute_force_itemsets(tmp_path, layout, ext):
    baskets = make_baskets()
    if layout == "fimi":  # FIMI separates names by blanks: names without one here
        baskets = [[x.replace(" ", "_") for x in b] for b in baskets]
    expect = brute_itemsets(baskets, min_count=6, max_len=3)
    name = LAYOUTS[layout]
    write_input(tmp_path / name, baskets, layout)
    sources = {"plain": (name, None), "stdin": ("-", (tmp_path / name).read_bytes())}
    if layout != "parquet":
        write_input(tmp_path / (name + ".gz"), baskets, layout)
        sources["gzip"] = (name + ".gz", None)
    fmt = layout if layout in ("fimi", "basket") else "long"
    opts = ["--max-len", "3", "--input-format", fmt, *(["--sep", "\\t"] if layout == "tsv" else [])]
    outputs = {}
    for key, (src, stdin) in sources.items():
        r = run("itemsets", src, "--min-count", "6", *opts, "-q", "--output-format", "jsonl", stdin=stdin, cwd=tmp_path)
        assert r.returncode == 0 and r.stderr == b"", r.stderr.decode()
        outputs[key] = r.stdout
    recs = [json.loads(line) for line in outputs["plain"].decode().splitlines()]
    assert {frozenset(x["itemset"]): x["count"] for x in recs} == expect
    assert all(v == outputs["plain"] for v in outputs.values())
    # the format follows the output name; 5% of the 120 baskets is the same threshold
    r = run("itemsets", name, "--min-support", "5%", *opts, "-o", f"sets.{ext}", cwd=tmp_path)
    assert r.returncode == 0, r.stderr.decode()
    assert read_itemsets(tmp_path / f"sets.{ext}", len(baskets)) == expect


def test_rules_match_brute_force_and_sort_and_top(tmp_path):
    baskets = make_baskets(seed=11)
    write_input(tmp_path / "in.basket", baskets, "basket")
    expect = {
        (frozenset(a), frozenset(c)): (m["support"], m["confidence"])
        for (a, c), m in brute_rules(baskets, 8, 0.5).items()
    }
    r = run("rules", "in.basket", "--min-count", "8", "--min-confidence", "0.5", "-o", "r.jsonl", cwd=tmp_path)
    assert r.returncode == 0, r.stderr.decode()
    recs = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
    ante, cons = ("antecedents", "consequents") if "antecedents" in recs[0] else ("antecedent", "consequent")
    got = {(frozenset(x[ante]), frozenset(x[cons])): (x["support"], x["confidence"]) for x in recs}
    assert got.keys() == expect.keys()
    for key, (s, c) in expect.items():
        assert got[key] == pytest.approx((s, c), rel=1e-12)
    lifts = [x["lift"] for x in recs]
    assert lifts == sorted(lifts, reverse=True)  # --sort lift is the default

    r = run(
        "rules",
        "in.basket",
        "--min-count",
        "8",
        "--min-confidence",
        "0.5",
        "--sort",
        "confidence",
        "--top",
        "3",
        "--output-format",
        "fimi",
        cwd=tmp_path,
    )
    lines = r.stdout.decode().splitlines()
    assert len(lines) == 3 and all(" <- " in line for line in lines)
    confidences = [float(line.rsplit(", ", 1)[1].rstrip(")")) for line in lines]
    best = sorted((c for _, c in expect.values()), reverse=True)[:3]
    assert confidences == pytest.approx(best, rel=1e-5)


def test_pairs_and_summary(tmp_path):
    baskets = make_baskets(seed=5)
    write_input(tmp_path / "in.basket", baskets, "basket")
    r = run("pairs", "in.basket", "--min-count", "10", "-o", "p.csv", cwd=tmp_path)
    assert r.returncode == 0, r.stderr.decode()
    df = pd.read_csv(tmp_path / "p.csv")
    pairs = {k: c for k, c in brute_itemsets(baskets, 10, 2).items() if len(k) == 2}
    got = {frozenset((a, b)): c for a, b, c in zip(df["item_a"], df["item_b"], df["count"], strict=True)}
    assert got == pairs
    assert len(df) == 2 * len(pairs)  # both directions

    r = run("summary", "in.basket", "--top", "3", cwd=tmp_path)
    assert r.returncode == 0
    text = r.stdout.decode()
    top = Counter(x for b in baskets for x in b).most_common(1)[0][0]
    assert str(len(baskets)) in text and top in text


def test_thread_count_progress_and_verbose_stages(tmp_path):
    write_input(tmp_path / "in.basket", make_baskets(seed=2, n=400), "basket")
    outs = []
    for t in "12":  # the thread count must not change the result
        r = run("itemsets", "in.basket", "--min-count", "3", "--threads", t, "-o", f"o{t}.txt", cwd=tmp_path)
        assert r.returncode == 0 and r.stderr == b""  # stderr is a pipe: no progress bar
        outs.append((tmp_path / f"o{t}.txt").read_bytes())
    assert outs[0] == outs[1] and outs[0]
    r = run("itemsets", "in.basket", "-v", "-o", "o.csv", cwd=tmp_path)
    assert r.returncode == 0
    for stage in ("read in.basket: 400 transactions", "mined ", "wrote ", "done in"):
        assert stage in r.stderr.decode()


# ---- failures -----------------------------------------------------------------------------


# Lines that do not compress to nothing, so that a cut gzip stream really ends early.
RANDOM_LINES = "".join(f"{random.Random(k).randrange(10**6)} {k}\n" for k in range(3000)).encode()

ERRORS = [
    # (args, input files, status, words in the message)
    (["itemsets", "missing.dat"], {}, 1, "cannot open missing.dat"),
    (["itemsets", "."], {}, 1, "it is a directory"),
    (["itemsets", "bad.dat"], {"bad.dat": b"a b\nc d\ne \x00f\n"}, 1, "line 3"),
    (["itemsets", "empty.dat"], {"empty.dat": b""}, 1, "empty input"),
    (["itemsets", "cut.dat.gz"], {"cut.dat.gz": gzip.compress(RANDOM_LINES)[:2000]}, 1, "cannot read cut.dat.gz"),
    (
        ["itemsets", "cut.csv.gz"],
        {"cut.csv.gz": gzip.compress(b"t,i\n" + RANDOM_LINES.replace(b" ", b","))[:2000]},
        1,
        "cannot read cut.csv.gz",
    ),
    (["itemsets", "blank.dat"], {"blank.dat": b"\n\n"}, 1, "empty input (no items)"),
    (["itemsets", "t.csv", "--item-col", "sku"], {"t.csv": b"order,product\n1,a\n"}, 1, "no item column 'sku'"),
    (["rules", "ok.dat", "--min-confidence", "1.5"], {}, 1, "--min-confidence must be between 0 and 1"),
    (["itemsets", "ok.dat", "--min-support", "0%"], {}, 1, "--min-support must be above 0"),
    (["itemsets", "ok.dat", "--min-support", "150%"], {}, 1, "at most 100%"),
    (["itemsets", "ok.dat", "--min-support", "10"], {}, 2, "--min-support 10%"),
    (["itemsets", "ok.dat", "--min-support", "lots"], {}, 2, "not a number"),
    (["itemsets", "ok.dat", "--min-support", "1%", "--min-count", "3"], {}, 1, "not both"),
    (["itemsets", "ok.dat", "--frobnicate"], {}, 2, "unrecognized arguments"),
    (["itemsets", "ok.dat", "--max-itemsets", "2", "--min-count", "1"], {}, 1, "more than 2"),
    (["rules", "ok.dat", "--target", "maximal", "--min-count", "1"], {}, 1, "maximal"),
    (["itemsets", "ok.dat", "-o", "nodir/out.csv"], {}, 1, "cannot write nodir/out.csv"),
    (["rules", "ok.dat", "--plot", "chart.jpg"], {}, 1, "PNG"),
]


@pytest.mark.parametrize("args, files, status, words", ERRORS, ids=[" ".join(e[0][:4]) for e in ERRORS])
def test_failures_are_one_line_with_status_and_leave_no_output(tmp_path, args, files, status, words):
    if SANITIZED and any(name.endswith(".csv") for name in files):
        # pyarrow's uninstrumented CSV threads can abort at exit under the preloaded sanitizer runtime
        pytest.skip("pyarrow's CSV reader under the sanitizer")
    (tmp_path / "ok.dat").write_text("a b c\na b\nb c\na c\n")
    (tmp_path / "out.csv").write_text("previous\n")  # a failed run must leave an old output whole
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    before = set(os.listdir(tmp_path))
    r = run(*args, *([] if "-o" in args else ["-o", "out.csv"]), cwd=tmp_path)
    err = r.stderr.decode()
    assert r.returncode == status and len(err.splitlines()) == 1 and err.startswith("tallisk"), err
    assert words in err and "Traceback" not in err and r.stdout == b""
    assert set(os.listdir(tmp_path)) == before  # no output, no temporary file
    assert (tmp_path / "out.csv").read_text() == "previous\n"


def test_help_shows_examples_and_console_script_matches_module():
    r = run("--help")
    text = r.stdout.decode()
    assert r.returncode == 0 and "examples:" in text and "tallisk rules" in text and "basket" in text
    for sub in ("itemsets", "rules", "pairs", "summary"):
        assert "examples:" in run(sub, "--help").stdout.decode()
    script = shutil.which("tallisk", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed next to this interpreter")
    r2 = subprocess.run([script, "--help"], capture_output=True, timeout=120)
    assert r2.stdout.decode().replace("tallisk", "X") == text.replace("tallisk", "X")


@pytest.mark.parametrize("hidden", ["matplotlib", "networkx"])
def test_plot_without_its_extra_fails_before_the_work(tmp_path, hidden):
    for other in {"matplotlib", "networkx"} - {hidden}:
        pytest.importorskip(other)  # else the other one is reported missing first
    (tmp_path / "ok.dat").write_text("a b\na b\n")
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(f"import sys\nsys.modules[{hidden!r}] = None  # as if not installed\n")
    path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
    r = run(
        "rules",
        "ok.dat",
        "--min-count",
        "1",
        "--plot",
        "p.png",
        "--plot-kind",
        "graph",
        "-o",
        "out.csv",
        cwd=tmp_path,
        env_extra={"PYTHONPATH": path},
    )
    err = r.stderr.decode()
    assert r.returncode == 1 and len(err.splitlines()) == 1
    assert f"--plot needs {hidden}" in err
    assert sorted(os.listdir(tmp_path)) == ["ok.dat", "site"]


def test_broken_pipe_is_quiet(tmp_path):
    lines = "".join(" ".join(str(i + j) for j in range(6)) + "\n" for i in range(3000))
    (tmp_path / "big.dat").write_text(lines)
    cmd = f"{sys.executable} -m tallisk itemsets big.dat --min-count 1 | head -n 1"
    r = subprocess.run(["sh", "-c", cmd], capture_output=True, cwd=tmp_path, timeout=300)
    assert len(r.stdout.decode().splitlines()) == 1
    assert b"Traceback" not in r.stderr and b"Error" not in r.stderr


# ---- the picture ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "command, kind, axes",
    [
        ("rules", "scatter", "x: support; y: confidence; colour: lift"),
        ("rules", "graph", "colour: lift"),
        ("pairs", "heatmap", "x: second item (B); y: first item (A); colour: lift"),
    ],
)
def test_plot_file_is_a_whole_png_of_the_set_size_with_labelled_axes(tmp_path, command, kind, axes):
    pytest.importorskip("matplotlib")
    PIL = pytest.importorskip("PIL.Image")
    if kind == "graph":
        pytest.importorskip("networkx")
    from tallisk import plot

    write_input(tmp_path / "in.basket", make_baskets(), "basket")
    extra = ["--plot-kind", kind] if command == "rules" else []
    r = run(
        command,
        "in.basket",
        "--min-count",
        "5",
        *(["--min-confidence", "0.3"] if command == "rules" else []),
        "--plot",
        "chart.png",
        *extra,
        "-o",
        "out.csv",
        cwd=tmp_path,
    )
    assert r.returncode == 0, r.stderr.decode()
    # Pillow loads a file cut inside its closing chunk: that chunk is checked here
    assert (tmp_path / "chart.png").read_bytes().endswith(b"\0\0\0\0IEND\xaeB`\x82")
    with PIL.open(tmp_path / "chart.png") as im:
        assert im.format == "PNG"
        im.load()  # fails on a file cut earlier
        assert im.size == (plot.SIZE[0] * plot.DPI, plot.SIZE[1] * plot.DPI)
        assert im.text.get("Axes", "") == axes and im.text.get("Title")


# ---- in-process pieces ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, value",
    [
        ("1%", 0.01),
        ("0.5%", 0.005),
        ("1.1%", 0.011),
        ("0.01", 0.01),
        ("100%", 1.0),
        (".2", 0.2),
        ("1", None),
        ("1.0", None),
        ("10", None),
        ("2.5", None),
        ("x%", None),
        ("nan%", None),
    ],
)
def test_support_values(text, value):
    import argparse

    from tallisk.cli import _support

    if value is None:
        with pytest.raises(argparse.ArgumentTypeError):
            _support(text)
    else:
        assert _support(text) == value  # exactly the double a fraction written out gives


@pytest.mark.parametrize("tty, quiet, expect", [(True, False, True), (True, True, False), (False, False, False)])
def test_progress_bars_only_on_a_terminal(monkeypatch, capsys, tty, quiet, expect):
    pytest.importorskip("tqdm")
    from tallisk.cli import _Report

    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty)
    report = _Report(quiet=quiet, verbose=False)
    assert report.bars is expect
    with report.reading(100) as progress:
        assert (progress is not None) is expect
        if progress is not None:
            progress(100)
