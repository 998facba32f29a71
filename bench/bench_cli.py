"""The `tallisk` command end to end against pyfim, and the readers' speed.

1. ``tallisk itemsets FILE --min-count M -o OUT`` on the shared FIMI files, timed from
   process start to exit (interpreter start, imports, read, mine, write), best of
   ``--repeat`` runs, with the stages as the command's ``-v`` reports them. Against it:
   a Python process that reads the same file with a plain loop (pyfim has no file
   reader; its classic command-line programs ``apriori``/``eclat``/``fpgrowth`` are not
   installed here, so they are not timed), mines with each of pyfim's apriori, eclat and
   fpgrowth at the same absolute minimum count, and writes the same FIMI-style lines;
   the fastest pyfim run is reported. Both sides must report the same number of itemsets.
2. Read rate of :func:`tallisk.io.read_codes` on a generated long CSV (``--csv-gb``, 1 GB
   by default; written under /tmp and deleted afterwards), in a fresh process, with its
   peak resident memory, which shows the file is never held whole.

Usage: python3 bench/bench_cli.py [--data DIR] [--repeat 3] [--csv-gb 1.0] [--skip-csv] [--publish]
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
                ours = best([tallisk_run(path, m, os.path.join(tmp, "ours.txt")) for _ in range(repeat)])
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


GENERATOR = textwrap.dedent("""
    import sys, numpy as np
    path, target = sys.argv[1], float(sys.argv[2]) * 1e9
    rng = np.random.default_rng(0)
    names = np.array([f"product {k:05d}".encode() for k in range(20000)], dtype=object)
    pop = 1.0 / np.arange(1, 20001) ** 0.8
    pop /= pop.sum()
    written, order = 0, 0
    with open(path, "wb") as f:
        f.write(b"order_id,product\\n")
        while written < target:
            sizes = rng.poisson(9, size=100_000) + 1
            orders = np.repeat(np.arange(order, order + len(sizes)), sizes)
            order += len(sizes)
            items = names[rng.choice(20000, size=len(orders), p=pop)]
            ids = orders.astype("U12").astype(object)
            block = b"".join(i.encode() + b"," + p + b"\\n" for i, p in zip(ids.tolist(), items.tolist()))
            f.write(block)
            written += len(block)
""")

READER = textwrap.dedent("""
    import resource, sys, time
    from tallisk.io import read_codes
    t, cpu = time.perf_counter(), time.process_time()
    c = read_codes(sys.argv[1], transaction_col="order_id", item_col="product")
    dt, dcpu = time.perf_counter() - t, time.process_time() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"seconds={dt} cpu={dcpu} rows={len(c.txn_codes)} txns={c.n_transactions} items={len(c.items)} "
          f"peak_mb={peak}")
""")


def long_csv_rate(gb: float) -> str:
    path = os.path.join(tempfile.gettempdir(), f"tallisk-bench-long-{os.getpid()}.csv")
    try:
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-c", GENERATOR, path, str(gb)], check=True)
        size = os.path.getsize(path)
        print(f"generated {path}: {size / 1e9:.2f} GB in {time.perf_counter() - t0:.0f} s", flush=True)
        _, r = wall([sys.executable, "-c", READER, path])
        if r.returncode:
            raise SystemExit(f"reader failed: {r.stderr}")
        facts = dict(re.findall(r"(\w+)=([\d.]+)", r.stdout))
        secs, cpu = float(facts["seconds"]), float(facts["cpu"])
        return (
            f"Long CSV of {size / 1e9:.2f} GB ({int(facts['rows']):,} rows, {int(facts['txns']):,} transactions, "
            f"{int(facts['items']):,} products): read in {secs:.1f} s = {size / 1e6 / secs:.0f} MB/s "
            f"(CPU {cpu:.1f} s, all threads = {size / 1e6 / cpu:.0f} MB/s per CPU second), "
            f"peak resident memory {float(facts['peak_mb']):.0f} MB "
            f"(the codes kept are {int(facts['rows']) * 12 / 1e6:.0f} MB)."
        )
    finally:
        if os.path.exists(path):
            os.unlink(path)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--csv-gb", type=float, default=1.0)
    ap.add_argument("--skip-csv", action="store_true")
    ap.add_argument("--publish", action="store_true", help="also write bench/report/cli.md")
    args = ap.parse_args()
    lines = [
        f"Machine: {os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.1f} at start "
        "(shared machine: timings are noisy). Best of "
        f"{args.repeat} runs, each a fresh process.",
        "",
    ]
    lines.append(start_cost(args.repeat))
    lines.append("")
    lines += end_to_end(args.data, args.repeat)
    if not args.skip_csv:
        lines += ["", long_csv_rate(args.csv_gb)]
    text = "\n".join(lines) + "\n"
    print("\n" + text)
    if args.publish:
        os.makedirs(os.path.join(HERE, "report"), exist_ok=True)
        with open(os.path.join(HERE, "report", "cli.md"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
