// The object-column part of the boundary layer: arrays of Python objects built from
// CSR rows of label ids (the itemset, antecedent and consequent columns), found again
// by identity, and read from lists of baskets. These need the interpreter lock
// throughout (every step touches Python objects), so they hold it and never hand work
// to the pool; what can run without the lock is in tables/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "boundary.hpp"

namespace tallisk::py {

//! A 1-D, C-contiguous NumPy array of Python objects, held for the call. Its cells are
//! read one at a time and taken with a new reference before any Python code can run,
//! so code run on the way (a label's __hash__, a finaliser) cannot leave us holding a
//! dangling pointer; NumPy refuses to resize an array others hold, so the storage
//! stays put.
class ObjectArray {
public:
    explicit ObjectArray(Ref array);
    std::size_t size() const { return size_; }
    //! Cell i, borrowed (None for a cell NumPy left empty).
    PyObject* get(std::size_t i) const {
        PyObject* p = cells()[i];
        return p ? p : Py_None;
    }
    //! The cells' pointers as they are now (nullptr for an empty cell).
    PyObject* const* cells() const;

private:
    Ref array_;
    std::size_t size_;
};

//! Kind: a 1-D C-contiguous array of dtype object; TypeError naming the argument
//! otherwise.
struct ObjectArrayOf {
    ObjectArray operator()(PyObject* obj, const char* name) const;
};

//! Kind: a list, borrowed for the call; TypeError naming the argument otherwise.
struct ListArg {
    PyObject* operator()(PyObject* obj, const char* name) const;
};

//! Kind: a 1-D, C-contiguous, aligned NumPy array of 4- or 8-byte plain numbers
//! (int32, int64, float64, ...), borrowed for the call; TypeError naming the argument
//! otherwise.
struct NumberArrayArg {
    PyObject* operator()(PyObject* obj, const char* name) const;
};

//! What each row of label_rows becomes.
enum class RowKind { tuple, frozenset };

//! A new object array of one tuple (or frozenset) per CSR row: row r holds
//! labels[items[offsets[r]]], ..., labels[items[offsets[r + 1] - 1]], each a new
//! reference. ValueError when offsets do not start at 0, decrease, or end elsewhere
//! than at len(items), or an id lies outside the labels. A container that holds only
//! labels the cyclic collector never tracks (str, int, float, bytes, None, and tuples
//! of those) is untracked at once, as CPython would do at its next collection, so that
//! building millions of them does not make the collector walk them again and again.
//! With `twin`, *twin receives a second object array of the same containers (each
//! referenced by both), made in the same pass while each container is still in the cache.
Ref label_rows(std::span<const int64_t> offsets, std::span<const int32_t> items, const ObjectArray& labels,
               RowKind kind, Ref* twin = nullptr);

//! For every cell of `cells`, the position of the same object (by identity) in
//! `reference`, or -1: an int64 array. The first position counts for an object the
//! reference holds twice.
Ref cell_rows(const ObjectArray& cells, const ObjectArray& reference);

//! A new object array of cells[rows[order[i]]] for every i (cells[rows[i]] without an
//! order), each a new reference (None for an empty cell): a column of shared containers
//! laid out in a table's order in one pass. ValueError for a row outside the cells or a
//! position outside the rows.
Ref take_cells(const ObjectArray& cells, std::span<const int64_t> rows, std::span<const int64_t> order, bool ordered);

//! The labels of a list of baskets, factorised in one pass: a dict with 'sizes'
//! (int64, the number of labels of each basket), 'codes' (int32, the code of every
//! label, basket after basket) and 'uniques' (object array, the distinct labels in
//! order of first appearance; code c is uniques[c]). Text labels (str and subclasses)
//! are equal when their characters are; others as in a dict (hash, then ==). A basket
//! is any iterable but a string or bytes (TypeError naming the basket otherwise), read
//! once; an unhashable label raises hash()'s TypeError.
Ref factorize_baskets(PyObject* baskets);  // a list (ListArg)

//! A new array of values[rows] (values as NumberArrayArg checks them): the gather runs
//! on the pool, without the lock. ValueError for a row outside the values.
Ref gather(PyObject* values, std::span<const int64_t> rows);

}  // namespace tallisk::py
