// Object columns (see objects.hpp). Shares boundary.cpp's NumPy C-API table.
#include "objects.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tallisk_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
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
    // One branch-free pass over the ids (it vectorises); the bad one is looked for only
    // when there is one.
    uint32_t largest = 0;
    for (int32_t id : items) largest = std::max(largest, static_cast<uint32_t>(id));  // a negative id wraps high
    if (!items.empty() && largest >= n_labels)
        for (std::size_t k = 0; k < items.size(); ++k)
            if (items[k] < 0 || static_cast<std::size_t>(items[k]) >= n_labels)
                value_error("items[" + std::to_string(k) + "] = " + std::to_string(items[k]) +
                            " is not a label id (0 .. " + std::to_string(static_cast<int64_t>(n_labels) - 1) + ")");
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

//! The labels taken for the whole build (a finaliser run by an allocation on the way
//! may change the caller's array; the rows must not see that), with whether the
//! collector may have to follow each.
struct HeldLabels {
    std::vector<Ref> refs;
    std::vector<uint8_t> tracked;

    explicit HeldLabels(const ObjectArray& labels) : refs(labels.size()), tracked(labels.size()) {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            refs[i] = Ref::borrow(labels.get(i));
            tracked[i] = may_be_tracked(refs[i].get());
        }
    }
};

//! Pauses the cyclic collector for a scope: the rows are untracked as they are made, so a
//! collection on the way would find nothing to do, yet each would cost its fixed walk.
//! Nothing else runs meanwhile (the lock is held throughout).
class PausedCollector {
public:
    PausedCollector() : was_enabled_(PyGC_Disable()) {}
    ~PausedCollector() {
        if (was_enabled_) PyGC_Enable();
    }
    PausedCollector(const PausedCollector&) = delete;
    PausedCollector& operator=(const PausedCollector&) = delete;

private:
    int was_enabled_;
};

//! One tuple of labels; a new reference.
PyObject* tuple_row(const HeldLabels& held, const int32_t* ids, std::size_t n) {
    PyObject* row = PyTuple_New(static_cast<Py_ssize_t>(n));
    check(row != nullptr);
    bool atomic = true;
    for (std::size_t j = 0; j < n; ++j) {
        const auto id = static_cast<std::size_t>(ids[j]);
        PyObject* v = held.refs[id].get();
        Py_INCREF(v);
        PyTuple_SET_ITEM(row, static_cast<Py_ssize_t>(j), v);
        atomic = atomic && !held.tracked[id];
    }
    if (atomic) PyObject_GC_UnTrack(row);  // a no-op for the shared empty tuple
    return row;
}

//! One frozenset of labels; a new reference.
PyObject* frozenset_row(const HeldLabels& held, const int32_t* ids, std::size_t n) {
    Ref row = Ref::checked(PyFrozenSet_New(nullptr));
    bool atomic = true;
    for (std::size_t j = 0; j < n; ++j) {
        const auto id = static_cast<std::size_t>(ids[j]);
        check(PySet_Add(row.get(), held.refs[id].get()) == 0);  // hash and == may run Python code
        atomic = atomic && !held.tracked[id];
    }
    if (atomic) PyObject_GC_UnTrack(row.get());
    return row.release();
}

// ---- a hash table of labels -----------------------------------------------------------

