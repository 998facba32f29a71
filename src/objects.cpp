// Object columns (see objects.hpp). Shares boundary.cpp's NumPy C-API table.
#include "objects.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tallisk_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <absl/container/flat_hash_map.h>

#include <limits>
#include <string>
#include <vector>

#include "tables/tables.hpp"

namespace tallisk::py {
namespace {

//! True when the cyclic collector may have to follow `v`: CPython's own test for
//! untracking a tuple, extended to frozensets, which are as immutable as tuples (an
//! untracked tuple or frozenset stays untracked; any other container may be tracked
//! again later).
bool may_be_tracked(PyObject* v) {
    if (!PyObject_IS_GC(v)) return false;
    if (PyTuple_CheckExact(v) || PyFrozenSet_CheckExact(v)) return PyObject_GC_IsTracked(v);
    return true;
}

[[noreturn]] void value_error(const std::string& message) { raise(PyExc_ValueError, message.c_str()); }

void check_rows(std::span<const int64_t> offsets, std::span<const int32_t> items, std::size_t n_labels) {
    if (offsets.empty() || offsets.front() != 0)
        value_error("offsets must start at 0 (one entry more than there are rows)");
    for (std::size_t r = 1; r < offsets.size(); ++r)
        if (offsets[r] < offsets[r - 1])
            value_error("offsets must not decrease; offsets[" + std::to_string(r) +
                        "] = " + std::to_string(offsets[r]) + " is below offsets[" + std::to_string(r - 1) +
                        "] = " + std::to_string(offsets[r - 1]));
    if (static_cast<uint64_t>(offsets.back()) != items.size())
        value_error("offsets must end at len(items) = " + std::to_string(items.size()) + "; got " +
                    std::to_string(offsets.back()));
    for (std::size_t k = 0; k < items.size(); ++k)
        if (items[k] < 0 || static_cast<std::size_t>(items[k]) >= n_labels)
            value_error("items[" + std::to_string(k) + "] = " + std::to_string(items[k]) + " is not a label id (0 .. " +
                        std::to_string(static_cast<int64_t>(n_labels) - 1) + ")");
}

//! A new empty object array of n cells; NumPy fills object storage with nulls, which
//! it reads as None and skips when it frees the array, so a partly filled array is
//! always safe to drop.
Ref object_array(std::size_t n) {
    ensure_numpy();
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return Ref::checked(PyArray_SimpleNew(1, dims, NPY_OBJECT));
}

PyObject** object_cells(const Ref& array) {
    return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

//! Builds one row's container; a new reference.
Ref build_row(const ObjectArray& labels, std::span<const int32_t> ids, RowKind kind) {
    bool atomic = true;
    if (kind == RowKind::tuple) {
        Ref row = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
        for (std::size_t j = 0; j < ids.size(); ++j) {
            PyObject* v = labels.get(static_cast<std::size_t>(ids[j]));
            Py_INCREF(v);
            PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), v);
            atomic = atomic && !may_be_tracked(v);
        }
        if (atomic) PyObject_GC_UnTrack(row.get());  // a no-op for the shared empty tuple
        return row;
    }
    Ref row = Ref::checked(PyFrozenSet_New(nullptr));
    for (int32_t id : ids) {
        // Held across PySet_Add, whose hash and == may run Python code.
        Ref v = Ref::borrow(labels.get(static_cast<std::size_t>(id)));
        check(PySet_Add(row.get(), v.get()) == 0);
        atomic = atomic && !may_be_tracked(v.get());
    }
    if (atomic) PyObject_GC_UnTrack(row.get());
    return row;
}

// ---- a hash table of labels -----------------------------------------------------------

//! Distinct labels by dict equality (hash, then identity or ==), numbered in order of
//! first appearance. Open addressing with linear probing over mixed hashes (integer
//! labels hash to themselves, and multiples of a power of two would otherwise share a
//! probe run).
class LabelCodes {
public:
    LabelCodes() : slots_(64) {}

