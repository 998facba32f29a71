// Implementation of the CPython boundary helpers. This is the one unit that defines
// the NumPy C-API table; it is imported lazily, on the first array conversion, so that
// importing the module alone never loads NumPy.
#include "boundary.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tallisk_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace tallisk::py {
namespace {

constexpr const char* kBufferCapsule = "tallisk.buffer";

//! Re-raises a pending TypeError as "argument '<name>': <message>", the original as
//! its cause; any other pending exception passes unchanged.
[[noreturn]] void reraise_for(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
    if (trace) PyException_SetTraceback(value.get(), trace.get());
    Ref text = Ref::checked(PyObject_Str(value.get()));
    Ref message = Ref::checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref exc = Ref::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(exc.get(), value.release());
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw ErrorAlreadySet{};
}

int typenum_of(Dtype d) {
    switch (d) {
        case Dtype::i32: return NPY_INT32;
        case Dtype::i64: return NPY_INT64;
        case Dtype::f64: return NPY_FLOAT64;
    }
    return NPY_NOTYPE;
}

template <class Vec>
void free_vector(PyObject* capsule) {
    delete static_cast<Vec*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

//! Any std::vector (whatever its allocator) becomes the owner of the array's memory.
template <class Vec>
Ref vector_to_numpy(Vec&& v, int typenum) {
    using T = typename Vec::value_type;
    ensure_numpy();
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    if (v.empty()) return Ref::checked(PyArray_SimpleNew(1, dims, typenum));
    auto owner = std::make_unique<Vec>(std::move(v));
    Ref capsule = Ref::checked(PyCapsule_New(owner.get(), kBufferCapsule, &free_vector<Vec>));
    Vec* buffer = owner.release();  // the capsule frees it from now on
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    Ref arr = Ref::checked(PyArray_New(&PyArray_Type, 1, dims, typenum, strides, buffer->data(),
                                       static_cast<int>(sizeof(T)), NPY_ARRAY_CARRAY, nullptr));
    // Steals the capsule reference, also on failure.
    check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) == 0);
    return arr;
}

PyObject* panic_type() {
    static PyObject* type =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                  "A native failure inside _tallisk_rs, usually inconsistent input such as an item id "
                                  "outside 0 .. n_items - 1.",
                                  PyExc_BaseException, nullptr);
    return type;
}

//! True on the thread that runs Python's signal handlers: threading.main_thread(),
//! asked once (the lock is held).
bool on_main_thread() {
    static const unsigned long main_ident = [] {
        unsigned long ident = 0;
        if (Ref threading = Ref::steal(PyImport_ImportModule("threading"))) {
            Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
            Ref value = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
            if (value) ident = PyLong_AsUnsignedLong(value.get());
        }
        if (PyErr_Occurred()) PyErr_Clear();
        return ident;
    }();
    return main_ident != 0 && PyThread_get_thread_ident() == main_ident;
}

}  // namespace

void ensure_numpy() {
    // Returns at once when the table is already loaded; tries numpy._core and then
    // numpy.core, so NumPy 1.x and 2.x both work.
    check(PyArray_ImportNumPyAPI() == 0);
}

void interruptible(const std::function<void()>& body) {
    if (!on_main_thread()) {
        ReleaseGil nogil;
        body();
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    bool finished = false;
    try {
        finished = pool::run_stoppable(
            body,
            [&] {
                PyEval_RestoreThread(state);
                const bool go_on = PyErr_CheckSignals() == 0;
                state = PyEval_SaveThread();
                return go_on;
            },
            kSignalPoll);
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
    if (!finished) throw ErrorAlreadySet{};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

Args match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args out;
    const std::size_t n_params = sig.params.size();
    if (static_cast<std::size_t>(nargs) > n_params) {
        if (sig.n_required == n_params)
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", sig.function,
                         n_params, nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                         sig.function, sig.n_required, n_params, nargs);
        throw ErrorAlreadySet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t pos = n_params;
        for (std::size_t p = 0; p < n_params; ++p) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[p]) == 0) {
                pos = p;
                break;
            }
        }
        if (pos == n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
            throw ErrorAlreadySet{};
        }
        if (out.values[pos]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.params[pos]);
            throw ErrorAlreadySet{};
        }
        out.values[pos] = args[nargs + k];
    }
    std::string missing;
    std::size_t n_missing = 0;
    for (std::size_t p = 0; p < sig.n_required; ++p) {
        if (out.values[p]) continue;
        if (n_missing) missing += ", ";
        missing.append("'").append(sig.params[p]).append("'");
        ++n_missing;
    }
    if (n_missing) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, n_missing,
                     n_missing == 1 ? "" : "s", missing.c_str());
        throw ErrorAlreadySet{};
    }
    return out;
}

