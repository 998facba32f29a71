"""Runs one tool on one dataset and setting, in a process of its own.

Called by compare.py as ``python3 runner.py JOB.json``. The job names the tool, the
dataset file (.npz written by compare.py), the setting and the output pickle. The child
prepares the tool's input, resets the kernel's peak-RSS mark, runs the tool once, and
writes the timings, the memory figures and the tool's normalised answer.

Memory is read from /proc/self/status: VmHWM is the peak resident set size, and writing
"5" to /proc/self/clear_refs resets it, so the peak of the mining call alone can be told
apart from the interpreter, the imports and the input preparation.
"""

from __future__ import annotations

import gc
import json
import os
import pickle
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402

# Repeats stop once the runs so far took this long: slow tools run once.
REPEAT_BUDGET_S = 3.0


def status_kb() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                key, value = line.split(":")
                out[key] = int(value.split()[0])
    return out


def release_free_heap() -> None:
    """Hands freed heap pages back to the kernel, so that a tool reusing memory the set-up
    freed still shows up in the peak of its call."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main(job_path: str) -> int:
    with open(job_path) as f:
        job = json.load(f)
    result = {"tool": job["tool"], "status": "error"}
    try:
        tool = peers.TOOLS[job["tool"].split("@")[0]]
        data = peers.load(job["data"])
        setting = peers.Setting(**job["setting"])
        t0 = time.perf_counter()
        prepared = tool.prepare(data, setting) if tool.prepare_takes_setting else tool.prepare(data)
        result["prep_s"] = time.perf_counter() - t0
        gc.collect()
        release_free_heap()
        before = status_kb()
        result["setup_hwm_kb"] = before["VmHWM"]
        result["peak_reset"] = reset_peak()
        base = status_kb()["VmRSS"]
        times = []
        cpus = []  # process CPU time of each run: on two workers, both workers' time
        raw = None
        try:
            # best of a few runs against the noise of a shared machine, within a small budget
            while len(times) < job.get("repeat", 1) and sum(times) < REPEAT_BUDGET_S:
                raw = None  # the previous answer is not kept alive across a run
                c0 = time.process_time()
                t0 = time.perf_counter()
                raw = tool.mine(prepared, setting)
                times.append(time.perf_counter() - t0)
                cpus.append(time.process_time() - c0)
        except NotImplementedError as e:
            result.update(status="not_implemented", error=str(e))
            raw = None
            times.append(0.0)
        result["mine_s"] = min(times)
        result["mine_cpu_s"] = cpus[times.index(min(times))] if cpus else 0.0
        result["runs"] = len(times)
        after = status_kb()
        result["base_rss_kb"] = base
        result["mine_hwm_kb"] = after["VmHWM"]
        # extra memory the call needed on top of what the process held before it
        result["mine_extra_kb"] = max(0, after["VmHWM"] - base)
        result["peak_rss_kb"] = max(after["VmHWM"], before["VmHWM"])
        if raw is not None:
            result["answer"] = tool.answer(raw, data)
            result["status"] = "ok"
    except Exception as e:  # reported to the parent, which records the failure
        result.update(status="error", error=f"{type(e).__name__}: {e}", trace=traceback.format_exc())
    with open(job["out"], "wb") as f:
        pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