    //! The code of `label`, a new one when it is new.
    int32_t code(PyObject* label) {
        const Py_hash_t hash = PyObject_Hash(label);
        if (hash == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
        const uint64_t mixed = mix(static_cast<uint64_t>(hash));
        std::size_t i = mixed & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.code < 0) break;
            if (s.hash != hash) continue;
            PyObject* known = uniques_[static_cast<std::size_t>(s.code)].get();
            if (known == label) return s.code;
            const int eq = PyObject_RichCompareBool(known, label, Py_EQ);
            if (eq < 0) throw ErrorAlreadySet{};
            if (eq) return s.code;
        }
        if (uniques_.size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
            raise(PyExc_ValueError, "more than 2**31 - 1 distinct labels");
        const auto code = static_cast<int32_t>(uniques_.size());
        uniques_.push_back(Ref::borrow(label));
        slots_[i] = {hash, code};
        if (uniques_.size() * 2 > slots_.size()) grow();
        return code;
    }

    //! The distinct labels as an object array, in code order.
    Ref take_uniques() {
        Ref out = object_array(uniques_.size());
        PyObject** cells = object_cells(out);
        for (std::size_t c = 0; c < uniques_.size(); ++c) cells[c] = uniques_[c].release();
        uniques_.clear();
        return out;
    }

private:
    struct Slot {
        Py_hash_t hash = 0;
        int32_t code = -1;  // -1: empty
    };

    static uint64_t mix(uint64_t h) {  // fmix64 of MurmurHash3
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.code < 0) continue;
            std::size_t i = mix(static_cast<uint64_t>(s.hash)) & mask;
            while (slots_[i].code >= 0) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::vector<Ref> uniques_;  // held, so a label a basket drops on the way stays alive
};

[[noreturn]] void not_a_basket(std::size_t pos, PyObject* basket) {
    Ref shown = Ref::checked(PyObject_Repr(basket));
    PyErr_Format(PyExc_TypeError,
                 "Basket %zu is a %s, not a collection of labels; wrap single labels in a list, e.g. [%U].", pos,
                 Py_TYPE(basket)->tp_name, shown.get());
    throw ErrorAlreadySet{};
}

}  // namespace

// ---- ObjectArray ------------------------------------------------------------------------

ObjectArray::ObjectArray(Ref array) : array_(std::move(array)) {
    size_ = static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array_.get())));
}

PyObject* const* ObjectArray::cells() const { return object_cells(array_); }

ObjectArray ObjectArrayOf::operator()(PyObject* obj, const char* name) const {
    ensure_numpy();
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_Check(obj) || PyArray_TYPE(a) != NPY_OBJECT || PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-D contiguous NumPy array of dtype object, got '%s'",
                     name, Py_TYPE(obj)->tp_name);
        throw ErrorAlreadySet{};
    }
    return ObjectArray(Ref::borrow(obj));
}

// ---- entries -------------------------------------------------------------------------------

Ref label_rows(std::span<const int64_t> offsets, std::span<const int32_t> items, const ObjectArray& labels,
               RowKind kind) {
    check_rows(offsets, items, labels.size());
    const std::size_t m = offsets.size() - 1;
    Ref out = object_array(m);
    for (std::size_t r = 0; r < m; ++r) {
        const auto b = static_cast<std::size_t>(offsets[r]), e = static_cast<std::size_t>(offsets[r + 1]);
        // The cell is written once its row is whole: an error on the way leaves only
        // whole rows and empty cells for NumPy to free.
        object_cells(out)[r] = build_row(labels, items.subspan(b, e - b), kind).release();
    }
    return out;
}

Ref cell_rows(const ObjectArray& cells, const ObjectArray& reference) {
    ensure_numpy();
    const std::size_t n = cells.size();
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref out = Ref::checked(PyArray_SimpleNew(1, dims, NPY_INT64));
    auto* rows = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    PyObject* const* c = cells.cells();
    PyObject* const* ref = reference.cells();
    // The usual case: the very column the reference was made for, cell for cell.
    std::size_t same = 0;
    if (n == reference.size())
        while (same < n && c[same] == ref[same] && c[same] != nullptr) ++same;
    if (same == n) {
        for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<int64_t>(i);
        return out;
    }
    absl::flat_hash_map<const PyObject*, int64_t> position;
    position.reserve(reference.size());
    for (std::size_t i = 0; i < reference.size(); ++i)
        if (ref[i] != nullptr) position.try_emplace(ref[i], static_cast<int64_t>(i));
    for (std::size_t i = 0; i < n; ++i) {
        const auto it = c[i] == nullptr ? position.end() : position.find(c[i]);
        rows[i] = it == position.end() ? -1 : it->second;
    }
    return out;
}

