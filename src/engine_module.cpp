// Module entry and function table of tallisk._engine, the package's own engine: every
// frequent itemset (all, closed or maximal), association rules of every shape, and
// exact counts of given itemsets. It shares the compute core and the boundary layer
// with _tallisk_rs but has no inherited contract, so its errors follow Python's
// conventions: ValueError for bad data, TypeError for bad types, MemoryError.
#include "boundary.hpp"

namespace tallisk {
namespace {

using py::Ref;

// ---- wrappers -----------------------------------------------------------------------

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", name);
    return nullptr;
}

PyObject* mine_itemsets(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet("mine_itemsets"); }
PyObject* generate_rules(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet("generate_rules"); }
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
               "Association rules from a mined itemset table."),
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