//! Distinct labels, numbered in order of first appearance. Text (str and its subclasses,
//! such as NumPy's str_) is equal when its characters are, and is hashed from them here:
//! labels read from files are new strings whose hash Python has not yet computed, and
//! a short hash of the characters costs a fraction of Python's. Any other label is equal
//! as in a dict (its hash, then identity or ==). Open addressing with linear probing
//! over mixed hashes (integer labels hash to themselves, and multiples of a power of two
//! would otherwise share a probe run), one table for each kind of key. A slot is 16
//! bytes and keeps a short text itself: among thousands of distinct labels, each slot
//! read and each known string read is a cache miss, and these are most of the time.
class LabelCodes {
public:
    //! The code of `label`, a new one when it is new.
    int32_t code(PyObject* label) {
        if (PyUnicode_Check(label)) return text_code(label);
        const Py_hash_t hash = PyObject_Hash(label);
        if (hash == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return find_or_add(
            objects_, static_cast<uint64_t>(hash), label,
            [&](const Slot& s) {
                PyObject* known = uniques_[static_cast<std::size_t>(s.code)].get();
                if (known == label) return true;
                const int eq = PyObject_RichCompareBool(known, label, Py_EQ);
                if (eq < 0) throw ErrorAlreadySet{};
                return eq != 0;
            },
            [](Slot&) {});
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
    static constexpr std::size_t kInline = 6;  // bytes of text a slot holds
    struct Slot {
        uint32_t tag = 0;   // the low half of the mixed hash: the slot's place in any table
        int32_t code = -1;  // -1: empty
        uint8_t size = 0;   // text slots: the text's bytes when at most kInline, else kInline + 1
        uint8_t kind = 0;
        char text[kInline] = {};
    };
    static_assert(sizeof(Slot) == 16);
    struct Table {
        std::vector<Slot> slots = std::vector<Slot>(64);
        std::size_t used = 0;
    };

    //! A string's characters as stored (one, two or four bytes each: CPython keeps every
    //! string in the narrowest of those that holds it, so equal strings store equal bytes).
    static std::string_view text_of(PyObject* s) {
        return {static_cast<const char*>(PyUnicode_DATA(s)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) * PyUnicode_KIND(s)};
    }

    int32_t text_code(PyObject* label) {
        const std::string_view text = text_of(label);
        const auto kind = static_cast<uint8_t>(PyUnicode_KIND(label));
        const bool inline_text = text.size() <= kInline;
        const auto size = static_cast<uint8_t>(inline_text ? text.size() : kInline + 1);
        return find_or_add(
            texts_, absl::HashOf(kind, text), label,
            [&](const Slot& s) {
                if (s.size != size || s.kind != kind) return false;
                if (inline_text) return std::memcmp(s.text, text.data(), text.size()) == 0;
                PyObject* known = uniques_[static_cast<std::size_t>(s.code)].get();
                return known == label || text_of(known) == text;
            },
            [&](Slot& s) {
                s.size = size;
                s.kind = kind;
                if (inline_text) std::memcpy(s.text, text.data(), text.size());
            });
    }

    //! The code of the label in `table` that equal(slot) finds, or a new one for `label`,
    //! whose slot fill(slot) completes (its text, for text labels). At most 2**31 - 1
    //! labels at half load: a table never outgrows the 32 bits of a tag.
    template <class Equal, class Fill>
    int32_t find_or_add(Table& table, uint64_t hash, PyObject* label, Equal&& equal, Fill&& fill) {
        const auto tag = static_cast<uint32_t>(mix(hash));
        const std::size_t mask = table.slots.size() - 1;
        for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
            Slot& s = table.slots[i];
            if (s.code < 0) {
                if (uniques_.size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
                    raise(PyExc_ValueError, "more than 2**31 - 1 distinct labels");
                const auto code = static_cast<int32_t>(uniques_.size());
                uniques_.push_back(Ref::borrow(label));
                s = Slot{tag, code};
                fill(s);
                if (++table.used * 2 > table.slots.size()) grow(table);
                return code;
            }
            if (s.tag == tag && equal(s)) return s.code;
        }
    }

    static uint64_t mix(uint64_t h) {  // fmix64 of MurmurHash3
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

    static void grow(Table& table) {
        std::vector<Slot> old(table.slots.size() * 2);
        old.swap(table.slots);
        const std::size_t mask = table.slots.size() - 1;
        for (const Slot& s : old) {
            if (s.code < 0) continue;
            std::size_t i = s.tag & mask;
            while (table.slots[i].code >= 0) i = (i + 1) & mask;
            table.slots[i] = s;
        }
    }

    Table texts_, objects_;
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
               RowKind kind, Ref* twin) {
    check_rows(offsets, items, labels.size());
    const std::size_t m = offsets.size() - 1;
    const HeldLabels held(labels);
    Ref out = object_array(m);
    PyObject** cells = object_cells(out);
    Ref second = twin ? object_array(m) : Ref();
    PyObject** twin_cells = twin ? object_cells(second) : nullptr;
    auto* row = kind == RowKind::tuple ? &tuple_row : &frozenset_row;
    const PausedCollector paused;
    for (std::size_t r = 0; r < m; ++r) {
        const auto b = static_cast<std::size_t>(offsets[r]), e = static_cast<std::size_t>(offsets[r + 1]);
        // A cell is written once its row is whole: an error on the way leaves only whole
        // rows and empty cells for NumPy to free.
        cells[r] = row(held, items.data() + b, e - b);
        if (twin_cells) {
            Py_INCREF(cells[r]);
            twin_cells[r] = cells[r];
        }
    }
    if (twin) *twin = std::move(second);
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

Ref take_cells(const ObjectArray& cells, std::span<const int64_t> rows, std::span<const int64_t> order, bool ordered) {
    ensure_numpy();
    auto check = [](std::span<const int64_t> at, std::size_t bound, const char* name, const char* of) {
        for (std::size_t i = 0; i < at.size(); ++i)
            if (at[i] < 0 || static_cast<uint64_t>(at[i]) >= bound) {
                PyErr_Format(PyExc_ValueError, "%s[%zu] = %lld is outside the %zu %s", name, i,
                             static_cast<long long>(at[i]), bound, of);
                throw ErrorAlreadySet{};
            }
    };
    check(rows, cells.size(), "rows", "cells");
    if (ordered) check(order, rows.size(), "order", "rows");
    const std::size_t n = ordered ? order.size() : rows.size();
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref out = Ref::checked(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    auto* dst = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    PyObject* const* src = cells.cells();
    // The containers are few and shared, the rows many and in another order: each
    // reference count written is a cache miss unless its object was asked for well
    // before, and a sorted table's rows are themselves read out of order.
    constexpr std::size_t kAhead = 16;
    auto row = [&](std::size_t i) { return static_cast<std::size_t>(ordered ? rows[order[i]] : rows[i]); };
    for (std::size_t i = 0; i < n; ++i) {
        if (ordered && i + 2 * kAhead < n) __builtin_prefetch(&rows[order[i + 2 * kAhead]]);
        if (i + kAhead < n) __builtin_prefetch(src[row(i + kAhead)], 1);
        PyObject* cell = src[row(i)];
        if (cell == nullptr) cell = Py_None;
        Py_INCREF(cell);
        dst[i] = cell;
    }
    return out;
}

Ref factorize_baskets(PyObject* baskets) {
    constexpr Py_ssize_t kLabelPrefetch = 4;
    LabelCodes labels;
    std::vector<int64_t> sizes;
    std::vector<int32_t> codes;
    sizes.reserve(static_cast<std::size_t>(PyList_GET_SIZE(baskets)));
    {
        // The codes' room, from the lengths of the lists and tuples (a guess only: a
        // label's __eq__ may change them), so that they are not copied as they grow.
        std::size_t labels_seen = 0;
        for (Py_ssize_t t = 0; t < PyList_GET_SIZE(baskets); ++t) {
            PyObject* b = PyList_GET_ITEM(baskets, t);
            if (PyList_CheckExact(b)) labels_seen += static_cast<std::size_t>(PyList_GET_SIZE(b));
            if (PyTuple_CheckExact(b)) labels_seen += static_cast<std::size_t>(PyTuple_GET_SIZE(b));
        }
        codes.reserve(labels_seen);
    }
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
                PyObject* const* cells = is_list ? &PyList_GET_ITEM(b, 0) : &PyTuple_GET_ITEM(b, 0);
                // The next labels' objects are read soon: ask for them now (they are
                // scattered over the heap, and reading them is most of the time).
                if (j + kLabelPrefetch < len) __builtin_prefetch(cells[j + kLabelPrefetch]);
                PyObject* label = cells[j];
                if (PyUnicode_Check(label)) {
                    codes.push_back(labels.code(label));  // runs no Python code: nothing can drop it
                } else {
                    Ref held = Ref::borrow(label);
                    codes.push_back(labels.code(held.get()));
                }
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

PyObject* ListArg::operator()(PyObject* obj, const char* name) const {
    if (!PyList_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a list, got '%s'", name, Py_TYPE(obj)->tp_name);
        throw ErrorAlreadySet{};
    }
    return obj;
}

PyObject* NumberArrayArg::operator()(PyObject* obj, const char* name) const {
    ensure_numpy();
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_Check(obj) || PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) ||
        PyDataType_REFCHK(PyArray_DESCR(a)) || (PyArray_ITEMSIZE(a) != 4 && PyArray_ITEMSIZE(a) != 8)) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a 1-D contiguous NumPy array of 4- or 8-byte numbers, got '%s'", name,
                     Py_TYPE(obj)->tp_name);
        throw ErrorAlreadySet{};
    }
    return obj;
}

Ref gather(PyObject* values, std::span<const int64_t> rows) {
    auto* a = reinterpret_cast<PyArrayObject*>(values);
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
