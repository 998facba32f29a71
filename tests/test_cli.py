"""The real ``tallisk`` command in a subprocess, against brute-force counts; every failure is one line on stderr."""

from __future__ import annotations

import gzip
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter

import pandas as pd
import pytest
from helpers import SANITIZED, brute_rules, itemset_counts, labelled_baskets

pytest.importorskip("tallisk.mining")
from tallisk.io import read_table  # noqa: E402


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


def read_itemsets(path) -> dict[frozenset, int]:
    """An itemset output file of any format, read back by the package's reader (the format
    told by the name, as the command chose it; test_io_write.py checks the round trips)."""
    df = read_table(path)
    return {frozenset(s): c for s, c in zip(df["itemset"], df["count"], strict=True)}


LAYOUTS = {"fimi": "in.dat", "basket": "in.basket", "csv": "in.csv", "tsv": "in.tsv", "parquet": "in.parquet"}


@pytest.mark.parametrize(
    "layout, ext", [("fimi", "dat"), ("basket", "csv"), ("csv", "csv.gz"), ("tsv", "jsonl"), ("parquet", "parquet")]
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
    assert read_itemsets(tmp_path / f"sets.{ext}") == expect


def test_rules_match_brute_force_and_come_by_lift(tmp_path):
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
    assert lifts == sorted(lifts, reverse=True)  # --by lift is the default


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


def test_the_thread_count_changes_no_output_and_a_pipe_gets_no_progress_bar(tmp_path):
    write_input(tmp_path / "in.basket", make_baskets(seed=2, n=400), "basket")
    outs = []
    for t in "12":
        r = run("itemsets", "in.basket", "--min-count", "3", "--threads", t, "-o", f"o{t}.txt", cwd=tmp_path)
        assert r.returncode == 0 and r.stderr == b""  # stderr is a pipe
        outs.append((tmp_path / f"o{t}.txt").read_bytes())
    assert outs[0] == outs[1] and outs[0]


# ---- failures -----------------------------------------------------------------------------


# Lines that do not compress to nothing, so that a cut gzip stream really ends early.
RANDOM_LINES = "".join(f"{random.Random(k).randrange(10**6)} {k}\n" for k in range(3000)).encode()

ERRORS = [
    # (args, input files, status, words in the message)
    (["itemsets", "missing.dat"], {}, 1, "missing.dat: No such file or directory"),
    (["itemsets", "."], {}, 1, ".: Is a directory"),
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
    (["itemsets", "t.csv", "--item", "sku"], {"t.csv": b"order,product\n1,a\n"}, 1, "no column 'sku'"),
    # flags: each bad value of each flag is walked in test_declarations; these are the rules between them
    (["itemsets", "ok.dat", "--min-support", "10"], {}, 2, "write 10% for a percentage"),
    (["itemsets", "ok.dat", "--min-support", "1%", "--min-count", "3"], {}, 2, "both were given"),
    (["itemsets", "ok.dat", "--min-len", "3", "--max-len", "2"], {}, 2, "--max-len must be an int in the range [3"),
    (["itemsets", "ok.dat", "--frobnicate"], {}, 2, "unrecognized arguments"),
    (["itemsets", "ok.dat", "--max-itemsets", "2", "--min-count", "1"], {}, 1, "more than 2 frequent itemsets (--max"),
    (["itemsets", "ok.dat", "-o", "nodir/out.csv"], {}, 1, "cannot write nodir/out.csv"),
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


@pytest.mark.parametrize(
    "signum, status, line", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "stopped by SIGTERM")]
)
def test_a_signal_during_mining_stops_the_engine_with_one_line_and_no_file(tmp_path, signum, status, line):
    rng = random.Random(3)
    # dense baskets whose maximal sets at 3% take minutes to search (memory stays small)
    lines = [" ".join(str(i) for i in range(60) if rng.random() < 0.55) for _ in range(3000)]
    (tmp_path / "dense.dat").write_text("\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    argv = ["itemsets", "dense.dat", "--min-support", "3%", "--target", "maximal", "-v", "-o", "out.csv"]
    with subprocess.Popen(
        [sys.executable, "-m", "tallisk", *argv], cwd=tmp_path, env=env, stderr=subprocess.PIPE
    ) as proc:
        try:
            assert proc.stderr.readline().startswith(b"tallisk: read dense.dat")  # the engine's call starts now
            time.sleep(0.5)
            proc.send_signal(signum)
            # the engine stops between tasks: far sooner than this bound, which only keeps a hang from lasting
            assert proc.wait(timeout=30) == status
        finally:
            proc.kill()
        rest = proc.stderr.read().decode().splitlines()
    assert rest == [f"tallisk: {line}"]
    assert os.listdir(tmp_path) == ["dense.dat"]


def test_the_console_script_is_the_command():
    script = shutil.which("tallisk", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed next to this interpreter")
    r = subprocess.run([script, "--help"], capture_output=True, timeout=120)
    want = run("--help").stdout.decode().replace("tallisk", "X")
    assert r.returncode == 0 and r.stdout.decode().replace("tallisk", "X") == want


@pytest.mark.parametrize("hidden", ["matplotlib", "networkx"])
def test_plot_without_its_extra_fails_before_the_work(tmp_path, hidden):
    for other in {"matplotlib", "networkx"} - {hidden}:
        pytest.importorskip(other)  # else the other one is reported missing first
    (tmp_path / "ok.dat").write_text("a b\na b\n")
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(f"import sys\nsys.modules[{hidden!r}] = None  # as if not installed\n")
    path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
    argv = "rules ok.dat --min-count 1 --plot p.png --plot-kind graph -o out.csv".split()
    r = run(*argv, cwd=tmp_path, env_extra={"PYTHONPATH": path})
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
    extra = ["--min-confidence", "0.3", "--plot-kind", kind] if command == "rules" else []
    r = run(command, "in.basket", "--min-count", "5", "--plot", "chart.png", *extra, "-o", "out.csv", cwd=tmp_path)
    assert r.returncode == 0, r.stderr.decode()
    # Pillow loads a file cut inside its closing chunk: that chunk is checked here
    assert (tmp_path / "chart.png").read_bytes().endswith(b"\0\0\0\0IEND\xaeB`\x82")
    with PIL.open(tmp_path / "chart.png") as im:
        assert im.format == "PNG"
        im.load()  # fails on a file cut earlier
        assert im.size == (plot.SIZE[0] * plot.DPI, plot.SIZE[1] * plot.DPI)
        assert im.text.get("Axes", "") == axes and im.text.get("Title")


# ---- in-process pieces ----------------------------------------------------------------------


def screen(raw: str) -> list[str]:
    """What a terminal shows after ``raw``: carriage returns, line feeds, cursor up one line
    and erase line, the only controls the progress lines use; colours are dropped."""
    import re

    lines, row, col = [""], 0, 0
    for token in re.findall(r"\x1b\[[0-9;?]*[A-Za-z]|\r|\n|[^\x1b\r\n]+", raw):
        if token == "\r":
            col = 0
        elif token == "\n":
            row, col = row + 1, 0
            lines += [""] * (row + 1 - len(lines))
        elif token == "\x1b[1A":
            row = max(0, row - 1)
        elif token == "\x1b[2K":
            lines[row] = ""
        elif not token.startswith("\x1b"):
            lines[row] = lines[row][:col] + token + lines[row][col + len(token) :]
            col += len(token)
    return [line for line in lines if line]


@pytest.mark.parametrize("tty, quiet, shown", [(True, False, True), (True, True, False), (False, False, False)])
def test_progress_lines_show_on_a_terminal_and_are_gone_when_the_stage_ends(monkeypatch, tty, quiet, shown):
    pytest.importorskip("rich")
    import io
    import time

    from tallisk.cli import _Report

    class Terminal(io.StringIO):
        def isatty(self):
            return tty

    err = Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    report = _Report(quiet=quiet, verbose=False)
    with report.running("reading", total=100) as advance:
        assert (advance is not None) is shown
        if advance is not None:
            advance(100)
    with report.running("mining the itemsets") as advance:
        assert advance is None
        time.sleep(0.3)
    report.say("next line")
    assert ("mining the itemsets" in err.getvalue()) is shown
    assert screen(err.getvalue()) == ["tallisk: next line"]


def test_no_rules_says_so_with_the_most_confident_rule(tmp_path):
    baskets = make_baskets(seed=3)
    write_input(tmp_path / "in.basket", baskets, "basket")
    best = max(m["confidence"] for m in brute_rules(baskets, 6, 0.0).values())  # by brute force
    r = run("rules", "in.basket", "--min-count", "6", "--min-confidence", f"{min(best * 1.01, 1.0)}", cwd=tmp_path)
    err = r.stderr.decode()
    # standard output holds the table's header at most
    assert r.returncode == 0 and len(r.stdout.splitlines()) <= 1 and len(err.splitlines()) == 1, err
    assert "no rules at this support and confidence; the most confident rule has confidence" in err
    assert float(err.split("confidence ")[-1].split(" ")[0]) == pytest.approx(best, rel=1e-3)


_STAGES = {
    # subcommand: (function the stage runs, words of the message, flags it may name)
    "itemsets": ("tallisk.mining.frequent_itemsets", "while mining the itemsets", ["--min-support", "--max-len"]),
    "rules": (
        "tallisk.rules.association_rules",
        "while finding the rules",
        ["--min-confidence", "--max-consequent-len"],
    ),
    "pairs": ("tallisk.pairs.pair_metrics", "while counting the pairs", ["--min-support"]),
    "summary": ("tallisk.io.read_transactions", "(the transactions do not fit in memory)", []),
}


@pytest.mark.parametrize("sub", sorted(_STAGES))
def test_memory_errors_name_the_stage_and_only_flags_of_that_subcommand(tmp_path, monkeypatch, capsys, sub):
    import functools
    import importlib

    from tallisk import cli

    target, words, flags = _STAGES[sub]
    module, name = target.rsplit(".", 1)
    real = getattr(importlib.import_module(module), name)

    @functools.wraps(real)
    def out_of_memory(*args, **kwargs):
        raise MemoryError("engine: 3 GiB more were asked for")

    monkeypatch.setattr(importlib.import_module(module), name, out_of_memory)
    (tmp_path / "ok.dat").write_text("a b c\na b\n")
    assert cli.main([sub, str(tmp_path / "ok.dat"), *(["--min-count", "1"] if sub != "summary" else []), "-q"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("tallisk: error: out of memory while ") and words in err and "3 GiB" in err
    named = {w.rstrip(")") for w in err.split() if w.startswith("--")}
    assert named == set(flags)
    known = {cli.flag_names(p)[0] for p, _, _ in cli.flags_of(cli.subcommands()[sub])}
    assert named <= known


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 130)])
def test_a_signal_while_writing_leaves_no_file_and_exits_128_plus_its_number(
    tmp_path, monkeypatch, capsys, signum, status
):
    import tallisk.io._write as tio
    from tallisk import cli

    real = tio.write_blocks

    def head_then_signal(out, cells, n_rows, progress, head=b""):
        out.write(head or b"first bytes\n")  # the temporary file holds something by now
        os.kill(os.getpid(), signum)
        real(out, cells, n_rows, progress, b"")

    monkeypatch.setattr(tio, "write_blocks", head_then_signal)
    (tmp_path / "ok.dat").write_text("a b c\na b\nb c\na c\n")
    (tmp_path / "out.txt").write_text("previous\n")
    before = sorted(os.listdir(tmp_path))
    assert (
        cli.main(["itemsets", str(tmp_path / "ok.dat"), "--min-count", "1", "-o", str(tmp_path / "out.txt")]) == status
    )
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and err.startswith("tallisk: ")
    assert sorted(os.listdir(tmp_path)) == before and (tmp_path / "out.txt").read_text() == "previous\n"
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL  # the command's handlers are gone again
