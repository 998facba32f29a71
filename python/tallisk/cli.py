"""The ``tallisk`` command: frequent itemsets, association rules and pair metrics from a
transaction file, without writing Python.

Exit status: 0 on success, 1 when the run fails (unreadable input, a threshold out of
range, an output that cannot be written), 2 for a usage error. A failure prints one line
on standard error (``-v`` adds the traceback of an unexpected one) and never leaves a
partial output file behind.
"""

from __future__ import annotations

import argparse
import contextlib
import decimal
import importlib
import math
import os
import re
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any

PROG = "tallisk"

EXAMPLES = """\
examples:
  tallisk itemsets retail.dat --min-support 1%              FIMI lines on standard output
  tallisk itemsets retail.dat --min-count 50 --max-len 3 -o sets.csv
  tallisk rules baskets.csv.gz --item-col product --transaction-col order_id \\
          --min-support 0.5% --min-confidence 0.6 --top 20 --plot rules.png
  tallisk rules shop.basket --sep ';' --strip --sort confidence -o rules.parquet
  tallisk pairs retail.dat --min-support 0.2% --sort lift --top 50 -o pairs.jsonl
  zcat data.dat.gz | tallisk summary -

input formats (--input-format, guessed from the name; gzip and Parquet from the content):
  fimi     one transaction per line, items separated by blanks (.dat .fimi .txt, stdin)
  basket   one transaction per line, items separated by --sep (default ',') (.basket)
  long     one (transaction, item) per row: CSV with a header (.csv, .tsv) or Parquet
output formats (--output-format, guessed from -o's extension; .gz compresses):
  fimi     'a b c (count)'; rules and pairs 'c <- a b (support, confidence)' (default)
  csv      one row per result, sets written as {a,b}   (.csv)
  parquet  sets as lists (.parquet)                      jsonl: sets as lists (.jsonl)
"""


class CLIError(Exception):
    """A failed run: printed as one line, exit status 1."""


# ---- argument types -----------------------------------------------------------------


def _support(text: str) -> float:
    """``0.01`` or ``1%``. A bare number of 1 or more is refused: it might mean a
    percentage or a number of transactions, and guessing wrong gives silently wrong
    results."""
    s = text.strip()
    try:
        if s.endswith("%"):
            # Through Decimal: "1.1%" gives the double nearest 0.011, as "0.011" does
            # (float("1.1") / 100 can be one unit off, and move the cut-off by a count).
            value = float(decimal.Decimal(s[:-1]) / 100)
            if not math.isfinite(value):
                raise ValueError(s)
        else:
            value = float(s)
    except (ValueError, decimal.InvalidOperation):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a number; write a fraction such as 0.01 or a percentage such as 1%"
        ) from None
    if not s.endswith("%") and value >= 1:
        count = f", or --min-count {int(value)} for at least {int(value)} transactions" if value == int(value) else ""
        raise argparse.ArgumentTypeError(
            f"{text} is ambiguous (a support is a fraction of the transactions): write --min-support {s}% for a "
            f"percentage{count}"
        )
    return value


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _char(text: str) -> str:
    if text in ("\\t", "tab", "TAB"):
        return "\t"
    if len(text) != 1:
        raise argparse.ArgumentTypeError(f"{text!r}: the separator is one character (\\t for a tab)")
    return text


