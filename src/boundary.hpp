// The CPython boundary: owned references, argument matching and conversion, array
// views, result arrays, releasing the interpreter lock, and the guard that turns every
// native failure into a Python exception. Only this unit and module.cpp include
// Python.h; compute units take spans and return vectors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "common/buffer.hpp"
#include "common/error.hpp"

namespace tallisk::py {

//! Thrown when a Python exception is already set and the call must unwind.
struct ErrorAlreadySet {};

//! Throws ErrorAlreadySet when `ok` is false (a C-API call failed and set an error).
inline void check(bool ok) {
    if (!ok) throw ErrorAlreadySet{};
}

//! Sets a Python exception and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);

//! Move-only owner of one strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    //! Steals a new reference returned by a C-API call; unwinds if it is null.
    static Ref checked(PyObject* p) {
        check(p != nullptr);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

//! Releases the interpreter lock for its scope; takes it back on every exit path.
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// ---- argument matching --------------------------------------------------------------

//! A function's parameter list: names in order, the first `n_required` without default.
struct Signature {
    const char* function;
    std::span<const char* const> params;
    std::size_t n_required;
};

constexpr std::size_t kMaxParams = 12;

//! Borrowed argument objects by parameter position; nullptr where not given.
struct Args {
    PyObject* values[kMaxParams] = {};
    PyObject* operator[](std::size_t i) const { return values[i]; }
};

//! Matches a fast-call argument vector against a signature, raising TypeError with
//! CPython's usual wording for too many, unknown, duplicate or missing arguments.
Args match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- scalar conversion --------------------------------------------------------------

uint32_t to_u32(PyObject* obj, const char* name);
uint64_t to_usize(PyObject* obj, const char* name);
//! None or absent means not given.
std::optional<uint64_t> to_opt_usize(PyObject* obj, const char* name);
double to_f64(PyObject* obj, const char* name);

// ---- arrays -------------------------------------------------------------------------

enum class Dtype { i32, i64, f64 };

//! A NumPy array held for the whole call, read in place. Arrays NumPy reports as
//! unaligned are copied once into aligned storage, so compute code can read plain
//! spans.
class ArrayView {
public:
    ArrayView(Ref array, std::size_t count, bool aligned);
    //! The elements in memory order; TypeError when the array is neither C- nor
    //! Fortran-contiguous.
    template <class T>
    std::span<const T> contiguous() {
        const void* data = contiguous_data();
        return {static_cast<const T*>(data), count_};
    }
    std::size_t count() const { return count_; }
    //! Length of dimension `d`.
    std::size_t dim(int d) const;

private:
    const void* contiguous_data();
    Ref array_;
    std::size_t count_;
    bool aligned_;
    std::vector<uint64_t> copy_;  // aligned copy, only for unaligned arrays
};

//! Converts an argument to a view of the given dtype and number of dimensions, or
//! raises TypeError naming the argument.
ArrayView to_array(PyObject* obj, const char* name, Dtype dtype, int ndim);

// ---- results ------------------------------------------------------------------------

//! A 1-D array that takes over the vector's buffer; a capsule that frees it is the
//! array's base object.
Ref to_numpy(std::vector<int32_t>&& v);
Ref to_numpy(std::vector<int64_t>&& v);
Ref to_numpy(std::vector<double>&& v);
//! The same for large result columns (huge-page storage, see common/buffer.hpp).
Ref to_numpy(large_vector<int32_t>&& v);
Ref to_numpy(large_vector<int64_t>&& v);
Ref to_numpy(large_vector<double>&& v);

//! A new C-ordered 2-D int32 array of shape (n_rows, length of row 0), or (0, 0) when
//! n_rows is 0; row_at(i) gives row i as a span of uint32 ids stored bit for bit.
//! A row of another length raises TypeError "invalid length: <len>, but expected <w>".
template <class RowAt>
Ref rows_to_numpy(std::size_t n_rows, RowAt&& row_at);

//! Inserts `value` under `key` into dict `d` (the value reference is consumed).
void dict_set(PyObject* d, const char* key, Ref value);

// ---- the guard ----------------------------------------------------------------------

//! Raises PanicException (qualified name "pyo3_runtime.PanicException", a
//! BaseException) with the given message.
void raise_panic(const char* message);

//! Runs a wrapper body and maps every failure to a Python exception; returns a new
//! reference or nullptr with an exception set.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const ResourceError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return nullptr;
}

// ---- template definitions -----------------------------------------------------------

Ref new_int32_2d(std::size_t rows, std::size_t cols, int32_t** data);

template <class RowAt>
Ref rows_to_numpy(std::size_t n_rows, RowAt&& row_at) {
    const std::size_t width = n_rows == 0 ? 0 : std::span<const uint32_t>(row_at(std::size_t{0})).size();
    int32_t* data = nullptr;
    Ref arr = new_int32_2d(n_rows, width, &data);
    for (std::size_t i = 0; i < n_rows; ++i) {
        std::span<const uint32_t> row(row_at(i));
        if (row.size() != width) {
            arr = Ref();
            PyErr_Format(PyExc_TypeError, "invalid length: %zu, but expected %zu", row.size(), width);
            throw ErrorAlreadySet{};
        }
        if (width) std::memcpy(data + i * width, row.data(), width * sizeof(int32_t));
    }
    return arr;
}

}  // namespace tallisk::py