uint32_t to_u32(PyObject* obj, const char* name) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) reraise_for(name);
    if (v < 0 || v > 0xFFFFFFFFLL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<uint32_t>(v);
}

uint64_t to_usize(PyObject* obj, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) reraise_for(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for(name);
    return v;
}

double to_f64(PyObject* obj, const char* name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) reraise_for(name);
    return v;
}

ArrayView::ArrayView(Ref array, std::size_t count, bool aligned)
    : array_(std::move(array)), count_(count), aligned_(aligned) {}

std::size_t ArrayView::dim(int d) const {
    return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(array_.get()), d));
}

const void* ArrayView::contiguous_data() {
    auto* a = reinterpret_cast<PyArrayObject*>(array_.get());
    if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a))
        raise(PyExc_TypeError, "The given array is not contiguous");
    if (aligned_) return PyArray_DATA(a);
    if (copy_.empty() && count_ > 0) {
        const std::size_t bytes = count_ * static_cast<std::size_t>(PyArray_ITEMSIZE(a));
        copy_.resize((bytes + 7) / 8);
        std::memcpy(copy_.data(), PyArray_DATA(a), bytes);
    }
    return copy_.data();
}

ArrayView to_array(PyObject* obj, const char* name, Dtype dtype, int ndim) {
    ensure_numpy();
    bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim;
    if (ok) {
        PyArray_Descr* want = PyArray_DescrFromType(typenum_of(dtype));
        check(want != nullptr);
        ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), want);
        Py_DECREF(want);
    }
    if (!ok) {
        Ref type_name = Ref::checked(PyType_GetName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyArray<T, D>'", name,
                     type_name.get());
        throw ErrorAlreadySet{};
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return ArrayView(Ref::borrow(obj), static_cast<std::size_t>(PyArray_SIZE(a)), PyArray_ISALIGNED(a));
}

BufferView::BufferView(PyObject* obj, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        Ref type_name = Ref::checked(PyType_GetName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a bytes-like object, got '%U'", name, type_name.get());
        throw ErrorAlreadySet{};
    }
    held_ = true;
}

bool Flag::operator()(PyObject* obj, const char* name) const {
    if (!PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a bool, got '%s'", name, Py_TYPE(obj)->tp_name);
        throw ErrorAlreadySet{};
    }
    return obj == Py_True;
}

Ref to_numpy(std::vector<int32_t>&& v) { return vector_to_numpy(std::move(v), NPY_INT32); }
Ref to_numpy(std::vector<int64_t>&& v) { return vector_to_numpy(std::move(v), NPY_INT64); }
Ref to_numpy(std::vector<double>&& v) { return vector_to_numpy(std::move(v), NPY_FLOAT64); }
Ref to_numpy(large_vector<int32_t>&& v) { return vector_to_numpy(std::move(v), NPY_INT32); }
Ref to_numpy(large_vector<int64_t>&& v) { return vector_to_numpy(std::move(v), NPY_INT64); }
Ref to_numpy(large_vector<double>&& v) { return vector_to_numpy(std::move(v), NPY_FLOAT64); }

Ref rows_to_numpy(std::size_t n_rows, std::size_t width, std::span<const uint32_t> items) {
    ensure_numpy();
    if (n_rows == 0) width = 0;
    npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(width)};
    Ref arr = Ref::checked(PyArray_SimpleNew(2, dims, NPY_INT32));
    if (n_rows != 0 && width != 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), items.data(),
                    n_rows * width * sizeof(int32_t));
    return arr;
}

void dict_set(PyObject* d, const char* key, Ref value) { check(PyDict_SetItemString(d, key, value.get()) == 0); }

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyErr_SetString(type, message ? message : "native code failed without a message");
}

}  // namespace tallisk::py