# ---- parser -------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, pointing at --help, rather than the whole usage block."""

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    inp = _Parser(add_help=False)
    g = inp.add_argument_group("input")
    g.add_argument("input", metavar="IN", help="transaction file; '-' reads standard input")
    g.add_argument(
        "--input-format",
        choices=("fimi", "basket", "long"),
        help="layout of IN (default: from its name; fimi when it says nothing)",
    )
    g.add_argument(
        "--sep",
        type=_char,
        help="item separator of a basket file (default ','), field separator of a long CSV; \\t for a tab",
    )
    g.add_argument(
        "--strip",
        action="store_true",
        help="trim blanks around item names (default: names are read exactly as written)",
    )
    g.add_argument(
        "--transaction-col", metavar="NAME", help="transaction column of a long table (default: the first column)"
    )
    g.add_argument("--item-col", metavar="NAME", help="item column of a long table (default: the second column)")
    g.add_argument("--encoding", default="utf-8", help="text encoding of FIMI and basket files (default: utf-8)")

    run = _Parser(add_help=False)
    g = run.add_argument_group("run")
    g.add_argument("--threads", type=_int, metavar="N", help="worker threads (default: every processor)")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bars")
    g.add_argument("-v", "--verbose", action="store_true", help="print each stage's time and counts on stderr")

    thr = _Parser(add_help=False)
    g = thr.add_argument_group("thresholds")
    g.add_argument(
        "--min-support",
        type=_support,
        metavar="S",
        help="minimum support: a fraction (0.01) or a percentage (1%%); default 1%%",
    )
    g.add_argument(
        "--min-count", type=_int, metavar="N", help="minimum number of transactions (instead of --min-support)"
    )

    sets = _Parser(add_help=False)
    g = sets.add_argument_group("itemsets")
    g.add_argument("--min-len", type=_int, default=1, metavar="K", help="fewest items in a set (default 1)")
    g.add_argument("--max-len", type=_int, metavar="K", help="most items in a set (default: no limit)")
    g.add_argument(
        "--target",
        choices=("all", "closed", "maximal"),
        default="all",
        help="all frequent sets, or only closed or maximal ones (default all)",
    )
    g.add_argument(
        "--max-itemsets", type=_int, metavar="N", help="stop with an error rather than find more than N sets"
    )

    out = _Parser(add_help=False)
    g = out.add_argument_group("output")
    g.add_argument("-o", "--output", metavar="OUT", help="output file (default: standard output)")
    g.add_argument(
        "--output-format",
        choices=("fimi", "csv", "parquet", "jsonl"),
        help="default: from OUT's extension; FIMI-style lines otherwise",
    )
    g.add_argument("--top", type=_int, metavar="N", help="write only the first N rows after sorting")

    plot = _Parser(add_help=False)
    g = plot.add_argument_group("picture (needs matplotlib; the graph also networkx)")
    g.add_argument("--plot", metavar="FILE.png", help="also draw the result into a PNG file")

    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Frequent itemsets, association rules and pair metrics from a transaction file.",
        epilog=EXAMPLES,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    fmt = argparse.RawDescriptionHelpFormatter

    p = sub.add_parser(
        "itemsets",
        parents=[inp, thr, sets, out, run],
        formatter_class=fmt,
        help="frequent itemsets",
        description="Every itemset held by at least --min-support of the transactions, with its count and support.",
        epilog=EXAMPLES,
    )
    p.add_argument(
        "--sort", choices=("support", "length"), help="order of the rows (default: as mined, each set after its prefix)"
    )

    p = sub.add_parser(
        "rules",
        parents=[inp, thr, sets, out, plot, run],
        formatter_class=fmt,
        help="association rules",
        description="Rules A -> C between frequent itemsets, with support, confidence, lift and more.",
        epilog=EXAMPLES,
    )
    g = p.add_argument_group("rules")
    g.add_argument("--min-confidence", type=_float, default=0.8, metavar="C", help="default 0.8")
    g.add_argument("--min-lift", type=_float, metavar="L", help="keep rules with at least this lift")
    g.add_argument("--max-consequent", type=_int, metavar="K", help="most items on the right-hand side")
    g.add_argument("--sort", choices=("lift", "confidence", "support"), default="lift", help="default lift")
    g.add_argument(
        "--plot-kind",
        choices=("scatter", "graph"),
        default="scatter",
        help="scatter: support against confidence coloured by lift; graph: the top rules as a network",
    )

    p = sub.add_parser(
        "pairs",
        parents=[inp, thr, out, plot, run],
        formatter_class=fmt,
        help="metrics of every pair of items",
        description="Support, confidence, lift and more for every ordered pair of items bought together.",
        epilog=EXAMPLES,
    )
    p.add_argument("--sort", choices=("lift", "confidence", "support"), help="default: by first item")

    p = sub.add_parser(
        "summary",
        parents=[inp, run],
        formatter_class=fmt,
        help="describe the transactions",
        description="Counts, the most frequent items and basket sizes.",
        epilog=EXAMPLES,
    )
    p.add_argument("--top", type=_int, default=10, metavar="N", help="most frequent items to list (default 10)")
    return parser


