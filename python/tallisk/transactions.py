"""The one input object: transactions factorised once, reused for many questions."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import _engine
from ._onehot import onehot_codes
from ._validation import Int, Param, declare

__all__ = ["Transactions", "TransactionsSummary", "as_transactions"]


# ---- label factorisation ----------------------------------------------------------------


def missing_error(what: str, where: str) -> ValueError:
    return ValueError(
        f"{what} holds a missing value (None or NaN) at {where}. Missing labels are not "
        "items: drop those rows first (e.g. df.dropna(subset=[...])), or give them a label of their own "
        "(e.g. df.fillna('unknown'))."
    )


def _sort_order(uniques: pd.Index) -> np.ndarray | None:
    """Positions that sort the labels, or None when they do not compare with each other."""
    try:
        return np.asarray(uniques.argsort(), dtype=np.int64)
    except TypeError:
        return None


def factorize_labels(
    values: Any, what: str, *, sort: bool = True, where: Callable[[int], str] | None = None
) -> tuple[np.ndarray, pd.Index]:
    """Labels -> (integer codes, uniques).

    Categoricals keep their category order (unused categories dropped); other labels are
    sorted when they compare with each other (numbers, strings), otherwise kept in order of
    first appearance. Missing values raise a ValueError naming the first one
    (``where(position)`` describes it; default "position N").
    """
    codes, rank, labels = _factorize_ranked(values, what, sort, where)
    return (codes if rank is None else rank[codes]), labels


def _column_values(values: Any) -> Any:
    """The array behind a Series or Index (NumPy for NumPy dtypes, else the extension
    array); anything else as it is."""
    if isinstance(values, pd.Series | pd.Index):
        return values.to_numpy() if isinstance(values.dtype, np.dtype) else values.array
    return values


def _factorize_ranked(
    values: Any, what: str, sort: bool, where: Callable[[int], str] | None, *, runs: bool = True
) -> tuple[np.ndarray, np.ndarray | None, pd.Index]:
    """Labels -> (codes, the rank of each code in label order or None when the codes are
    in it already, labels in label order), as :func:`factorize_labels` orders them; the
    codes are left for the caller to map, where it passes over them anyway. ``runs=False``:
    the caller has found the labels not to be runs of integers that never decrease."""
    if where is None:
        where = "position {}".format
    values = _column_values(values)
    if isinstance(values, pd.Categorical | pd.CategoricalDtype) or isinstance(
        getattr(values, "dtype", None), pd.CategoricalDtype
    ):
        cat = pd.Categorical(values)
        codes = np.asarray(cat.codes, dtype=np.int64)
        categories = cat.categories
        if codes.size and codes.min() < 0:
            raise missing_error(what, where(int(np.flatnonzero(codes < 0)[0])))
        used = np.bincount(codes, minlength=len(categories)) > 0
        if not used.all():
            remap = np.cumsum(used) - 1
            codes = remap[codes]
            categories = categories[used]
        return codes, None, pd.Index(categories)
    if not isinstance(values, np.ndarray | pd.api.extensions.ExtensionArray):
        values = _object_array(values)
    found = _run_sizes(values) if runs else None
    if found is not None:
        sizes, labels = found
        return np.repeat(np.arange(sizes.size, dtype=np.int64), sizes), None, labels
    arrow = _arrow_factorize(values)
    codes, uniques = arrow if arrow is not None else pd.factorize(values, sort=False)
    codes = np.asarray(codes)  # int32 from Arrow, intp from pandas: kept, a copy of each row saved
    if codes.size and codes.min() < 0:
        raise missing_error(what, where(int(np.flatnonzero(codes < 0)[0])))
    rank, labels = _label_order(uniques, sort, codes.dtype)
    return codes, rank, labels


def _label_order(uniques: Any, sort: bool, dtype: Any) -> tuple[np.ndarray | None, pd.Index]:
    """Uniques in first-appearance order -> (the rank of each in label order, or None when
    they keep their order, and the uniques in label order when they compare with each
    other (and ``sort``), as an Index of the dtype the labels would have in a column)."""
    uniques = pd.Index(uniques, tupleize_cols=False)
    if uniques.dtype == object and hasattr(uniques, "infer_objects"):
        # Labels read from Python objects get the dtype they would have in a column.
        uniques = uniques.infer_objects()
    if sort and len(uniques) > 1:
        order = _sort_order(uniques)
        if order is not None and not (order[1:] > order[:-1]).all():
            rank = np.empty(order.size, dtype=dtype)
            rank[order] = np.arange(order.size, dtype=dtype)
            return rank, uniques[order]
    return None, uniques


def _baskets_in_order(baskets: Any, what: str, unit: str) -> tuple[np.ndarray, np.ndarray, np.ndarray | None, pd.Index]:
    """Collections of labels -> the number of labels of each, the code of every label in
    order of first appearance (collection after collection), the rank of each code in
    label order (None: the same) and the labels, as :func:`factorize_baskets` orders them."""
    if not isinstance(baskets, list):
        baskets = baskets.tolist() if isinstance(baskets, np.ndarray) else list(baskets)
    out = _engine.factorize_baskets(baskets)
    sizes, codes, uniques = out["sizes"], out["codes"], out["uniques"]
    if uniques.size:
        missing = np.flatnonzero(pd.isna(uniques))
        if missing.size:
            pos = int(np.flatnonzero(np.isin(codes, missing))[0])
            basket = int(np.searchsorted(np.cumsum(sizes), pos, side="right"))
            raise missing_error(what, f"{unit} {basket}")
    rank, labels = _label_order(uniques, True, codes.dtype)
    return sizes, codes, rank, labels


def factorize_baskets(baskets: Any, what: str, unit: str = "basket") -> tuple[np.ndarray, np.ndarray, pd.Index]:
    """Collections of labels (a list or object array of lists, tuples, sets, ...) -> the
    number of labels of each, the code of every label (collection after collection) and
    the labels, factorised natively in one pass and ordered as :func:`factorize_labels`
    orders them. A missing label raises a ValueError naming its ``unit`` ("basket 3")."""
    sizes, codes, rank, labels = _baskets_in_order(baskets, what, unit)
    return sizes, (codes if rank is None else rank[codes]), labels


# Arrow strings per piece when a long column is encoded on several threads: enough that
# starting a thread and merging the dictionaries are small beside encoding the piece.
ARROW_PIECE_ROWS = 1 << 20


def _arrow_factorize(values: Any) -> tuple[np.ndarray, pd.Index] | None:
    """pd.factorize for Arrow-backed strings (pandas 3's default), done by Arrow with the
    system allocator: Arrow's default pool reserves and touches several MB on first use,
    which would be most of the peak memory on small tables. Codes are int32 (-1 for
    missing). None when the values are not Arrow strings or Arrow is not usable."""
    dtype = getattr(values, "dtype", None)
    if not hasattr(values, "__arrow_array__") or getattr(dtype, "kind", None) not in ("O", "U"):
        return None
    if not (isinstance(dtype, pd.StringDtype) or "string" in str(dtype)):
        return None
    try:
        import pyarrow as pa
        import pyarrow.compute as pc

        pool = pa.system_memory_pool()
        data = pa.array(values)
        if isinstance(data, pa.ChunkedArray):
            data = data.combine_chunks(memory_pool=pool) if data.num_chunks != 1 else data.chunk(0)
        # Long columns are encoded a piece per engine thread (Arrow lets go of the GIL),
        # then given one dictionary: the first piece's values, then each later piece's
        # new ones, which is the order of first appearance over the whole column.
        n_pieces = min(_engine.get_num_threads(), len(data) // ARROW_PIECE_ROWS)
        bounds = np.linspace(0, len(data), max(n_pieces, 1) + 1).astype(np.int64)
        pieces = [data.slice(b, e - b) for b, e in zip(bounds[:-1], bounds[1:], strict=True)]
        if len(pieces) > 1:
            with ThreadPoolExecutor(len(pieces)) as workers:
                encoded = list(workers.map(lambda piece: pc.dictionary_encode(piece, memory_pool=pool), pieces))
            whole = pa.chunked_array(encoded).unify_dictionaries(memory_pool=pool)
        else:
            whole = pa.chunked_array([pc.dictionary_encode(data, memory_pool=pool)])
        codes = np.empty(len(data), dtype=np.int32)
        for b, chunk in zip(bounds[:-1], whole.chunks, strict=True):
            codes[b : b + len(chunk)] = chunk.indices.fill_null(-1).to_numpy(zero_copy_only=False)
        uniques = pd.Index(pd.array(whole.chunk(0).dictionary.to_pylist(), dtype=dtype))
    except Exception:  # any surprise: the general route below
        return None
    return codes, uniques


def _run_sizes(values: Any) -> tuple[np.ndarray, pd.Index] | None:
    """The lengths of the runs of integer labels that never decrease (orders exported
    sorted by number), and the label of each run: the rows come grouped, so nothing needs
    hashing or regrouping. None for anything else."""
    if not isinstance(values, np.ndarray) or values.dtype.kind not in "iu" or values.size < 2:
        return None
    if not bool((values[1:] >= values[:-1]).all()):
        return None
    starts = np.flatnonzero(values[1:] != values[:-1]) + 1
    bounds = np.concatenate(([0], starts, [values.size]))
    return np.diff(bounds), pd.Index(values[bounds[:-1]])


def _object_array(values: Iterable[Any]) -> np.ndarray:
    """A 1-D object array of the given labels, tuples kept whole (np.array would make
    a 2-D array of a list of tuples)."""
    if not isinstance(values, list | tuple):
        values = list(values)
    return np.fromiter(values, dtype=object, count=len(values))


# ---- dedup ------------------------------------------------------------------------------


def _dedup(codes: list[np.ndarray], n_transactions: int) -> tuple[np.ndarray, np.ndarray]:
    """[txn codes, item codes] -> (txn, item) pairs sorted by transaction then item id,
    each once: a native counting sort by transaction (the codes are dense), then a sort
    of each transaction's items. The list is emptied, so the caller's codes can be freed
    as soon as they are read (the peak memory of a large input is a few arrays of its
    length)."""
    item = np.asarray(codes.pop())
    item = item if item.dtype == np.int32 else item.astype(np.int32)
    txn = np.asarray(codes.pop())
    txn = txn if txn.dtype == np.int64 else txn.astype(np.int64)
    out = _engine.group_pairs(txn, item, int(n_transactions))
    return out["txn_ids"], out["item_ids"]


# ---- the object -------------------------------------------------------------------------


@dataclass(frozen=True)
class TransactionsSummary:
    """What :meth:`Transactions.summary` shows; ``str()`` gives the printed form."""

    n_transactions: int
    n_items: int
    n_occurrences: int
    density: float
    most_frequent: pd.Series
    size_distribution: pd.Series
    size_stats: pd.Series

    def __str__(self) -> str:
        lines = [
            f"transactions: {self.n_transactions} rows (transactions) x {self.n_items} columns (items), "
            f"{self.n_occurrences} occurrences, density {self.density:.6g}",
            "",
            "most frequent items:",
        ]
        if len(self.most_frequent):
            lines.append(self.most_frequent.to_string())
        lines += ["", "basket sizes (size: transactions):"]
        if len(self.size_distribution):
            lines.append(self.size_distribution.to_string())
        lines += ["", self.size_stats.to_frame().T.to_string(index=False)]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return str(self)


class Transactions:
    """Transactions with their items factorised once.

    Item id ``i`` has label ``items[i]``. Item ids follow the label order when labels
    compare with each other (numbers, strings), the category order for categoricals,
    and the order of first appearance otherwise; only labels that occur are items
    (unused categories and all-false one-hot columns are dropped). Labels may be any
    hashable value; a missing label (None, NaN, pd.NA) raises a ValueError naming its
    position: it would be ambiguous (an unknown item or no item), so it is neither an
    item nor silently dropped.

    A (transaction, item) pair given more than once counts once. The engine arrays
    ``txn_ids`` (int64, dense ``0 … n_transactions - 1``) and ``item_ids`` (int32) hold
    one row per distinct pair, sorted by transaction, then item id.

    Build with :meth:`from_long`, :meth:`from_baskets` or :meth:`from_onehot`.
    """

    __slots__ = ("_txn_ids", "_item_ids", "_items", "_n_transactions", "_transactions", "_cache")
    _txn_ids: np.ndarray  # int64, one per distinct (transaction, item), sorted
    _item_ids: np.ndarray  # int32, alongside
    _items: pd.Index  # item id i has label _items[i]
    _n_transactions: int  # empty baskets included
    _transactions: pd.Index | None  # transaction labels; None: positions
    _cache: dict[str, Any]  # derived arrays (item counts, basket sizes)

    def __init__(self) -> None:
        raise TypeError("Build Transactions with Transactions.from_long, from_baskets or from_onehot.")

    # -- constructors ---------------------------------------------------------------------

    @classmethod
    def _make(
        cls,
        txn_ids: np.ndarray,
        item_ids: np.ndarray,
        items: pd.Index,
        n_transactions: int,
        transactions: pd.Index | None,
    ) -> Transactions:
        self = object.__new__(cls)
        self._txn_ids = txn_ids
        self._item_ids = item_ids
        self._items = items
        self._n_transactions = int(n_transactions)
        self._transactions = transactions
        self._cache = {}
        for arr in (txn_ids, item_ids):
            arr.flags.writeable = False
        return self

    @classmethod
    def from_codes(
        cls,
        txn_codes: Any,
        item_codes: Any,
        items: Any,
        n_transactions: int,
        transactions: Any = None,
    ) -> Transactions:
        """Transactions from dense integer codes, as file readers produce them.

        Parameters
        ----------
        txn_codes, item_codes : array-like of int
            One (transaction, item) pair per position: transactions in
            ``0 … n_transactions - 1`` (transactions no pair names are empty baskets),
            items in ``0 … len(items) - 1``. Repeated pairs count once.
        items : array-like
            ``items[i]`` is the label of item ``i``; kept whole, also items that never
            occur.
        n_transactions : int
            The number of transactions.
        transactions : array-like, optional
            Labels of the transactions, one each (default: their positions).

        Returns
        -------
        Transactions
            Pairs sorted by transaction, then item id, each once.

        Raises
        ------
        ValueError
            For codes outside their ranges, code arrays that are not 1-D of one length, or
            a number of transaction labels other than ``n_transactions``.
        TypeError
            For codes that are not integers.

        Examples
        --------
        >>> tr = tallisk.Transactions.from_codes([0, 0, 2], [1, 0, 1], ["milk", "tea", "sugar"], 3)
        >>> tr.to_baskets(), list(tr.items)
        ([['milk', 'tea'], [], ['tea']], ['milk', 'tea', 'sugar'])
        """
        txn = np.asarray(txn_codes)
        item = np.asarray(item_codes)
        items = pd.Index(items, tupleize_cols=False)
        n = int(n_transactions)
        if txn.ndim != 1 or item.ndim != 1 or txn.shape != item.shape:
            raise ValueError(f"txn_codes and item_codes must be 1-D of one length; got {txn.shape} and {item.shape}.")
        for name, arr, bound in (("txn_codes", txn, n), ("item_codes", item, len(items))):
            if arr.size and arr.dtype.kind not in "iu":
                raise TypeError(f"{name} must hold integers; got dtype {arr.dtype}.")
            if arr.size and (arr.min() < 0 or arr.max() >= bound):
                bad = int(np.flatnonzero((arr < 0) | (arr >= bound))[0])
                raise ValueError(f"{name}[{bad}] = {arr[bad]} is outside 0 … {bound - 1}.")
        if transactions is not None:
            transactions = pd.Index(transactions)
            if len(transactions) != n:
                raise ValueError(f"{len(transactions)} transaction labels for {n} transactions.")
        t, i = _dedup([txn, item], n)
        return cls._make(t, i, items, n, transactions)

    # The name readers used before the constructor was public.
    _from_codes = from_codes

    @classmethod
    def from_long(cls, data: Any = None, transaction: Any = None, item: Any = None) -> Transactions:
        """Transactions from long form: one row per (transaction, item).

        Parameters
        ----------
        data : DataFrame or array-like, optional
            A DataFrame whose columns ``transaction`` and ``item`` are read (a DataFrame
            of exactly two columns may leave both names out: transaction first, item
            second), or the transaction labels themselves.
        transaction, item : column name or array-like
            With a DataFrame, the two column names; without one, two array-likes
            (Series, arrays, lists) of one length: ``from_long(orders, products)`` or
            ``from_long(transaction=orders, item=products)``.

        Returns
        -------
        Transactions
            Every transaction label that appears is a transaction, in order of first
            appearance (``transactions`` keeps the labels); long form cannot express an
            empty basket, so every transaction holds at least one item. Items follow the
            label order (or the category order of a categorical column). A pair given
            more than once counts once.

        Raises
        ------
        KeyError
            For a column name the DataFrame does not have.
        ValueError
            For a missing label (None, NaN) in either column, naming its row; a column
            name the DataFrame holds more than once; arrays of different lengths.
        TypeError
            For column names without a DataFrame, or a missing argument.

        Examples
        --------
        >>> import pandas as pd
        >>> df = pd.DataFrame({"order": [7, 7, 9], "product": ["tea", "milk", "tea"]})
        >>> tr = tallisk.Transactions.from_long(df, transaction="order", item="product")
        >>> list(tr.items), tr.to_baskets()
        (['milk', 'tea'], [['milk', 'tea'], ['tea']])
        """
        if isinstance(data, pd.DataFrame):
            if transaction is None and item is None:
                if data.shape[1] != 2:
                    raise ValueError(
                        "Name the columns: Transactions.from_long(df, transaction=..., item=...); the DataFrame has "
                        f"{data.shape[1]} columns, so which two to use is not clear."
                    )
                transaction, item = data.columns[0], data.columns[1]
            for role, col in (("transaction", transaction), ("item", item)):
                if col is None or col not in data.columns:
                    raise KeyError(f"The {role} column {col!r} is not a column of the DataFrame.")
                if int((data.columns == col).sum()) > 1:
                    raise ValueError(
                        f"The {role} column {col!r} appears more than once among the DataFrame's columns; "
                        "give the columns distinct names (e.g. df.columns = [...])."
                    )
            txn_values, item_values = data[transaction], data[item]
        else:
            if data is not None:
                if item is not None:
                    raise TypeError("Give either a DataFrame with column names or two arrays, not three arguments.")
                txn_values, item_values = data, transaction
            else:
                txn_values, item_values = transaction, item
            if txn_values is None or item_values is None:
                raise TypeError("from_long needs a DataFrame with column names, or two arrays (transactions, items).")
            if isinstance(txn_values, str | bytes) or isinstance(item_values, str | bytes):
                raise TypeError("Column names need a DataFrame; without one, give two arrays of labels.")
            if not isinstance(txn_values, pd.Series | pd.Index | np.ndarray | pd.api.extensions.ExtensionArray):
                txn_values = _object_array(txn_values)
            if not isinstance(item_values, pd.Series | pd.Index | np.ndarray | pd.api.extensions.ExtensionArray):
                item_values = _object_array(item_values)
            if np.ndim(txn_values) != 1 or np.ndim(item_values) != 1:
                raise ValueError("The transaction and item arrays must be 1-dimensional.")
            if len(txn_values) != len(item_values):
                raise ValueError(
                    f"The transaction and item arrays differ in length: {len(txn_values)} and {len(item_values)}."
                )
        row = "row {}".format
        t_name = f"The transaction column {transaction!r}" if isinstance(data, pd.DataFrame) else "The transactions"
        i_name = f"The item column {item!r}" if isinstance(data, pd.DataFrame) else "The items"
        txn_values = _column_values(txn_values)
        runs = _run_sizes(txn_values)
        if runs is not None:
            # Grouped already: each run is a transaction, whose items are sorted as the
            # rows are laid out, their codes mapped to label order on the way.
            sizes, t_labels = runs
            del txn_values
            item_codes, rank, i_labels = _factorize_ranked(item_values, i_name, True, row)
            del item_values
            out = _engine.group_rows(
                sizes,
                np.ascontiguousarray(item_codes, dtype=np.int32),
                None if rank is None else np.ascontiguousarray(rank, dtype=np.int32),
            )
            return cls._make(out["txn_ids"], out["item_ids"], i_labels, len(t_labels), t_labels)
        # in first-appearance order (no rank to apply); the runs were looked for above
        t_codes, _, t_labels = _factorize_ranked(txn_values, t_name, False, row, runs=False)
        del txn_values
        codes = [t_codes]
        del t_codes
        i_codes, i_labels = factorize_labels(item_values, i_name, where=row)
        del item_values
        codes.append(i_codes)
        del i_codes
        t, i = _dedup(codes, len(t_labels))
        return cls._make(t, i, i_labels, len(t_labels), t_labels)

    @classmethod
    def from_baskets(cls, baskets: Iterable[Iterable[Any]]) -> Transactions:
        """Transactions from baskets, one per transaction.

        Parameters
        ----------
        baskets : iterable of iterables
            Lists, tuples, sets (any iterable but a string) of hashable labels. An empty
            basket is a transaction with no items: it counts in ``n_transactions`` and
            lowers every support.

        Returns
        -------
        Transactions
            Labels equal as dict keys are (``1``, ``1.0`` and ``True`` are one label),
            numbered in label order when they compare with each other, else in order of
            first appearance. A label repeated within a basket counts once.

        Raises
        ------
        ValueError
            For a missing label (None, NaN, ``pd.NA``), naming its basket.
        TypeError
            For a basket that is a string or not iterable, naming it; an unhashable
            label; a DataFrame (use :meth:`from_long` or :meth:`from_onehot`).

        Examples
        --------
        >>> tr = tallisk.Transactions.from_baskets([["tea", "milk"], [], ["tea", "tea"]])
        >>> tr.n_transactions, list(tr.items), tr.to_baskets()
        (3, ['milk', 'tea'], [['milk', 'tea'], [], ['tea']])
        """
        if isinstance(baskets, pd.DataFrame):
            raise TypeError(
                "A DataFrame is not a list of baskets: use Transactions.from_long(df, transaction=..., item=...) "
                "or Transactions.from_onehot(df)."
            )
        if isinstance(baskets, str | bytes):
            raise TypeError("from_baskets takes an iterable of baskets, not a string.")
        baskets = baskets if isinstance(baskets, list) else list(baskets)
        sizes, codes, rank, labels = _baskets_in_order(baskets, "A basket", "basket")
        # the codes take their label-order ids as the rows are laid out, in one native pass
        out = _engine.group_rows(sizes, codes, rank)
        return cls._make(out["txn_ids"], out["item_ids"], labels, len(baskets), None)

    @classmethod
    def from_onehot(cls, data: Any, columns: Any = None) -> Transactions:
        """Transactions from a one-hot table: rows are transactions, columns items.

        Parameters
        ----------
        data : DataFrame, ndarray or SciPy sparse matrix
            Booleans or the numbers 0 and 1: a DataFrame (dense or with pandas sparse
            columns), a 2-D NumPy array, or a SciPy sparse matrix or array.
        columns : array-like, optional
            Labels of the columns (default: the DataFrame's columns, else ``0 … n-1``).

        Returns
        -------
        Transactions
            Every row is a transaction, all-false rows included (empty baskets);
            all-false columns are not items. Columns with the same label are one item.
            A DataFrame's index gives the transaction labels.

        Raises
        ------
        ValueError
            For a value other than a boolean, 0 or 1 (NaN included), data that is not
            2-dimensional, a number of ``columns`` labels other than the data's, or a
            missing column label.
        TypeError
            For data of another kind (a list of baskets: use :meth:`from_baskets`).

        Examples
        --------
        >>> df = pd.DataFrame({"milk": [True, False, True], "tea": [True, True, False]}, index=["a", "b", "c"])
        >>> tr = tallisk.Transactions.from_onehot(df)
        >>> tr.to_baskets(), list(tr.transactions)
        ([['milk', 'tea'], ['tea'], ['milk']], ['a', 'b', 'c'])
        """
        txn, item, n_rows, labels = onehot_codes(data, columns)
        col_codes, uniques = factorize_labels(labels, "The column labels", where="column {}".format)
        used = np.zeros(len(uniques), dtype=bool)
        mapped = col_codes[item] if item.size else np.zeros(0, np.int64)
        used[mapped] = True
        if not used.all():
            remap = np.cumsum(used) - 1
            mapped = remap[mapped]
            uniques = uniques[used]
        t, i = _dedup([txn, mapped], n_rows)
        transactions = data.index if isinstance(data, pd.DataFrame) else None
        return cls._make(t, i, uniques, n_rows, transactions)

    # -- properties -----------------------------------------------------------------------

    @property
    def n_transactions(self) -> int:
        """Number of transactions, empty baskets included."""
        return self._n_transactions

    @property
    def n_items(self) -> int:
        """Number of distinct items."""
        return len(self._items)

    @property
    def items(self) -> pd.Index:
        """The item labels; item id ``i`` has label ``items[i]``."""
        return self._items

    @property
    def transactions(self) -> pd.Index:
        """The transaction labels (position ``t`` is transaction id ``t``): the labels of
        long form, the index of a one-hot DataFrame, else ``RangeIndex``."""
        if self._transactions is None:
            return pd.RangeIndex(self._n_transactions)
        return self._transactions

    @property
    def txn_ids(self) -> np.ndarray:
        """Engine array: the transaction id (int64) of every distinct (transaction, item)."""
        return self._txn_ids

    @property
    def item_ids(self) -> np.ndarray:
        """Engine array: the item id (int32) of every distinct (transaction, item)."""
        return self._item_ids

    @property
    def n_occurrences(self) -> int:
        """Number of distinct (transaction, item) pairs."""
        return int(self._txn_ids.size)

    def _item_count_array(self) -> np.ndarray:
        if "item_counts" not in self._cache:
            self._cache["item_counts"] = np.bincount(self._item_ids, minlength=self.n_items).astype(np.int64)
        return self._cache["item_counts"]

    @property
    def item_counts(self) -> pd.Series:
        """Transactions holding each item (int64), indexed by item label, in item-id order."""
        return pd.Series(self._item_count_array(), index=self._items, name="count", copy=False)

    @property
    def basket_sizes(self) -> pd.Series:
        """Items in each transaction (int64), indexed by transaction label."""
        if "basket_sizes" not in self._cache:
            self._cache["basket_sizes"] = np.bincount(self._txn_ids, minlength=self._n_transactions).astype(np.int64)
        return pd.Series(self._cache["basket_sizes"], index=self.transactions, name="size", copy=False)

    # -- views ----------------------------------------------------------------------------

    @declare(Param("top", Int(0), help="most frequent items to list"))
    def summary(self, top: int = 5) -> TransactionsSummary:
        """Counts, density, the most frequent items and the basket-size distribution, as
        R's arules shows them; print it for the text form.

        Parameters
        ----------
        top : int, default 5
            How many of the most frequent items to list.

        Returns
        -------
        TransactionsSummary
            The figures as attributes; ``str()`` gives the printed form.

        Raises
        ------
        InvalidParameterError
            For a ``top`` that is not an int of at least 0.

        Examples
        --------
        >>> tr = tallisk.Transactions.from_baskets([["tea", "milk"], ["tea"], ["tea", "sugar"]])
        >>> s = tr.summary(top=2)
        >>> s.n_occurrences, s.most_frequent.to_dict(), s.size_distribution.to_dict()
        (5, {'tea': 3, 'milk': 1}, {1: 1, 2: 2})
        """
        sizes = self.basket_sizes.to_numpy()
        counts = self._item_count_array()
        order = np.argsort(-counts, kind="stable")[:top]
        most = pd.Series(counts[order], index=self._items[order], name="count")
        hist = np.bincount(sizes) if sizes.size else np.zeros(0, np.int64)
        present = np.flatnonzero(hist)
        dist = pd.Series(hist[present].astype(np.int64), index=pd.Index(present, name="size"), name="transactions")
        if sizes.size:
            q = np.quantile(sizes, [0.0, 0.25, 0.5, 0.75, 1.0])
            stats = pd.Series([q[0], q[1], q[2], sizes.mean(), q[3], q[4]])
        else:
            stats = pd.Series([np.nan] * 6)
        stats.index = ["min", "25%", "median", "mean", "75%", "max"]
        cells = self._n_transactions * self.n_items
        return TransactionsSummary(
            n_transactions=self._n_transactions,
            n_items=self.n_items,
            n_occurrences=self.n_occurrences,
            density=self.n_occurrences / cells if cells else 0.0,
            most_frequent=most,
            size_distribution=dist,
            size_stats=stats,
        )

    def to_long(self) -> pd.DataFrame:
        """The distinct (transaction, item) rows with their labels.

        Returns
        -------
        DataFrame
            Columns ``transaction`` and ``item``, sorted by transaction, then item id.

        Examples
        --------
        >>> tallisk.Transactions.from_baskets([["tea", "milk"], ["tea"]]).to_long()
           transaction  item
        0            0  milk
        1            0   tea
        2            1   tea
        """
        return pd.DataFrame(
            {"transaction": self.transactions.take(self._txn_ids), "item": self._items.take(self._item_ids)}
        )

    def to_baskets(self) -> list[list[Any]]:
        """Baskets as lists of labels in item-id order, empty baskets included.

        Returns
        -------
        list of list
            One list of item labels per transaction.

        Examples
        --------
        >>> tallisk.Transactions.from_baskets([["tea", "milk"], [], ["tea"]]).to_baskets()
        [['milk', 'tea'], [], ['tea']]
        """
        labels = self._items.to_numpy(dtype=object)[self._item_ids].tolist()
        cuts = np.cumsum(np.bincount(self._txn_ids, minlength=self._n_transactions))
        starts = np.concatenate(([0], cuts[:-1])) if cuts.size else cuts
        return list(map(labels.__getitem__, map(slice, starts.tolist(), cuts.tolist())))

    def equals(self, other: Any) -> bool:
        """Whether two Transactions hold the same baskets.

        Parameters
        ----------
        other : object
            Anything; only a Transactions can be equal.

        Returns
        -------
        bool
            True for the same transactions (by position) and the same items with the same
            labels (compared by value: an object and a string Index of the same labels
            are equal). Transaction labels are not compared.

        Raises
        ------
        None
            Any ``other`` is compared; one of another type is not equal.

        Examples
        --------
        >>> a = tallisk.Transactions.from_baskets([["tea", "milk"], ["tea"]])
        >>> a.equals(tallisk.Transactions.from_baskets([("milk", "tea"), ("tea", "tea")]))
        True
        >>> a.equals([["tea", "milk"], ["tea"]])
        False
        """
        return (
            isinstance(other, Transactions)
            and self._n_transactions == other._n_transactions
            and _same_labels(self._items, other._items)
            and np.array_equal(self._txn_ids, other._txn_ids)
            and np.array_equal(self._item_ids, other._item_ids)
        )

    def __len__(self) -> int:
        return self._n_transactions

    def __repr__(self) -> str:
        return (
            f"<Transactions: {self._n_transactions} transactions, {self.n_items} items, "
            f"{self.n_occurrences} occurrences>"
        )


def _same_labels(a: pd.Index, b: pd.Index) -> bool:
    """Equal labels in the same order, whatever the Index dtype (object vs string)."""
    if len(a) != len(b):
        return False
    if a.equals(b):
        return True
    return bool((a.to_numpy(dtype=object) == b.to_numpy(dtype=object)).all())


def as_transactions(data: Any, func: str) -> Transactions:
    """A Transactions as given, or built from a list (iterable) of baskets."""
    if isinstance(data, Transactions):
        return data
    if isinstance(data, pd.DataFrame | pd.Series | np.ndarray | str | bytes) or data is None:
        raise TypeError(
            f"{func} takes a Transactions or a list of baskets; got {type(data).__name__}. Build one with "
            "Transactions.from_long(df, transaction=..., item=...), Transactions.from_onehot(df) or "
            "Transactions.from_baskets(baskets)."
        )
    return Transactions.from_baskets(data)
