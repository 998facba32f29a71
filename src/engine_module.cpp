// Module entry and function table of tallisk._engine, the package's own engine: every
// frequent itemset (all, closed or maximal), association rules of every shape, and
// exact counts of given itemsets. It shares the compute core and the boundary layer
// with _tallisk_rs but has no inherited contract, so its errors follow Python's
// conventions: ValueError for bad data, TypeError for bad types, MemoryError.
#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "boundary.hpp"
#include "engine/count.hpp"
#include "engine/data.hpp"
#include "engine/mine.hpp"
#include "engine/rules.hpp"

namespace tallisk {
namespace {

using py::ArrayView;
using py::Dtype;
using py::Ref;

// ---- scalar arguments -----------------------------------------------------------------

//! An integer argument in [lo, hi]: TypeError for a non-integer, ValueError naming the
//! argument for a value outside the range.
int64_t int_arg(PyObject* obj, const char* name, int64_t lo, int64_t hi, const char* rule) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer, got '%s'", name, Py_TYPE(obj)->tp_name);
        throw py::ErrorAlreadySet{};
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_Format(PyExc_ValueError, "%s must be %s, got %S", name, rule, index.get());
        throw py::ErrorAlreadySet{};
    }
    return v;
}

std::optional<int64_t> opt_int_arg(PyObject* obj, const char* name, int64_t lo, int64_t hi, const char* rule) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return int_arg(obj, name, lo, hi, rule);
}

constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
// Item ids are int32, so no id reaches beyond this item space.
constexpr int64_t kMaxItems = int64_t{1} << 31;

engine::Target target_arg(PyObject* obj) {
    if (obj == nullptr) return engine::Target::all;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'target': expected str, got '%s'", Py_TYPE(obj)->tp_name);
        throw py::ErrorAlreadySet{};
    }
    if (PyUnicode_CompareWithASCIIString(obj, "all") == 0) return engine::Target::all;
    if (PyUnicode_CompareWithASCIIString(obj, "closed") == 0) return engine::Target::closed;
    if (PyUnicode_CompareWithASCIIString(obj, "maximal") == 0) return engine::Target::maximal;
    PyErr_Format(PyExc_ValueError, "target must be 'all', 'closed' or 'maximal', got %R", obj);
    throw py::ErrorAlreadySet{};
}

Ref new_dict() { return Ref::checked(PyDict_New()); }

// ---- wrappers -----------------------------------------------------------------------

constexpr const char* kMineParams[] = {"txn_ids", "item_ids", "n_items", "min_count",
                                       "min_len", "max_len",  "target",  "max_itemsets"};
constexpr const char* kCountParams[] = {"txn_ids", "item_ids", "n_items", "offsets", "items"};

PyObject* mine_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"mine_itemsets", kMineParams, 4};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const int64_t n_items = int_arg(a[2], "n_items", 0, kMaxItems, "between 0 and 2**31");
        engine::MineOptions opt;
        // No set reaches a count beyond 32 bits: such a minimum behaves like the largest one.
        const int64_t min_count = int_arg(a[3], "min_count", 1, kMaxInt, "at least 1");
        opt.min_count = static_cast<uint32_t>(std::min<int64_t>(min_count, 0xFFFFFFFFLL));
        opt.min_len = a[4] ? static_cast<std::size_t>(int_arg(a[4], "min_len", 0, kMaxInt, "at least 0")) : 1;
        if (opt.min_len == 0) opt.min_len = 1;  // the empty set is never reported
        if (auto v = opt_int_arg(a[5], "max_len", 1, kMaxInt, "at least 1 (or None)"))
            opt.max_len = static_cast<std::size_t>(*v);
        opt.target = target_arg(a[6]);
        if (auto v = opt_int_arg(a[7], "max_itemsets", 0, kMaxInt, "at least 0 (or None)"))
            opt.max_itemsets = static_cast<uint64_t>(*v);
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();

        engine::MineResult out;
        {
            py::ReleaseGil nogil;
            engine::check_occurrences(txn_ids, item_ids, static_cast<uint64_t>(n_items));
            out = engine::mine(txn_ids, item_ids, static_cast<uint32_t>(n_items), opt);
        }
        Ref d = new_dict();
        py::dict_set(d.get(), "offsets", py::to_numpy(std::move(out.table.offsets)));
        py::dict_set(d.get(), "items", py::to_numpy(std::move(out.table.items)));
        py::dict_set(d.get(), "counts", py::to_numpy(std::move(out.table.counts)));
        py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(out.n_transactions)));
        py::dict_set(d.get(), "item_counts", py::to_numpy(std::move(out.item_counts)));
        return d;
    });
}

