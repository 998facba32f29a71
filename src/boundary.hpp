// The CPython boundary: owned references, argument matching and conversion, array
// views, result arrays, releasing the interpreter lock, and the guard that turns every
// native failure into a Python exception. Only this unit and module.cpp include
// Python.h; compute units take spans and return vectors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/buffer.hpp"
#include "common/error.hpp"
#include "common/stop.hpp"

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

//! Runs `body` (compute code, which must not touch Python) with the interpreter lock
//! released. On the main thread the call can be interrupted: the body runs on the pool's
//! helper thread while this thread waits, taking the lock back every kSignalPoll to run
//! the pending signals' handlers (PyErr_CheckSignals); when one raises (Ctrl-C:
//! KeyboardInterrupt), the body is stopped at its next check (common/stop.hpp), this
//! thread waits until it has unwound and freed what it built, and the handler's
//! exception is raised (ErrorAlreadySet). Other threads never receive signals: there,
//! and in a forked child or where the helper cannot run, the body runs on the calling
//! thread. Exceptions of the body are rethrown here.
void interruptible(const std::function<void()>& body);

//! How often a waiting call runs the pending signals' handlers.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// ---- argument matching --------------------------------------------------------------

//! A function's parameter list: names in order, the first `n_required` without default.
struct Signature {
    const char* function;
    std::span<const char* const> params;
    std::size_t n_required;
};

constexpr std::size_t kMaxParams = 16;

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
double to_f64(PyObject* obj, const char* name);

// ---- arrays -------------------------------------------------------------------------

enum class Dtype { i32, i64, f64 };

//! Loads NumPy's C-API table on first use (the other boundary units share this one,
//! defined in boundary.cpp); unwinds with ImportError set when NumPy is missing.
void ensure_numpy();

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

