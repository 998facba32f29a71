// Module entry and function table of tallisk._engine, the package's own engine: every
// frequent itemset (all, closed or maximal), association rules of every shape, and
// exact counts of given itemsets. It shares the compute core and the boundary layer
// with _tallisk_rs but has no inherited contract, so its errors follow Python's
// conventions: ValueError for bad data, TypeError for bad types, MemoryError.
#include "boundary.hpp"
#include "engine/rules.hpp"

namespace tallisk {
namespace {

using py::Ref;

// ---- wrappers -----------------------------------------------------------------------

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", name);
    return nullptr;
}

PyObject* mine_itemsets(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet("mine_itemsets"); }
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

PyObject* count_itemsets(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet("count_itemsets"); }

// ---- function table -----------------------------------------------------------------

#define TALLISK_FN(name, doc) \
    { #name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kFunctions[] = {
    TALLISK_FN(mine_itemsets,
               "mine_itemsets(txn_ids, item_ids, n_items, min_count, min_len=1, max_len=None, target='all', "
               "max_itemsets=None)\n--\n\n"
               "Every frequent itemset (target 'all', 'closed' or 'maximal')."),
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
               "The exact transaction count of each given itemset."),
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