# ---- checks ---------------------------------------------------------------------------


def _check(args: argparse.Namespace) -> None:
    """Values of the right kind but out of range: a failed run (status 1), as the package
    would refuse them, named by their flag."""

    def need(ok: bool, msg: str) -> None:
        if not ok:
            raise CLIError(msg)

    if getattr(args, "min_support", None) is not None:
        need(0 < args.min_support <= 1, f"--min-support must be above 0 and at most 100%; got {args.min_support:g}")
    if getattr(args, "min_count", None) is not None:
        need(args.min_count >= 1, f"--min-count must be 1 or more; got {args.min_count}")
    if getattr(args, "min_len", None) is not None:
        need(args.min_len >= 1, f"--min-len must be 1 or more; got {args.min_len}")
    if getattr(args, "max_len", None) is not None:
        need(args.max_len >= args.min_len, f"--max-len must be at least --min-len ({args.min_len}); got {args.max_len}")
    if getattr(args, "max_itemsets", None) is not None:
        need(args.max_itemsets >= 1, f"--max-itemsets must be 1 or more; got {args.max_itemsets}")
    if getattr(args, "min_confidence", None) is not None:
        need(0 <= args.min_confidence <= 1, f"--min-confidence must be between 0 and 1; got {args.min_confidence:g}")
    if getattr(args, "min_lift", None) is not None:
        need(args.min_lift >= 0, f"--min-lift must be 0 or more; got {args.min_lift:g}")
    if getattr(args, "max_consequent", None) is not None:
        need(args.max_consequent >= 1, f"--max-consequent must be 1 or more; got {args.max_consequent}")
    if getattr(args, "top", None) is not None:
        need(args.top >= 1, f"--top must be 1 or more; got {args.top}")
    if args.threads is not None:
        need(args.threads >= 1, f"--threads must be 1 or more; got {args.threads}")
    plot = getattr(args, "plot", None)
    if plot is not None:
        need(plot.lower().endswith(".png"), f"--plot writes PNG files: give a name ending in .png; got {plot}")
        _check_writable(plot)
        # Before the work, not after it: a missing extra is found in a second.
        wanted = ["matplotlib"] + (["networkx"] if getattr(args, "plot_kind", None) == "graph" else [])
        for module in wanted:
            try:
                importlib.import_module(module)
            except ImportError:
                raise CLIError(f"--plot needs {module}: pip install 'tallisk[plot]'") from None
    out = getattr(args, "output", None)
    if out not in (None, "-"):
        _check_writable(out)