//! A read-only, C-contiguous buffer (bytes, bytearray, memoryview, a NumPy array) held
//! for the whole call: its memory stays put while the interpreter lock is released.
class BufferView {
public:
    BufferView(PyObject* obj, const char* name);
    BufferView(BufferView&& o) noexcept : view_(o.view_), held_(o.held_) { o.held_ = false; }
    BufferView& operator=(BufferView&&) = delete;
    BufferView(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const char> bytes() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    std::string_view text() const { return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---- declared functions -------------------------------------------------------------
//
// Each exported function is declared once: its name, its parameters (name, kind,
// default) and its doc text. The argument matching, the conversion of every argument
// and the text signature CPython shows are all read off that one declaration, so they
// cannot drift apart. A kind is any object with `value operator()(PyObject*, const
// char* name) const` that converts a given argument or raises.

template <class T>
constexpr Dtype dtype_of() {
    if constexpr (std::is_same_v<T, int32_t>)
        return Dtype::i32;
    else if constexpr (std::is_same_v<T, int64_t>)
        return Dtype::i64;
    else
        return Dtype::f64;
}

//! An array argument whose element type is fixed by its declaration, so the type the
//! argument is checked against and the type its elements are read as are one.
template <class T>
class Array : public ArrayView {
public:
    explicit Array(ArrayView view) : ArrayView(std::move(view)) {}
    std::span<const T> span() { return contiguous<T>(); }
};

//! The elements of several arrays, taken in argument order.
template <class... T>
std::tuple<std::span<const T>...> spans(Array<T>&... arrays) {
    return {arrays.span()...};
}

//! Kind: a NumPy array of element type T with Ndim dimensions.
template <class T, int Ndim = 1>
struct ArrayOf {
    static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> || std::is_same_v<T, double>);
    Array<T> operator()(PyObject* obj, const char* name) const {
        return Array<T>(to_array(obj, name, dtype_of<T>(), Ndim));
    }
};
//! Kind: an int in [0, 2**32); OverflowError outside.
struct U32 {
    uint32_t operator()(PyObject* obj, const char* name) const { return to_u32(obj, name); }
};
//! Kind: an index-like int in [0, 2**64); OverflowError outside.
struct USize {
    uint64_t operator()(PyObject* obj, const char* name) const { return to_usize(obj, name); }
};
//! Kind: anything float() accepts.
struct F64 {
    double operator()(PyObject* obj, const char* name) const { return to_f64(obj, name); }
};

//! Kind: an object with the buffer protocol, read as bytes; TypeError otherwise.
struct Bytes {
    BufferView operator()(PyObject* obj, const char* name) const { return BufferView(obj, name); }
};
//! Kind: True or False (an int or anything else is a TypeError, not a truth value).
struct Flag {
    bool operator()(PyObject* obj, const char* name) const;
};

//! No default: the argument must be given.
struct Required {};
//! A default shown as `text`, taken only when the argument is absent; an explicit None
//! goes to the kind like any other value.
template <class T>
struct Default {
    const char* text;
    T value;
};
//! A default of None: absent or None both give an empty optional.
struct OrNone {};

template <class Kind, class Dflt = Required>
struct Param {
    using kind_value = decltype(std::declval<const Kind&>()(nullptr, ""));
    static constexpr bool required = std::is_same_v<Dflt, Required>;
    static constexpr bool or_none = std::is_same_v<Dflt, OrNone>;
    using value_type = std::conditional_t<or_none, std::optional<kind_value>, kind_value>;

    const char* name;
    Kind kind;
    Dflt dflt{};

    //! The default as the text signature shows it; nullptr when there is none.
    const char* default_text() const {
        if constexpr (required)
            return nullptr;
        else if constexpr (or_none)
            return "None";
        else
            return dflt.text;
    }
    //! The argument's value; `obj` is nullptr when the argument was not given, which
    //! match_args only allows for parameters with a default.
    value_type convert(PyObject* obj) const {
        if constexpr (or_none) {
            if (obj == nullptr || obj == Py_None) return std::nullopt;
        } else if constexpr (!required) {
            if (obj == nullptr) return dflt.value;
        }
        return kind(obj, name);
    }
};

template <class Kind>
constexpr Param<Kind> arg(const char* name, Kind kind) {
    return {name, kind};
}
template <class Kind, class Dflt>
constexpr Param<Kind, Dflt> arg(const char* name, Kind kind, Dflt dflt) {
    return {name, kind, dflt};
}

//! A parameter list. Parameters with a default come after all those without.
template <class... Ps>
struct Params {
    std::tuple<Ps...> list;

    static constexpr std::size_t size = sizeof...(Ps);
    static constexpr std::size_t n_required = (std::size_t{0} + ... + std::size_t{Ps::required});
    static_assert(size <= kMaxParams);
    static_assert(
        [] {
            constexpr bool required[] = {Ps::required..., false};
            for (std::size_t i = n_required; i < size; ++i)
                if (required[i]) return false;
            return true;
        }(),
        "a parameter without default follows one with a default");

    //! "(a, b, c=None)".
    std::string text_signature() const {
        std::string out = "(";
        std::apply(
            [&](const auto&... p) {
                ((out += out.size() > 1 ? ", " : "", out += p.name,
                  p.default_text() ? (out += "=", out += p.default_text(), 0) : 0),
                 ...);
            },
            list);
        return out + ")";
    }

    //! Matches the arguments of a call of `function` and converts each in parameter
    //! order, so the first bad argument is the one reported.
    std::tuple<typename Ps::value_type...> parse(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) const {
        const auto names = std::apply([](const auto&... p) { return std::array<const char*, size>{p.name...}; }, list);
        const Args a = match_args(Signature{function, names, n_required}, args, nargs, kwnames);
        return convert_all(a, std::index_sequence_for<Ps...>{});
    }

private:
    template <std::size_t... I>
    std::tuple<typename Ps::value_type...> convert_all(const Args& a, std::index_sequence<I...>) const {
        // Braced initialisation evaluates its elements left to right.
        return std::tuple<typename Ps::value_type...>{std::get<I>(list).convert(a[I])...};
    }
};

template <class... Ps>
constexpr Params<Ps...> params(Ps... ps) {
    return {std::tuple<Ps...>(ps...)};
}

//! What a function does, for the MemoryError of a call that runs out of memory: "out of
//! memory while <activity> (<progress>); <hint>". Without an activity the MemoryError
//! has no message.
struct Memory {
    const char* activity = nullptr;  // "mining the itemsets"
    const char* hint = nullptr;      // the arguments that make the call smaller
};

//! One exported function: name, parameters, the doc text below the signature, and what
//! its MemoryError says.
template <class P>
struct Function {
    const char* name;
    P params;
    const char* doc;
    Memory memory{};
};
template <class P>
Function(const char*, P, const char*) -> Function<P>;
template <class P>
Function(const char*, P, const char*, Memory) -> Function<P>;

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

//! A new C-ordered 2-D int32 array of shape (n_rows, width), or (0, 0) when n_rows is
//! 0, holding `items` (n_rows * width uint32 ids, row after row) bit for bit.
Ref rows_to_numpy(std::size_t n_rows, std::size_t width, std::span<const uint32_t> items);

//! Inserts `value` under `key` into dict `d` (the value reference is consumed).
void dict_set(PyObject* d, const char* key, Ref value);

namespace detail {
inline void set_columns(PyObject*) {}
template <class V, class... Rest>
void set_columns(PyObject* d, const char* key, V&& value, Rest&&... rest) {
    using T = std::decay_t<V>;
    if constexpr (std::is_same_v<T, Ref>)
        dict_set(d, key, std::move(value));
    else if constexpr (std::is_unsigned_v<T>)
        dict_set(d, key, Ref::checked(PyLong_FromUnsignedLongLong(value)));
    else
        dict_set(d, key, to_numpy(std::move(value)));
    set_columns(d, std::forward<Rest>(rest)...);
}
}  // namespace detail

//! A result dict of named columns, in the order given: dict_of("a", std::move(a),
//! "b", std::move(b), ...). A vector column becomes a 1-D array that takes over its
//! buffer (to_numpy), an unsigned integer a Python int; a Ref is inserted as it is.
template <class... Columns>
Ref dict_of(Columns&&... columns) {
    Ref d = Ref::checked(PyDict_New());
    detail::set_columns(d.get(), std::forward<Columns>(columns)...);
    return d;
}

// ---- the guard ----------------------------------------------------------------------

//! Raises PanicException (qualified name "pyo3_runtime.PanicException", a
//! BaseException) with the given message.
void raise_panic(const char* message);

//! Raises MemoryError for `e`, with the message `memory` describes (none without an
//! activity); the progress of an OutOfMemory goes in parentheses.
void raise_no_memory(const Memory& memory, const std::bad_alloc& e) noexcept;

//! Runs a wrapper body and maps every failure to a Python exception; returns a new
//! reference or nullptr with an exception set. `memory` words a MemoryError.
template <class F>
PyObject* guard(F&& body, const Memory& memory = {}) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
    } catch (const pool::Stopped&) {
        // A computation is only stopped for a signal handler that raised, whose
        // exception is set already.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc& e) {
        raise_no_memory(memory, e);
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

//! The body of a module's init function: ImportError naming the module in a
//! sub-interpreter, as the modules keep process-wide state (the worker pool, the
//! memory budget, cached objects); otherwise the module create() returns, with every
//! failure mapped to a Python exception.
template <class Create>
PyObject* init_module(const char* name, Create&& create) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "%s cannot be imported in a sub-interpreter", name);
        return nullptr;
    }
    return guard(std::forward<Create>(create));
}

//! The fast-call entry of function F: matches and converts the arguments, then calls
//! Body with the converted values in parameter order, all inside the guard.
template <const auto& F, auto Body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return std::apply(Body, F.params.parse(F.name, args, nargs, kwnames)); }, F.memory);
}

//! The method table row of function F implemented by Body. Its doc begins with the
//! text signature made from the declaration, "name(params)\n--\n\n", which CPython
//! turns into __text_signature__ and strips from __doc__.
template <const auto& F, auto Body>
PyMethodDef method() {
    static const std::string doc = std::string(F.name) + F.params.text_signature() + "\n--\n\n" + F.doc;
    return {F.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F, Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace tallisk::py