PyObject* count_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"count_itemsets", kCountParams, 5};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const int64_t n_items = int_arg(a[2], "n_items", 0, kMaxItems, "between 0 and 2**31");
        ArrayView offsets_view = py::to_array(a[3], "offsets", Dtype::i64, 1);
        ArrayView items_view = py::to_array(a[4], "items", Dtype::i32, 1);
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();
        auto offsets = offsets_view.contiguous<int64_t>();
        auto items = items_view.contiguous<int32_t>();

        engine::CountResult out;
        {
            py::ReleaseGil nogil;
            engine::check_occurrences(txn_ids, item_ids, static_cast<uint64_t>(n_items));
            engine::check_candidates(offsets, items, static_cast<uint64_t>(n_items));
            out = engine::count_candidates(txn_ids, item_ids, static_cast<uint32_t>(n_items), offsets, items);
        }
        Ref d = new_dict();
        py::dict_set(d.get(), "counts", py::to_numpy(std::move(out.counts)));
        py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(out.n_transactions)));
        return d;
    });
}

// ---- generate_rules -----------------------------------------------------------------

constexpr const char* kRulesParams[] = {"offsets",
                                        "items",
                                        "counts",
                                        "n_transactions",
                                        "min_confidence",
                                        "min_lift",
                                        "max_consequent_len",
                                        "antecedent_items",
                                        "consequent_items",
                                        "input_target"};

//! None (or absent) or an int >= 1.
std::optional<uint64_t> opt_length(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an int or None, got '%s'", name, Py_TYPE(obj)->tp_name);
        throw py::ErrorAlreadySet{};
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::ErrorAlreadySet{};
        PyErr_Clear();
        return std::nullopt;  // beyond any itemset length: no limit
    }
    if (v < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1 (None for no limit); got %lld", name, v);
        throw py::ErrorAlreadySet{};
    }
    return static_cast<uint64_t>(v);
}

rules::InputTarget input_target(PyObject* obj) {
    if (obj == nullptr) return rules::InputTarget::all;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'input_target': expected a str, got '%s'", Py_TYPE(obj)->tp_name);
        throw py::ErrorAlreadySet{};
    }
    if (PyUnicode_CompareWithASCIIString(obj, "all") == 0) return rules::InputTarget::all;
    if (PyUnicode_CompareWithASCIIString(obj, "closed") == 0) return rules::InputTarget::closed;
    if (PyUnicode_CompareWithASCIIString(obj, "maximal") == 0)
        py::raise(PyExc_ValueError,
                  "exact counts of subsets are not available from maximal itemsets; mine with target 'all' or "
                  "'closed' to generate rules");
    PyErr_Format(PyExc_ValueError, "input_target must be 'all', 'closed' or 'maximal'; got %R", obj);
    throw py::ErrorAlreadySet{};
}

