"""The readers under hostile input: random bytes and random mutations of valid FIMI, basket,
CSV and Parquet files (some gzip-compressed) must each give Transactions or a ReadError,
never another exception, and never more memory than a fixed ceiling. Runs in a child
process whose address space is capped, so a reader that tried to hold an endless line
would fail there with MemoryError instead of taking the machine down."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from helpers import SANITIZED

CHILD = textwrap.dedent(r"""
    import gzip, io, json, os, random, resource, sys, tempfile
    import numpy as np, pandas as pd
    from tallisk import io as tio

    CAP = int(sys.argv[1])          # bytes of address space allowed above what the imports took
    N = int(sys.argv[2])
    rng = random.Random(20241207)

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    try:
        import pyarrow  # noqa: F401 - loaded before the cap, as a reader would load it
        import pyarrow.parquet  # noqa: F401
        have_arrow = True
    except ImportError:
        have_arrow = False
    warm = os.path.join(tempfile.mkdtemp(), "warm.dat")
    with open(warm, "w") as f:
        f.write("1 2\n2 3\n")
    tio.read_transactions(warm)  # the engine loaded before the cap, too
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + CAP, resource.RLIM_INFINITY))
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    names = ["1", "22", "007", "milk", "whole milk", "Milk, 2%", 'a"b', "ü😀", "{x}", "-3"]
    def valid(kind):
        baskets = [rng.sample(names, rng.randint(0, 5)) for _ in range(rng.randint(1, 30))]
        if kind == "fimi":
            ends = ["\n", "\r\n", "\r"]
            return "".join(" ".join(x.replace(" ", "_") for x in b) + rng.choice(ends) for b in baskets).encode()
        if kind == "basket":
            return "".join(";".join(b) + "\n" for b in baskets).encode()
        rows = [(t, x) for t, b in enumerate(baskets) for x in b] or [(0, "a")]
        df = pd.DataFrame(rows, columns=["order", "product"])
        if kind == "csv":
            return df.to_csv(index=False).encode()
        buf = io.BytesIO()
        df.to_parquet(buf)
        return buf.getvalue()

    def mutate(data):
        data = bytearray(data)
        for _ in range(rng.randint(1, 6)):
            op = rng.randrange(8)
            at = rng.randrange(len(data) + 1)
            if op == 0 and data:
                data[min(at, len(data) - 1)] = rng.randrange(256)
            elif op == 1:
                data[at:at] = rng.choice([b"\x00", b'"', b"\r", b"\n", b",", b";", b"\xff", b"\xef\xbb\xbf", b"\t"])
            elif op == 2:
                del data[at:at + rng.randint(1, 16)]
            elif op == 3:
                data[at:at] = data[max(0, at - 32):at] * rng.randint(1, 4)
            elif op == 4:
                data = data[:at]
            elif op == 5:
                data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 24)))
            elif op == 6:
                data[at:at] = b'"' + b"x" * rng.randint(0, 40)
            else:
                data[at:at] = b"PAR1"
        return bytes(data)

    kinds = ["fimi", "basket", "csv"] + (["parquet"] if have_arrow else [])
    ext = {"fimi": ".dat", "basket": ".basket", "csv": ".csv", "parquet": ".parquet", "bytes": ".txt"}
    tmp = tempfile.mkdtemp()
    outcome, failures = {"ok": 0, "ReadError": 0}, []
    for k in range(N):
        kind = rng.choice(kinds + ["bytes"])
        if kind == "bytes":
            data = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 100, 2000])))
        else:
            data = mutate(valid(kind)) if rng.random() < 0.9 else valid(kind)
        if rng.random() < 0.15:
            data = gzip.compress(data, mtime=0)
            if rng.random() < 0.5:
                data = mutate(data)
        path = os.path.join(tmp, f"in{ext[kind]}")
        with open(path, "wb") as f:
            f.write(data)
        fmt = rng.choice([None, None, None, "fimi", "basket", "long"])
        try:
            tr = tio.read_transactions(path, fmt)
            assert tr.n_transactions >= 0 and len(tr.item_ids) == len(tr.txn_ids)
            outcome["ok"] += 1
        except tio.ReadError as e:
            assert str(e) and "\n" not in str(e), repr(e)
            outcome["ReadError"] += 1
        except BaseException as e:  # noqa: BLE001 - every other type is a finding
            failures.append({"kind": kind, "format": fmt, "error": f"{type(e).__name__}: {e}"[:300],
                             "data": data[:200].hex()})

    # Endless lines and binary streams, far larger than a block: refused within one block
    # and a name's worth of bytes, never held whole.
    big = {}
    for name, chunk in (("newline-free text", b"abcdefgh" * 8192), ("NUL bytes", b"\0" * 65536),
                        ("one endless quoted field", b"q" * 65536)):
        path = os.path.join(tmp, "big.csv" if name.startswith("one") else "big.dat")
        with open(path, "wb") as f:
            if name.startswith("one"):
                f.write(b'order,product\n1,"')
            for _ in range((96 << 20) // len(chunk)):  # 96 MiB
                f.write(chunk)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            tio.read_transactions(path, "long" if name.startswith("one") else None)
            big[name] = "read"
        except tio.ReadError as e:
            big[name] = str(e).split(", ", 1)[1]
        except MemoryError:
            big[name] = "MemoryError"
        os.unlink(path)
    rss_growth_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0) / 1024
    print(json.dumps({"outcome": outcome, "failures": failures[:10], "n_failures": len(failures), "big": big,
                      "rss_growth_mb": rss_growth_mb}))
""")

# Address space the readers may take beyond what the imports and the worker pool took:
# two 8 MiB blocks, one name of at most 8 MiB, and the allocator's slack, with room to spare.
CAP_MB = 384


@pytest.mark.skipif(SANITIZED, reason="address-space limits do not mix with the sanitizer's shadow memory")
def test_readers_survive_hostile_input_within_a_memory_ceiling():
    # One malloc arena: each further one would reserve 64 MiB of address space, which says
    # nothing about the memory a reader uses but would eat the cap.
    env = {**os.environ, "MALLOC_ARENA_MAX": "1"}
    r = subprocess.run(
        [sys.executable, "-c", CHILD, str(CAP_MB << 20), "3000"], capture_output=True, text=True, timeout=600, env=env
    )
    assert r.returncode == 0, r.stderr[-3000:]
    report = json.loads(r.stdout.strip().splitlines()[-1])
    assert report["n_failures"] == 0, report["failures"]
    # both outcomes are met, so the fuzzing reaches past the first check
    assert report["outcome"]["ok"] > 100 and report["outcome"]["ReadError"] > 100, report["outcome"]
    assert report["big"] == {
        "newline-free text": "line 1: a name or field longer than 8 MiB; this does not look like a transaction file",
        "NUL bytes": "line 1: NUL byte; this is not a text file",
        "one endless quoted field": "line 2: a quoted field opens here and is never closed",
    }
    assert report["rss_growth_mb"] < 160, report["rss_growth_mb"]
