"""The `tallisk` command end to end against pyfim, and the readers' speed.

1. ``tallisk itemsets FILE --min-count M -o OUT`` on the shared FIMI files, timed from
   process start to exit (interpreter start, imports, read, mine, write), best of
   ``--repeat`` runs, with the stages as the command's ``-v`` reports them. Against it:
   a Python process that reads the same file with a plain loop (pyfim has no file
   reader; its classic command-line programs ``apriori``/``eclat``/``fpgrowth`` are not
   installed here, so they are not timed), mines with each of pyfim's apriori, eclat and
   fpgrowth at the same absolute minimum count, and writes the same FIMI-style lines;
   the fastest pyfim run is reported. Both sides must report the same number of itemsets.
2. The file layer (``--skip-io`` leaves it out), each measurement in a fresh process with
   its peak resident memory (see bench/io_baselines.py for what is compared):
   reading FIMI files (retail, T10I4D100K and a generated file of ``--gb`` GB) with the
   reader before the engine's tokenizer (NumPy), a pyarrow-compute tokenizer and the
   engine's tokenizer; reading a generated long CSV of ``--gb`` GB before and now and
   with pyarrow's own CSV reader; writing 1.9 million rules to CSV, Parquet and JSON
   Lines before and now and with pyarrow's own writers on the same columns. Generated
   files are written under /tmp and deleted afterwards.

Usage: python3 bench/bench_cli.py [--data DIR] [--repeat 3] [--gb 1.0] [--skip-io] [--skip-cli] [--publish]
Figures depend on the machine and its load; the table says which.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
from io_baselines import BASELINE_REV

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = {"retail.dat": [0.01, 0.005, 0.002], "T10I4D100K.dat": [0.01, 0.005, 0.002], "chess.dat": [0.9, 0.8]}

PYFIM_SCRIPT = textwrap.dedent("""
    import sys, time
    c0 = time.process_time()
    import fim
    c1 = time.process_time()
    path, algo, min_count, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    t1 = time.perf_counter()
    with open(path) as f:
        tracts = [line.split() for line in f]
    t2, c2 = time.perf_counter(), time.process_time()
    sets = getattr(fim, algo)(tracts, target="s", supp=-min_count, zmin=1, report="a")
    t3, c3 = time.perf_counter(), time.process_time()
    with open(out, "w") as f:
        f.writelines(" ".join(s) + f" ({c})\\n" for s, c in sets)
    t4 = time.perf_counter()
    print(f"read={t2 - t1} read_cpu={c2 - c1} mine={t3 - t2} mine_cpu={c3 - c2} write={t4 - t3} n={len(sets)}")
""")


def wall(cmd: list[str], **kw) -> tuple[float, subprocess.CompletedProcess]:
    """Wall time of a child process; its CPU time (user + system, all threads) is put
    on the result as ``cpu``: on a loaded machine the CPU time says more."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    r.cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return elapsed, r


def count_lines(path: str) -> int:
    with open(path, "rb") as f:
        return sum(1 for _ in f)


def n_transactions(path: str) -> int:
    return count_lines(path)


def tallisk_run(path: str, min_count: int, out: str) -> dict:
    t, r = wall([sys.executable, "-m", "tallisk", "itemsets", path, "--min-count", str(min_count), "-o", out, "-v"])
    if r.returncode:
        raise SystemExit(f"tallisk failed: {r.stderr}")
    stage = {}
    for key, pattern in (
        ("read", r"read .* in ([\d.]+) s \(CPU ([\d.]+) s\)"),
        ("mine", r"mined .* in ([\d.]+) s \(CPU ([\d.]+) s\)"),
        ("write", r"wrote .* in ([\d.]+) s \(CPU ([\d.]+) s\)"),
    ):
        m = re.search(pattern, r.stderr)
        stage[key] = float(m.group(1)) if m else math.nan
        stage[key + "_cpu"] = float(m.group(2)) if m else math.nan
    stage["total"] = t
    stage["cpu"] = r.cpu
    stage["n"] = count_lines(out)
    return stage


def pyfim_run(path: str, algo: str, min_count: int, out: str) -> dict:
    t, r = wall([sys.executable, "-c", PYFIM_SCRIPT, path, algo, str(min_count), out])
    if r.returncode:
        raise SystemExit(f"pyfim failed: {r.stderr}")
    stage = {k: float(v) for k, v in re.findall(r"(\w+)=([\d.e-]+)", r.stdout) if k != "n"}
    stage["n"] = int(re.search(r"n=(\d+)", r.stdout).group(1))
    stage["total"] = t
    stage["cpu"] = r.cpu
    return stage


def best(runs: list[dict]) -> dict:
    return min(runs, key=lambda s: s["total"])


