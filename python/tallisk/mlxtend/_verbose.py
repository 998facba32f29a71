"""Verbose lines in mlxtend's formats, from the sets found (mlxtend prints them while it
searches; the counts are those of its search, the order that of the prefix tree)."""

from __future__ import annotations

import numpy as np

from ._sets import Sets, preorder


def _extension_counts(sets: Sets) -> tuple[Sets, np.ndarray]:
    """For the sets in lexicographic order: how many sets extend each one by one larger
    item (its children in the prefix tree)."""
    order = preorder(sets)
    s = sets.take(order)
    lens = s.lengths()
    # the parent of a set in lexicographic order is the nearest earlier set one shorter
    # that is its prefix; in preorder it is the last earlier set of length len-1
    parent = np.full(len(s), -1, np.int64)
    last_at: dict[int, int] = {}
    for r, length in enumerate(lens.tolist()):
        parent[r] = last_at.get(length - 1, -1)
        last_at[length] = r
    children = np.bincount(parent[parent >= 0], minlength=len(s))
    return s, children


def print_prefix_lines(sets: Sets, max_len: int | None, df, use_colnames: bool, fmt: str, root: bool = False) -> None:
    """One line per searched prefix with the number of sets found one item deeper (and,
    with ``root``, a first line for the empty prefix, as the FP-tree search prints)."""
    s, children = _extension_counts(sets)
    names = list(df.columns)
    if root:
        print(fmt % (int(np.sum(s.lengths() == 1)), ""), end="\n")
    for r in range(len(s)):
        row = s.items[s.offsets[r] : s.offsets[r + 1]].tolist()
        if max_len and len(row) >= max_len:
            continue
        shown = ", ".join(str(names[i]) if use_colnames else str(i) for i in row)
        print(fmt % (children[r], shown), end="\n")


def apriori_candidate_counts(sets: Sets, max_len) -> list[tuple[int, int, int]]:
    """(level k, candidates mlxtend builds for level k, frequent sets of level k) for
    every level mlxtend reaches: candidates are the k-sets whose (k-1)-subsets are all
    frequent."""
    lens = sets.lengths()
    levels = []
    k = 1
    prev = {tuple(sets.items[sets.offsets[r] : sets.offsets[r + 1]].tolist()) for r in np.flatnonzero(lens == 1)}
    while prev and k < (max_len or float("inf")):
        k += 1
        ordered = sorted(prev)
        n_cand = 0
        for i, a in enumerate(ordered):
            for b in ordered[i + 1 :]:
                if a[:-1] != b[:-1]:
                    break
                cand = a + (b[-1],)
                if all(cand[:j] + cand[j + 1 :] in prev for j in range(len(cand) - 2)):
                    n_cand += 1
        if n_cand == 0:
            break
        cur = {tuple(sets.items[sets.offsets[r] : sets.offsets[r + 1]].tolist()) for r in np.flatnonzero(lens == k)}
        levels.append((k, n_cand, len(cur)))
        if not cur:
            break
        prev = cur
    return levels
