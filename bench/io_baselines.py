"""What the file layer's benchmarks compare against, each runnable in a fresh process:

* ``before``: the file layer as it was before it moved onto the engine's tokenizers and
  formatter (``python/tallisk/io.py`` at a git revision, loaded as a stand-alone module);
* ``arrow``: a FIMI/basket reader built from pyarrow compute alone, the other candidate
  for replacing the NumPy tokenizer: one-column CSV read in blocks, split, dictionary-
  encode per block, dictionaries merged at the end;
* pyarrow's own CSV reader and CSV/Parquet writers on the same columns;
* generators of the large inputs (a FIMI file and a long CSV of a given size).

Usage (one measurement per process; prints ``key=value`` facts):
    python3 bench/io_baselines.py read  {before,now,arrow,pyarrow} FILE [--rev REV]
    python3 bench/io_baselines.py write {before,now,pyarrow} {csv,parquet,jsonl} DATA ROWS OUT [--rev REV]
    python3 bench/io_baselines.py gen   {fimi,long} PATH GB
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BASELINE_REV = "00c8c10"  # the last revision with the single-file reader and writer


def load_before(rev: str):
    """The old io module at ``rev``, imported from a temporary file (None without git)."""
    try:
        text = subprocess.run(
            ["git", "-C", ROOT, "show", f"{rev}:python/tallisk/io.py"], check=True, capture_output=True, text=True
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    path = os.path.join(tempfile.mkdtemp(prefix="tallisk-before-"), "tallisk_io_before.py")
    with open(path, "w") as f:
        f.write(text)
    spec = importlib.util.spec_from_file_location("tallisk_io_before", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


def arrow_read_lines(path: str, separator: str = " ") -> tuple[np.ndarray, np.ndarray, list, int]:
    """FIMI/basket lines through pyarrow compute: (txn codes, item codes, labels, n)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pacsv

    reader = pacsv.open_csv(
        path,
        read_options=pacsv.ReadOptions(column_names=["line"], block_size=8 << 20, use_threads=True),
        parse_options=pacsv.ParseOptions(
            delimiter="\x1f", quote_char=False, double_quote=False, newlines_in_values=False, ignore_empty_lines=False
        ),
        convert_options=pacsv.ConvertOptions(
            column_types={"line": pa.string()}, strings_can_be_null=False, quoted_strings_can_be_null=False
        ),
    )
    dicts, local, per_line = [], [], []
    for batch in reader:
        lines = batch.column(0)
        parts = pc.split_pattern(lines, separator)
        flat = pc.list_flatten(parts)
        keep = pc.greater(pc.utf8_length(flat), 0)
        lengths = pc.list_value_length(parts).to_numpy(zero_copy_only=False)
        # tokens kept per line: the empty ones (repeated separators, trailing blanks) dropped
        line_of = np.repeat(np.arange(len(lengths)), lengths)
        keep_np = keep.to_numpy(zero_copy_only=False)
        per_line.append(np.bincount(line_of[keep_np], minlength=len(lengths)))
        enc = pc.dictionary_encode(flat.filter(keep))
        dicts.append(enc.dictionary)
        local.append(enc.indices.to_numpy(zero_copy_only=False))
    merged = pa.concat_arrays(dicts).dictionary_encode() if dicts else None
    glob = merged.indices.to_numpy(zero_copy_only=False) if merged is not None else np.zeros(0, np.int32)
    codes, offset = [], 0
    for d, c in zip(dicts, local, strict=True):
        codes.append(glob[offset : offset + len(d)][c])
        offset += len(d)
    counts = np.concatenate(per_line) if per_line else np.zeros(0, np.int64)
    txn = np.repeat(np.arange(len(counts), dtype=np.int64), counts)
    labels = merged.dictionary.to_pylist() if merged is not None else []
    return txn, (np.concatenate(codes) if codes else np.zeros(0, np.int32)), labels, len(counts)


def pyarrow_read_long(path: str) -> tuple[int, int, int]:
    """pyarrow's own CSV reader on the two columns, dictionary-encoded: (rows, txns, items)."""
    import pyarrow as pa
    import pyarrow.csv as pacsv

    table = pacsv.read_csv(
        path,
        convert_options=pacsv.ConvertOptions(
            column_types={"order_id": pa.string(), "product": pa.string()}, include_columns=["order_id", "product"]
        ),
    )
    t = table.column(0).combine_chunks().dictionary_encode()
    i = table.column(1).combine_chunks().dictionary_encode()
    return len(table), len(t.dictionary), len(i.dictionary)


def rules_table(data: str, rows: int):
    import tallisk

    tr = tallisk.read_transactions(os.path.join(data, "T10I4D100K.dat"))
    sets = tallisk.frequent_itemsets(tr, min_support=0.0002)
    rules = tallisk.association_rules(sets, min_confidence=0.0)
    return rules.head(rows).reset_index(drop=True)


