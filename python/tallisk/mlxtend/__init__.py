"""A drop-in for ``mlxtend.frequent_patterns`` computed by the tallisk engine.

Replace ``from mlxtend.frequent_patterns import apriori, association_rules`` with
``from tallisk.mlxtend import apriori, association_rules`` and keep the rest of the
code: the five functions take mlxtend 0.25's parameters with its defaults, return the
same tables (columns, dtypes, values, frozensets of column positions or names) and
raise or warn the same way on the same inputs.

Row order
---------
* ``apriori``: by itemset length, then lexicographically by column position, as mlxtend.
* ``hmine``: lexicographically by column position (a set before its extensions), as mlxtend.
* ``fpgrowth``, ``fpmax``: mlxtend's order follows the insertion order of its FP-tree's
  nodes, an artefact of its tree; ours is that of ``apriori`` (length, then column
  positions).
* ``association_rules``: the itemsets in the order of the input table (a repeated itemset
  counts once, at its first row, with the support of its last row, as in mlxtend); for one
  itemset, antecedents from the longest to the shortest, and for one length in
  lexicographic order of the itemset's items (sorted by their natural order when they are
  mutually comparable, by first appearance in the table otherwise). mlxtend walks
  ``itertools.combinations`` over the frozenset itself, so within one itemset it follows
  set iteration order (hash order for strings, which changes with PYTHONHASHSEED).

Where we knowingly differ
-------------------------
* A frame with columns but no rows gives an empty table without RuntimeWarnings
  (mlxtend divides by zero; its ``hmine`` then returns every itemset with NaN support).
* ``hmine``'s ``support`` column is float64 (mlxtend's is object, built by transposing a
  mixed frame).
* ``fpmax(max_len=k)`` returns the maximal frequent itemsets that have at most k items.
  mlxtend stops its search at depth k and can then return a non-maximal set.
* ``fpgrowth``/``fpmax`` ``verbose`` lines have mlxtend's format, one line per searched
  prefix; their number and order differ as the trees differ. ``hmine``'s lines also work
  with non-string column names (mlxtend raises a TypeError joining them).
* ``association_rules`` computes mlxtend's metrics with the same formulas and the same
  floating-point operations, without RuntimeWarnings when a consequent has support 1.
* The DeprecationWarning for non-bool frames points at the caller; we do not change the
  process-wide warning filters as importing mlxtend does.

How it is built
---------------
Thin adapters over the package: the frame becomes engine input through the package's one
one-hot path (``_frame``), the four miners are the engine's search with mlxtend's
thresholds and row orders (``_miners``), rules are the engine's rule generation with
mlxtend's formulas (``_rules``), the frozenset columns come from the table layer's native
materialiser (``_sets``), and mlxtend's checks and messages live in one place
(``_messages``).
"""

from ._miners import apriori, fpgrowth, fpmax, hmine
from ._rules import association_rules

__all__ = ["apriori", "association_rules", "fpgrowth", "fpmax", "hmine"]