def _check_writable(path: str) -> None:
    """Fail before the work rather than after it when the output cannot be placed."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CLIError(f"cannot write {path}: no directory {directory}")
    if os.path.isdir(path):
        raise CLIError(f"cannot write {path}: it is a directory")
    if not os.access(directory, os.W_OK):
        raise CLIError(f"cannot write {path}: permission denied")


# ---- progress and timings -----------------------------------------------------------


class _Report:
    """Progress bars (tqdm, on a terminal, unless -q) and -v stage lines on stderr."""

    def __init__(self, quiet: bool, verbose: bool) -> None:
        self.verbose = verbose
        self.bars = False
        if not quiet and sys.stderr.isatty():
            try:
                import tqdm  # noqa: F401
            except ImportError:
                pass
            else:
                self.bars = True

    def note(self, text: str) -> None:
        if self.verbose:
            print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    @contextlib.contextmanager
    def reading(self, total: int | None) -> Iterator[Callable[[int], None] | None]:
        if not self.bars:
            yield None
            return
        from tqdm import tqdm

        with tqdm(
            total=total,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            desc="reading",
            leave=False,
            file=sys.stderr,
            delay=0.5,
            dynamic_ncols=True,
        ) as bar:
            yield bar.update

    @contextlib.contextmanager
    def working(self, what: str) -> Iterator[None]:
        """The engine runs one long call with the interpreter lock released; a thread
        keeps an elapsed-time bar alive meanwhile."""
        if not self.bars:
            yield
            return
        from tqdm import tqdm

        stop = threading.Event()
        bar = tqdm(total=None, desc=what, bar_format="{desc}: {elapsed}", leave=False, file=sys.stderr, delay=0.5)

        def tick() -> None:
            while not stop.wait(0.25):
                bar.refresh()

        t = threading.Thread(target=tick, daemon=True)
        t.start()
        try:
            yield
        finally:
            stop.set()
            t.join()
            bar.close()


def _clock() -> tuple[float, float]:
    return time.perf_counter(), time.process_time()


def _since(start: tuple[float, float]) -> str:
    """Wall time, and the CPU time of every thread of the process (on a busy machine
    the second says what the stage cost; with worker threads it can exceed the first)."""
    wall, cpu = _clock()
    return f"{wall - start[0]:.3f} s (CPU {cpu - start[1]:.3f} s)"


def _size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GB"


# ---- stages -------------------------------------------------------------------------


def _read(args: argparse.Namespace, report: _Report) -> Any:
    from .io import ReadError, read_codes
    from .transactions import Transactions

    name = "standard input" if args.input == "-" else args.input
    total = None
    if args.input != "-":
        with contextlib.suppress(OSError):
            total = os.path.getsize(args.input)
    start = _clock()
    with report.reading(total) as progress:
        codes = read_codes(
            args.input,
            args.input_format,
            sep=args.sep,
            strip=args.strip,
            transaction_col=args.transaction_col,
            item_col=args.item_col,
            encoding=args.encoding,
            progress=progress,
        )
    if len(codes.item_codes) == 0:
        raise ReadError(f"{name}: empty input (no items)" if codes.n_transactions else f"{name}: empty input")
    tx = Transactions._from_codes(codes.txn_codes, codes.item_codes, codes.items, codes.n_transactions)
    size = f", {_size(total)}" if total is not None else ""
    report.note(
        f"read {name}: {tx.n_transactions} transactions, {tx.n_items} items, "
        f"{len(tx.item_ids)} occurrences{size} in {_since(start)}"
    )
    return tx


def _threshold(args: argparse.Namespace) -> dict[str, Any]:
    if args.min_support is not None and args.min_count is not None:
        raise CLIError("give --min-support or --min-count, not both")
    if args.min_count is not None:
        return {"min_count": args.min_count}
    return {"min_support": 0.01 if args.min_support is None else args.min_support}


def _mine(args: argparse.Namespace, tx: Any, report: _Report) -> Any:
    from .mining import frequent_itemsets

    start = _clock()
    with report.working("mining"):
        sets = frequent_itemsets(
            tx,
            **_threshold(args),
            min_len=args.min_len,
            max_len=args.max_len,
            target=args.target,
            max_itemsets=args.max_itemsets,
        )
    min_count = sets.attrs.get("min_count")
    at = f" (at least {min_count} transactions)" if min_count is not None else ""
    report.note(
        f"mined {len(sets)} {args.target if args.target != 'all' else 'frequent'} itemsets{at} in {_since(start)}"
    )
    return sets


def _sorted(df: Any, key: str | None, top: int | None) -> Any:
    if key is not None:
        column = {"support": "support", "length": "length"}.get(key, key)
        if column in df.columns:
            df = df.sort_values(column, ascending=False, kind="stable")
            df = df.reset_index(drop=True)
    if top is not None:
        df = df.head(top)
    return df


def _write(args: argparse.Namespace, df: Any, what: str, report: _Report) -> None:
    from .io import guess_output_format, write_table

    start = _clock()
    fmt = args.output_format or guess_output_format(args.output)
    write_table(df, args.output, fmt)
    where = "standard output" if args.output in (None, "-") else args.output
    report.note(f"wrote {len(df)} {what} to {where} ({fmt}) in {_since(start)}")


def _plot(args: argparse.Namespace, df: Any, kind: str, report: _Report) -> None:
    if not args.plot:
        return
    os.environ.setdefault("MPLBACKEND", "Agg")
    from . import plot as tplot
    from .io import _atomic

    start = _clock()
    draw = {"scatter": tplot.rules_scatter, "graph": tplot.rules_graph, "heatmap": tplot.pair_heatmap}[kind]
    # A bare Figure renders with Agg and never opens a window, on any machine.
    ax = draw(df, ax=tplot.new_axes(pyplot=False))
    fig = ax.figure
    with _atomic(args.plot, binary=True) as f:
        fig.savefig(f, format="png", dpi=tplot.DPI, metadata={"Title": ax.get_title(), "Axes": tplot.describe(ax)})
    report.note(f"drew {kind} to {args.plot} in {_since(start)}")


def _run(args: argparse.Namespace, report: _Report) -> None:
    tx = _read(args, report)
    if args.command == "summary":
        print(tx.summary(top=args.top))
        return
    if args.command == "itemsets":
        sets = _mine(args, tx, report)
        _write(args, _sorted(sets, args.sort, args.top), "itemsets", report)
        return
    if args.command == "rules":
        from .rules import association_rules

        sets = _mine(args, tx, report)
        start = _clock()
        kwargs: dict[str, Any] = {"min_confidence": args.min_confidence, "sort_by": args.sort}
        if args.min_lift is not None:
            kwargs["min_lift"] = args.min_lift
        if args.max_consequent is not None:
            kwargs["max_consequent_len"] = args.max_consequent
        with report.working("rules"):
            rules = association_rules(sets, **kwargs)
        report.note(f"found {len(rules)} rules in {_since(start)}")
        rules = _sorted(rules, args.sort, None)
        _plot(args, rules, args.plot_kind, report)
        _write(args, rules.head(args.top) if args.top else rules, "rules", report)
        return
    if args.command == "pairs":
        from .pairs import pair_metrics

        start = _clock()
        with report.working("pairs"):
            pairs = pair_metrics(tx, **_threshold(args))
        report.note(f"computed {len(pairs)} pairs in {_since(start)}")
        pairs = _sorted(pairs, args.sort, None)
        _plot(args, pairs, "heatmap", report)
        _write(args, pairs.head(args.top) if args.top else pairs, "pairs", report)
        return
    raise CLIError(f"unknown command {args.command}")  # argparse refuses these first


def _one_line(e: BaseException) -> str:
    text = str(e).strip()
    if isinstance(e, KeyError) and len(e.args) == 1:
        text = str(e.args[0])
    line = text.splitlines()[0] if text else type(e).__name__
    return line


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns the exit status (the console script exits with it)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.threads is not None and args.threads >= 1:
        # The engine sizes its worker pool from this variable at its first parallel
        # call, which comes later in this process.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    report = _Report(args.quiet, args.verbose)
    start = _clock()
    try:
        _check(args)
        _run(args, report)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): not an error of ours.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 0
    except MemoryError:
        print(f"{PROG}: error: out of memory (raise the minimum support, or set --max-len)", file=sys.stderr)
        return 1
    except (CLIError, ValueError, TypeError, KeyError, OSError, ImportError) as e:
        msg = _package_message(_one_line(e))
        if isinstance(e, OSError) and e.filename and e.strerror:
            msg = f"{e.filename}: {e.strerror}"
        if isinstance(e, ImportError) and e.name and "pip install" not in msg:
            msg = f"{msg} (install it: pip install 'tallisk[all]')"
        print(f"{PROG}: error: {msg}", file=sys.stderr)
        if args.verbose and not isinstance(e, CLIError):
            import traceback

            traceback.print_exc()
        return 1
    except Exception as e:  # noqa: BLE001 - the command's promise is one line, not a traceback
        print(
            f"{PROG}: error: unexpected {type(e).__name__}: {_one_line(e)} (run with -v for details)", file=sys.stderr
        )
        if args.verbose:
            import traceback

            traceback.print_exc()
        return 1
    report.note(f"done in {_since(start)}")
    return 0


def _package_message(text: str) -> str:
    """The package names parameters as in Python ('min_support'); name the flags."""
    return re.sub(
        r"'(min_support|min_count|min_len|max_len|min_confidence|min_lift)' parameter of \w+",
        lambda m: "--" + m.group(1).replace("_", "-"),
        text,
    )


if __name__ == "__main__":
    sys.exit(main())