def pyarrow_table(rules, for_csv: bool):
    """The rules as an Arrow table with their set columns already converted (not timed):
    JSON text for CSV, lists for Parquet."""
    import json

    import pyarrow as pa

    cols = {}
    for name in rules.columns:
        values = rules[name]
        if values.dtype == object:
            cols[name] = (
                pa.array([json.dumps(list(v)) for v in values]) if for_csv else pa.array([list(v) for v in values])
            )
        else:
            cols[name] = pa.array(values.to_numpy())
    return pa.table(cols)


def facts(t0: float, c0: float, **more) -> str:
    wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return " ".join(
        [f"seconds={wall:.4f}", f"cpu={cpu:.4f}", f"peak_mb={peak:.0f}"] + [f"{k}={v}" for k, v in more.items()]
    )


def generate(kind: str, path: str, gb: float) -> None:
    """A FIMI file (integer items, Zipf-like popularity, about ten a line) or a long CSV
    (``order_id,product``, product names of 13 bytes) of about ``gb`` GB."""
    rng = np.random.default_rng(0)
    n_items = 20000
    pop = 1.0 / np.arange(1, n_items + 1) ** 0.8
    pop /= pop.sum()
    names = np.array([f"product {k:05d}" for k in range(n_items)], dtype=object)
    target, written, order = gb * 1e9, 0, 0
    with open(path, "wb") as f:
        if kind == "long":
            f.write(b"order_id,product\n")
        while written < target:
            sizes = rng.poisson(9, size=100_000) + 1
            items = rng.choice(n_items, size=int(sizes.sum()), p=pop)
            if kind == "fimi":
                bounds = np.cumsum(sizes)[:-1]
                text = "\n".join(" ".join(map(str, chunk)) for chunk in np.split(items, bounds)) + "\n"
            else:
                orders = np.repeat(np.arange(order, order + len(sizes)), sizes)
                text = "".join(f"{o},{p}\n" for o, p in zip(orders.tolist(), names[items].tolist(), strict=True))
            order += len(sizes)
            block = text.encode()
            f.write(block)
            written += len(block)


def main() -> None:
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="what", required=True)
    r = sub.add_parser("read")
    r.add_argument("who", choices=("before", "now", "arrow", "pyarrow"))
    r.add_argument("path")
    r.add_argument("--rev", default=BASELINE_REV)
    w = sub.add_parser("write")
    w.add_argument("who", choices=("before", "now", "pyarrow"))
    w.add_argument("fmt", choices=("csv", "parquet", "jsonl"))
    w.add_argument("data")
    w.add_argument("rows", type=int)
    w.add_argument("out")
    w.add_argument("--rev", default=BASELINE_REV)
    g = sub.add_parser("gen")
    g.add_argument("kind", choices=("fimi", "long"))
    g.add_argument("path")
    g.add_argument("gb", type=float)
    args = ap.parse_args()

    if args.what == "gen":
        generate(args.kind, args.path, args.gb)
        return
    if args.what == "read":
        long = args.path.endswith(".csv")
        kwargs = {"transaction_col": "order_id", "item_col": "product"} if long else {}
        if args.who == "before":
            module = load_before(args.rev)
            if module is None:
                print("skipped=1")
                return
            t0, c0 = time.perf_counter(), time.process_time()
            c = module.read_codes(args.path, **kwargs)
            print(facts(t0, c0, rows=len(c.item_codes), txns=c.n_transactions, items=len(c.items)))
        elif args.who == "now":
            from tallisk.io import read_codes

            t0, c0 = time.perf_counter(), time.process_time()
            c = read_codes(args.path, **kwargs)
            print(facts(t0, c0, rows=len(c.item_codes), txns=c.n_transactions, items=len(c.items)))
        elif args.who == "arrow":
            t0, c0 = time.perf_counter(), time.process_time()
            txn, codes, labels, n = arrow_read_lines(args.path)
            print(facts(t0, c0, rows=len(codes), txns=n, items=len(labels)))
        else:
            t0, c0 = time.perf_counter(), time.process_time()
            rows, txns, items = pyarrow_read_long(args.path)
            print(facts(t0, c0, rows=rows, txns=txns, items=items))
        return

    rules = rules_table(args.data, args.rows)
    if args.who == "pyarrow":
        import pyarrow.csv as pacsv
        import pyarrow.parquet as pq

        if args.fmt == "jsonl":
            print("skipped=1")  # pyarrow has no JSON writer
            return
        table = pyarrow_table(rules, args.fmt == "csv")
        t0, c0 = time.perf_counter(), time.process_time()
        if args.fmt == "csv":
            pacsv.write_csv(table, args.out)
        else:
            pq.write_table(table, args.out)
        print(facts(t0, c0, rows=len(rules), bytes=os.path.getsize(args.out)))
        return
    if args.who == "before":
        module = load_before(args.rev)
        if module is None:
            print("skipped=1")
            return
        write = module.write_table
    else:
        from tallisk.io import write_table as write
    t0, c0 = time.perf_counter(), time.process_time()
    write(rules, args.out)
    print(facts(t0, c0, rows=len(rules), bytes=os.path.getsize(args.out)))


if __name__ == "__main__":
    main()