def end_to_end(data_dir: str, repeat: int) -> list[str]:
    try:
        import fim  # noqa: F401

        have_fim = True
    except ImportError:
        have_fim = False
    rows = []
    tmp = tempfile.mkdtemp(prefix="tallisk-bench-")
    try:
        for name, supports in FILES.items():
            path = os.path.join(data_dir, name)
            if not os.path.exists(path):
                continue
            n = n_transactions(path)
            size = os.path.getsize(path) / 1e6
            for s in supports:
                m = math.ceil(s * n - 1e-9)
                # FIMI lines (.dat), as pyfim's side writes them
                ours = best([tallisk_run(path, m, os.path.join(tmp, "ours.dat")) for _ in range(repeat)])
                peer = {
                    "total": math.nan,
                    "cpu": math.nan,
                    "read": math.nan,
                    "mine": math.nan,
                    "read_cpu": math.nan,
                    "mine_cpu": math.nan,
                    "n": -1,
                }
                peer_name = "-"
                if have_fim:
                    for algo in ("apriori", "eclat", "fpgrowth"):
                        got = best([pyfim_run(path, algo, m, os.path.join(tmp, "peer.txt")) for _ in range(repeat)])
                        if not got["total"] >= peer["total"]:
                            peer, peer_name = got, algo
                agree = "yes" if peer["n"] in (-1, ours["n"]) else f"NO ({ours['n']} vs {peer['n']})"
                ratio = ours["read_cpu"] / ours["mine_cpu"] if ours["mine_cpu"] > 0 else math.inf

                def ms(x: float) -> str:
                    return f"{x * 1000:.0f}"

                rows.append(
                    f"| {name} ({size:.1f} MB) | {s:g} ({m}) | {ours['n']} | {ours['total']:.2f} / "
                    f"{ours['cpu']:.2f} s | {ms(ours['read'])} / {ms(ours['read_cpu'])} ms "
                    f"({size / ours['read_cpu']:.0f} MB/s CPU) | {ms(ours['mine'])} / {ms(ours['mine_cpu'])} ms | "
                    f"{ms(ours['write'])} ms | {ratio:.2f} | {peer_name}: {peer['total']:.2f} / {peer['cpu']:.2f} s "
                    f"(read {ms(peer['read'])} / {ms(peer['read_cpu'])} ms, mine {ms(peer['mine'])} / "
                    f"{ms(peer['mine_cpu'])} ms) | {ours['total'] / peer['total']:.2f} | {agree} |"
                )
                print(rows[-1], flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    head = (
        "Times are wall / CPU (CPU: all threads of the process). 'read' includes building the Transactions.\n\n"
        "| file | min support (count) | itemsets | tallisk end to end | read | mine | write | read / mine (CPU) | "
        "fastest pyfim (plain Python reading loop) end to end | tallisk / pyfim (wall) | same itemsets |\n|"
        + "---|"
        * 11
    )
    return [head, *rows]


def start_cost(repeat: int) -> str:
    def t(code: str) -> float:
        return min(wall([sys.executable, "-c", code])[0] for _ in range(repeat))

    base = t("pass")
    ours = t("import tallisk.cli, tallisk.io, tallisk")
    peer = t("import fim")
    return (
        f"Interpreter start alone: {base * 1000:.0f} ms; with tallisk's imports (NumPy, pandas, the engine): "
        f"{ours * 1000:.0f} ms; with pyfim's: {peer * 1000:.0f} ms."
    )


IO = os.path.join(HERE, "io_baselines.py")


def io_run(*args: str, repeat: int = 1) -> dict | None:
    """Best of ``repeat`` fresh processes of bench/io_baselines.py (by wall time); None
    when that baseline is not available here."""
    best = None
    for _ in range(repeat):
        _, r = wall([sys.executable, IO, *args])
        if r.returncode:
            raise SystemExit(f"io_baselines {' '.join(args)} failed: {r.stderr[-2000:]}")
        got = {k: float(v) for k, v in re.findall(r"(\w+)=([\d.]+)", r.stdout)}
        if got.get("skipped"):
            return None
        if best is None or got["seconds"] < best["seconds"]:
            best = got
    return best


def cell(f: dict | None, mb: bool = True) -> str:
    if f is None:
        return "-"
    return f"{f['seconds']:.2f} / {f['cpu']:.2f} s" + (f", {f['peak_mb']:.0f} MB" if mb else "")


def io_section(data_dir: str, gb: float, repeat: int) -> list[str]:
    lines = [
        "## The file layer",
        "",
        "Wall / CPU seconds (CPU: every thread of the process) and peak resident memory of a fresh process "
        "(interpreter and imports included, about 100 MB). `before`: the reader and writer before the engine's "
        f"tokenizers and formatter (git {BASELINE_REV}); `arrow compute`: the other candidate for the FIMI "
        "tokenizer, built from pyarrow compute alone.",
        "",
        "### Reading FIMI lines",
        "",
        "| file | before (NumPy tokenizer) | arrow compute | now (engine tokenizer) | same transactions |",
        "|---|---|---|---|---|",
    ]
    tmp = tempfile.mkdtemp(prefix="tallisk-bench-io-")
    try:
        gen_fimi = os.path.join(tmp, "generated.dat")
        subprocess.run([sys.executable, IO, "gen", "fimi", gen_fimi, str(gb)], check=True)
        files = [os.path.join(data_dir, n) for n in ("retail.dat", "T10I4D100K.dat", "chess.dat")]
        for path in [f for f in files if os.path.exists(f)] + [gen_fimi]:
            n = 1 if path == gen_fimi else repeat
            got = {who: io_run("read", who, path, repeat=n) for who in ("before", "arrow", "now")}
            agree = {(f["rows"], f["txns"], f["items"]) for f in got.values() if f is not None}
            size = os.path.getsize(path) / 1e6
            lines.append(
                f"| {os.path.basename(path)} ({size:,.0f} MB) | {cell(got['before'])} | "
                f"{cell(got['arrow'])} | {cell(got['now'])} | {'yes' if len(agree) == 1 else 'NO'} |"
            )
            print(lines[-1], flush=True)
        os.unlink(gen_fimi)

        lines += [
            "",
            "### Reading a long CSV",
            "",
            "| file | before (pyarrow CSV path) | now (engine CSV tokenizer) | pyarrow's own reader "
            "(two columns, dictionary-encoded) | same rows |",
            "|---|---|---|---|---|",
        ]
        gen_long = os.path.join(tmp, "generated.csv")
        subprocess.run([sys.executable, IO, "gen", "long", gen_long, str(gb)], check=True)
        got = {who: io_run("read", who, gen_long) for who in ("before", "now", "pyarrow")}
        agree = {(f["rows"], f["txns"], f["items"]) for f in got.values() if f is not None}
        lines.append(
            f"| generated long CSV ({os.path.getsize(gen_long) / 1e9:.2f} GB, {got['now']['rows']:,.0f} rows)"
            f" | {cell(got['before'])} | {cell(got['now'])} | {cell(got['pyarrow'])} | "
            f"{'yes' if len(agree) == 1 else 'NO'} |"
        )
        print(lines[-1], flush=True)
        os.unlink(gen_long)

        rows = 1_900_000
        lines += [
            "",
            f"### Writing {rows:,} rules",
            "",
            "Rules of T10I4D100K at support 0.0002 and confidence 0 (the first 1.9 million; 15 columns, two "
            "of them sets of labels). pyarrow's own writer gets the same columns with the sets already "
            "converted (JSON text for CSV, lists for Parquet), untimed; it has no JSON Lines writer.",
            "",
            "| format | before | now | pyarrow's own writer | now / pyarrow (wall) | file size now |",
            "|---|---|---|---|---|---|",
        ]
        for fmt in ("csv", "parquet", "jsonl"):
            out = os.path.join(tmp, f"rules.{fmt}")
            got = {
                who: io_run("write", who, fmt, data_dir, str(rows), out, repeat=1 if who == "before" else repeat)
                for who in ("before", "now", "pyarrow")
            }
            ratio = f"{got['now']['seconds'] / got['pyarrow']['seconds']:.2f}" if got["pyarrow"] else "-"
            lines.append(
                f"| {fmt} | {cell(got['before'], False)} | {cell(got['now'], False)} | "
                f"{cell(got['pyarrow'], False)} | {ratio} | {got['now']['bytes'] / 1e6:.0f} MB |"
            )
            print(lines[-1], flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--gb", type=float, default=1.0, help="size of the generated FIMI file and long CSV")
    ap.add_argument("--skip-io", action="store_true", help="leave out the file layer's measurements")
    ap.add_argument("--skip-cli", action="store_true", help="leave out the command against pyfim")
    ap.add_argument("--publish", action="store_true", help="also write bench/report/cli.md")
    args = ap.parse_args()
    lines = [
        f"Machine: {os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.1f} at start "
        "(shared machine: timings are noisy). Best of "
        f"{args.repeat} runs, each a fresh process.",
        "",
    ]
    if not args.skip_cli:
        lines.append(start_cost(args.repeat))
        lines.append("")
        lines += end_to_end(args.data, args.repeat)
    if not args.skip_io:
        lines += ["", *io_section(args.data, args.gb, args.repeat)]
    lines.append(f"\nLoad average at the end: {os.getloadavg()[0]:.1f}.")
    text = "\n".join(lines) + "\n"
    print("\n" + text)
    if args.publish:
        os.makedirs(os.path.join(HERE, "report"), exist_ok=True)
        with open(os.path.join(HERE, "report", "cli.md"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