PyObject* generate_rules(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"generate_rules", kRulesParams, 5};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        py::ArrayView offsets = py::to_array(a[0], "offsets", py::Dtype::i64, 1);
        py::ArrayView items = py::to_array(a[1], "items", py::Dtype::i32, 1);
        py::ArrayView counts = py::to_array(a[2], "counts", py::Dtype::f64, 1);
        rules::Options o;
        o.n_transactions = py::to_f64(a[3], "n_transactions");
        o.min_confidence = py::to_f64(a[4], "min_confidence");
        if (a[5] && a[5] != Py_None) o.min_lift = py::to_f64(a[5], "min_lift");
        o.max_consequent_len = opt_length(a[6], "max_consequent_len");
        std::optional<py::ArrayView> allow_a, allow_c;
        if (a[7] && a[7] != Py_None) allow_a.emplace(py::to_array(a[7], "antecedent_items", py::Dtype::i32, 1));
        if (a[8] && a[8] != Py_None) allow_c.emplace(py::to_array(a[8], "consequent_items", py::Dtype::i32, 1));
        o.input_target = input_target(a[9]);
        const rules::Table table{offsets.contiguous<int64_t>(), items.contiguous<int32_t>(),
                                 counts.contiguous<double>()};
        if (allow_a) o.antecedent_items = allow_a->contiguous<int32_t>();
        if (allow_c) o.consequent_items = allow_c->contiguous<int32_t>();

        rules::RuleTable r;
        {
            py::ReleaseGil nogil;
            r = rules::generate_rules(table, o);
        }
        Ref d = Ref::checked(PyDict_New());
        py::dict_set(d.get(), "antecedent_offsets", py::to_numpy(std::move(r.antecedent_offsets)));
        py::dict_set(d.get(), "antecedent_items", py::to_numpy(std::move(r.antecedent_items)));
        py::dict_set(d.get(), "consequent_offsets", py::to_numpy(std::move(r.consequent_offsets)));
        py::dict_set(d.get(), "consequent_items", py::to_numpy(std::move(r.consequent_items)));
        py::dict_set(d.get(), "rule_row", py::to_numpy(std::move(r.rule_row)));
        py::dict_set(d.get(), "antecedent_row", py::to_numpy(std::move(r.antecedent_row)));
        py::dict_set(d.get(), "consequent_row", py::to_numpy(std::move(r.consequent_row)));
        py::dict_set(d.get(), "count", py::to_numpy(std::move(r.count)));
        py::dict_set(d.get(), "antecedent_count", py::to_numpy(std::move(r.antecedent_count)));
        py::dict_set(d.get(), "consequent_count", py::to_numpy(std::move(r.consequent_count)));
        py::dict_set(d.get(), "support", py::to_numpy(std::move(r.support)));
        py::dict_set(d.get(), "confidence", py::to_numpy(std::move(r.confidence)));
        py::dict_set(d.get(), "lift", py::to_numpy(std::move(r.lift)));
        py::dict_set(d.get(), "leverage", py::to_numpy(std::move(r.leverage)));
        py::dict_set(d.get(), "conviction", py::to_numpy(std::move(r.conviction)));
        py::dict_set(d.get(), "zhangs_metric", py::to_numpy(std::move(r.zhangs_metric)));
        py::dict_set(d.get(), "jaccard", py::to_numpy(std::move(r.jaccard)));
        py::dict_set(d.get(), "certainty", py::to_numpy(std::move(r.certainty)));
        py::dict_set(d.get(), "kulczynski", py::to_numpy(std::move(r.kulczynski)));
        py::dict_set(d.get(), "cosine", py::to_numpy(std::move(r.cosine)));
        return d;
    });
}

// ---- function table -----------------------------------------------------------------