Ref factorize_baskets(PyObject* baskets) {
    if (!PyList_Check(baskets)) {
        PyErr_Format(PyExc_TypeError, "argument 'baskets': expected a list, got '%s'", Py_TYPE(baskets)->tp_name);
        throw ErrorAlreadySet{};
    }
    LabelCodes labels;
    std::vector<int64_t> sizes;
    std::vector<int32_t> codes;
    sizes.reserve(static_cast<std::size_t>(PyList_GET_SIZE(baskets)));
    // The list is read by index with its length read again each step, and every basket
    // and label is held while it is used: a label's __eq__ may change the list.
    for (Py_ssize_t t = 0; t < PyList_GET_SIZE(baskets); ++t) {
        Ref basket = Ref::borrow(PyList_GET_ITEM(baskets, t));
        PyObject* b = basket.get();
        const std::size_t before = codes.size();
        if (PyList_CheckExact(b) || PyTuple_CheckExact(b)) {
            const bool is_list = PyList_CheckExact(b);
            for (Py_ssize_t j = 0;; ++j) {
                const Py_ssize_t len = is_list ? PyList_GET_SIZE(b) : PyTuple_GET_SIZE(b);
                if (j >= len) break;
                Ref label = Ref::borrow(is_list ? PyList_GET_ITEM(b, j) : PyTuple_GET_ITEM(b, j));
                codes.push_back(labels.code(label.get()));
            }
        } else {
            // Sets, one-pass iterables, arrays, subclasses with their own iteration: read
            // the way Python iterates them. A string is iterable but never a basket.
            if (PyUnicode_Check(b) || PyBytes_Check(b)) not_a_basket(static_cast<std::size_t>(t), b);
            Ref it = Ref::steal(PyObject_GetIter(b));
            if (!it) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
                PyErr_Clear();
                not_a_basket(static_cast<std::size_t>(t), b);
            }
            while (Ref label = Ref::steal(PyIter_Next(it.get()))) codes.push_back(labels.code(label.get()));
            check(!PyErr_Occurred());
        }
        sizes.push_back(static_cast<int64_t>(codes.size() - before));
    }
    Ref uniques = labels.take_uniques();
    return dict_of("sizes", std::move(sizes), "codes", std::move(codes), "uniques", std::move(uniques));
}

Ref gather(PyObject* values, std::span<const int64_t> rows) {
    ensure_numpy();
    auto* a = reinterpret_cast<PyArrayObject*>(values);
    if (!PyArray_Check(values) || PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) ||
        PyDataType_REFCHK(PyArray_DESCR(a)) || (PyArray_ITEMSIZE(a) != 4 && PyArray_ITEMSIZE(a) != 8)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'values': expected a 1-D contiguous NumPy array of 4- or 8-byte numbers, got '%s'",
                     Py_TYPE(values)->tp_name);
        throw ErrorAlreadySet{};
    }
    PyArray_Descr* descr = PyArray_DESCR(a);
    Py_INCREF(descr);  // PyArray_NewFromDescr steals it
    npy_intp dims[1] = {static_cast<npy_intp>(rows.size())};
    Ref out = Ref::checked(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
    const void* src = PyArray_DATA(a);
    void* dst = PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()));
    const auto n_values = static_cast<std::size_t>(PyArray_SIZE(a));
    const auto width = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
    {
        // Both arrays are held by this call and neither is visible to other threads
        // through it; plain numbers need no lock.
        ReleaseGil nogil;
        tables::gather(src, n_values, width, rows, dst);
    }
    return out;
}

}  // namespace tallisk::py
