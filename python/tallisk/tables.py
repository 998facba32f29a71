"""Itemset tables in engine form, for code that works with the arrays themselves.

An itemset table in engine form is CSR: row ``r`` is the set of item ids
``items[offsets[r]:offsets[r + 1]]`` (ascending), held by ``counts[r]`` transactions;
item id ``i`` has label ``labels[i]``. :func:`itemsets_frame` turns such arrays into the
package's labelled table, :func:`itemsets_to_arrays` reads any itemset table back into
them, and :func:`to_arrow` gives a table as Arrow columns.

    >>> import tallisk
    >>> from tallisk.tables import itemsets_to_arrays, itemsets_frame
    >>> df = tallisk.frequent_itemsets([["tea", "milk"], ["tea"]], min_count=1)
    >>> a = itemsets_to_arrays(df)
    >>> itemsets_frame(a.offsets, a.items, a.counts, a.labels, 2, 1).equals(df)
    True
"""

from ._tables import ItemsetArrays, canonical_order, itemsets_frame, itemsets_to_arrays, to_arrow

__all__ = ["ItemsetArrays", "canonical_order", "itemsets_frame", "itemsets_to_arrays", "to_arrow"]