#define TALLISK_FN(name, doc) \
    { #name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kFunctions[] = {
    TALLISK_FN(mine_itemsets,
               "mine_itemsets(txn_ids, item_ids, n_items, min_count, min_len=1, max_len=None, target='all', "
               "max_itemsets=None)\n--\n\n"
               "Every frequent itemset of the transactions, or only the closed or the maximal ones.\n\n"
               "txn_ids (int64) and item_ids (int32) are the occurrences, one (transaction, item) pair\n"
               "per position; only equality of transaction labels matters and repeated pairs count\n"
               "once. Item ids lie in 0 .. n_items - 1. A set is frequent when at least min_count\n"
               "(>= 1) transactions hold all its items.\n\n"
               "target: 'all' (every frequent set), 'closed' (no proper superset has the same count)\n"
               "or 'maximal' (no proper superset is frequent). Closed and maximal sets are those of\n"
               "the whole search space; min_len and max_len (None: no limit) only choose which\n"
               "lengths are reported, and the search stops where every further set is longer.\n"
               "max_itemsets (None: no limit): ValueError as soon as more rows than this would be\n"
               "reported.\n\n"
               "Returns a dict: 'offsets' (int64, m + 1) and 'items' (int32) hold the m itemsets as\n"
               "CSR rows, ids ascending within a row; 'counts' (int64, m) the transactions holding\n"
               "each; 'n_transactions'; 'item_counts' (int64, n_items) the transactions per item.\n\n"
               "Row order, the same for every number of worker threads: items are ranked by\n"
               "ascending transaction count, ties by ascending id. With target 'all' the rows\n"
               "come in depth-first preorder over this ranking: sorted by their items listed in\n"
               "rank order, lexicographically, a set right before its extensions. 'closed' lists\n"
               "the sets in depth-first preorder of the closure-extension tree (a closed set, then\n"
               "the closed sets grown from it by a later-ranked item), 'maximal' in the order that\n"
               "same tree reaches them. Items held by every transaction come first in that tree."),
    TALLISK_FN(generate_rules,
               "generate_rules(offsets, items, counts, n_transactions, min_confidence, min_lift=None, "
               "max_consequent_len=None, antecedent_items=None, consequent_items=None, input_target='all')\n--\n\n"
               "Association rules A -> C from a mined itemset table (CSR offsets/items, counts on the scale of\n"
               "n_transactions: counts with the number of transactions, or supports with 1.0).\n\n"
               "Every rule with A and C non-empty and disjoint, A | C a set of the table (for input_target\n"
               "'closed': a subset of a closed set, counted as its largest-count closed superset), and\n"
               "count(A | C) / count(A) >= min_confidence; optionally lift >= min_lift, at most\n"
               "max_consequent_len items in C, and only the given item ids in A / in C. Consequents are grown\n"
               "level by level from those that passed. input_target 'maximal' raises ValueError.\n\n"
               "Returns a dict of arrays: antecedent_offsets/antecedent_items and consequent_offsets/\n"
               "consequent_items (CSR, ids ascending), rule_row/antecedent_row/consequent_row (int64 rows of\n"
               "the input, -1 where the set is not a row), count/antecedent_count/consequent_count, and the\n"
               "float64 metrics support, confidence, lift, leverage, conviction (inf when confidence is 1),\n"
               "zhangs_metric, jaccard, certainty, kulczynski, cosine. Rows are ordered by base set (input\n"
               "order; for closed input, closed row by closed row), then consequent length, then consequent\n"
               "ids; the order does not depend on the number of workers."),
    TALLISK_FN(count_itemsets,
               "count_itemsets(txn_ids, item_ids, n_items, offsets, items)\n--\n\n"
               "The exact transaction count of each given itemset.\n\n"
               "txn_ids, item_ids and n_items as for mine_itemsets. The candidates are the CSR rows\n"
               "of offsets (int64, m + 1, starting at 0, non-decreasing, ending at len(items)) and\n"
               "items (int32 ids in 0 .. n_items - 1). A candidate's ids may come in any order and\n"
               "repeat: it is the set of its ids (sorted, repeats dropped); an empty candidate is\n"
               "held by every transaction. Candidates may repeat.\n\n"
               "Returns a dict: 'counts' (int64, m), in candidate order, and 'n_transactions'."),
    {nullptr, nullptr, 0, nullptr},
};
#undef TALLISK_FN

// A non-negative size makes CPython call the init function again in every
// interpreter instead of copying a cached dict into it, so the sub-interpreter check
// below always runs.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tallisk._engine", nullptr, 0, kFunctions, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tallisk

extern "C" PyMODINIT_FUNC PyInit__engine() {
    using namespace tallisk;
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "tallisk._engine cannot be imported in a sub-interpreter");
        return nullptr;
    }
    return PyModule_Create(&kModule);
}
