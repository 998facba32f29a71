// Module entry and function table of _tallisk_rs.
//
// Every exported function is a thin wrapper: match and convert the arguments, take
// contiguous views in the order the function documents, run the computation (for most
// functions with the interpreter lock released), then build the result dict. The
// guard in boundary.hpp turns every native failure into a Python exception.
#include <optional>

#include "boundary.hpp"
#include "classic/classic.hpp"
#include "common/index.hpp"
#include "common/itemset.hpp"
#include "eclat/eclat.hpp"
#include "itemsets/itemsets.hpp"
#include "pairs/pairs.hpp"
#include "pipeline/pipeline.hpp"
#include "pipeline/variants.hpp"

namespace tallisk {
namespace {

using py::ArrayView;
using py::Dtype;
using py::Ref;

// ---- result dictionaries ------------------------------------------------------------

Ref new_dict() { return Ref::checked(PyDict_New()); }

Ref pair_table_dict(pairs::PairOut&& out, std::optional<uint32_t> n_transactions) {
    Ref d = new_dict();
    py::dict_set(d.get(), "item_A", py::to_numpy(std::move(out.item_a)));
    py::dict_set(d.get(), "item_B", py::to_numpy(std::move(out.item_b)));
    py::dict_set(d.get(), "instances", py::to_numpy(std::move(out.instances)));
    py::dict_set(d.get(), "support", py::to_numpy(std::move(out.support)));
    py::dict_set(d.get(), "confidence", py::to_numpy(std::move(out.confidence)));
    py::dict_set(d.get(), "lift", py::to_numpy(std::move(out.lift)));
    py::dict_set(d.get(), "conviction", py::to_numpy(std::move(out.conviction)));
    py::dict_set(d.get(), "leverage", py::to_numpy(std::move(out.leverage)));
    py::dict_set(d.get(), "cosine", py::to_numpy(std::move(out.cosine)));
    py::dict_set(d.get(), "jaccard", py::to_numpy(std::move(out.jaccard)));
    if (n_transactions) py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(*n_transactions)));
    return d;
}

//! One level of itemsets ready for output: rows (spans into storage the caller keeps
//! alive) and their counts, row i with count i.
struct LevelRows {
    std::vector<std::span<const uint32_t>> rows;
    std::vector<int64_t> counts;
};

LevelRows level_rows(const CountMap& level) {
    LevelRows out;
    out.rows.reserve(level.size());
    out.counts.reserve(level.size());
    for (const auto& [set, count] : level) {
        out.rows.emplace_back(set);
        out.counts.push_back(count);
    }
    return out;
}

//! Rows of `width` ids stored back to back in `flat`, row i with counts[i].
LevelRows flat_level_rows(const std::vector<uint32_t>& flat, const std::vector<uint32_t>& counts, std::size_t width) {
    LevelRows out;
    out.rows.reserve(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) out.rows.emplace_back(flat.data() + i * width, width);
    out.counts.assign(counts.begin(), counts.end());
    return out;
}

std::vector<int64_t> widen(const std::vector<uint32_t>& v) { return {v.begin(), v.end()}; }

void set_level(PyObject* d, const char* rows_key, const char* counts_key, LevelRows&& level) {
    const auto& rows = level.rows;
    py::dict_set(d, rows_key, py::rows_to_numpy(rows.size(), [&](std::size_t i) { return rows[i]; }));
    py::dict_set(d, counts_key, py::to_numpy(std::move(level.counts)));
}

//! The pipeline result dict shared by every mining pipeline; the classic pipeline
//! leaves out "n_transactions".
Ref build_result_dict(LevelRows&& top, LevelRows&& lower, std::vector<int64_t>&& item_counts,
                      std::optional<uint32_t> n_transactions) {
    Ref d = new_dict();
    set_level(d.get(), "itemsets", "counts", std::move(top));
    set_level(d.get(), "lower_itemsets", "lower_counts", std::move(lower));
    py::dict_set(d.get(), "item_counts", py::to_numpy(std::move(item_counts)));
    if (n_transactions) py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(*n_transactions)));
    return d;
}

// ---- signatures ---------------------------------------------------------------------

constexpr const char* kPairsParams[] = {"txn_ids", "item_ids", "n_items", "min_support"};
constexpr const char* kItemsetsParams[] = {"txn_ids", "item_ids",     "freq_lower",       "k",
                                           "n_items", "item_weights", "max_items_per_txn"};
constexpr const char* kPipelineParams[] = {"txn_ids",      "item_ids",         "k_max", "n_items", "min_support",
                                           "item_weights", "max_items_per_txn"};
constexpr const char* kEclatParams[] = {"txn_ids", "item_ids", "k_max", "n_items", "min_support"};
constexpr const char* kClassicPairsParams[] = {"txn_ids", "item_ids", "n_items", "n_transactions", "min_support"};
constexpr const char* kClassicPipelineParams[] = {
    "txn_ids", "item_ids", "k_max", "n_items", "_n_transactions", "min_support", "item_weights", "max_items_per_txn"};

// ---- wrappers -----------------------------------------------------------------------

PyObject* rust_compute_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"rust_compute_pairs", kPairsParams, 3};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const uint32_t n_items = py::to_u32(a[2], "n_items");
        const double min_support = a[3] ? py::to_f64(a[3], "min_support") : 0.0;
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();

        pairs::PairOut out;
        uint32_t n_transactions = 0;
        {
            py::ReleaseGil nogil;
            const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
            n_transactions = index.n_transactions;
            out = pairs::all_pairs(index, min_support);
        }
        return pair_table_dict(std::move(out), n_transactions);
    });
}

PyObject* rust_compute_itemsets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"rust_compute_itemsets", kItemsetsParams, 6};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        ArrayView freq = py::to_array(a[2], "freq_lower", Dtype::i32, 2);
        const uint64_t k = py::to_usize(a[3], "k");
        const uint32_t n_items = py::to_u32(a[4], "n_items");
        ArrayView weights = py::to_array(a[5], "item_weights", Dtype::f64, 1);
        const auto cap = py::to_opt_usize(a[6], "max_items_per_txn");
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();
        auto item_weights = weights.contiguous<double>();
        auto freq_buffer = freq.contiguous<int32_t>();

        // The (k-1)-sets and their pairs are read with the lock held; only the index
        // build and the counting run without it.
        itemsets::LowerSets lower = itemsets::lower_sets_from_rows(freq_buffer, freq.dim(0), k);
        CountMap counts;
        {
            py::ReleaseGil nogil;
            const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
            counts =
                itemsets::count_k_itemsets_internal(index, lower.lower, lower.pairs, k, n_items, item_weights, cap);
        }
        lower = itemsets::LowerSets();
        LevelRows rows = level_rows(counts);
        Ref d = new_dict();
        set_level(d.get(), "itemsets", "counts", std::move(rows));
        return d;
    });
}

//! The six level-wise pipelines share their argument list and result; variant 0 is
//! the base counter, the others the ablation counters of the same number.
template <int Variant>
PyObject* level_wise_pipeline(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        const py::Signature sig{name, kPipelineParams, 6};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const uint64_t k_max = py::to_usize(a[2], "k_max");
        const uint32_t n_items = py::to_u32(a[3], "n_items");
        const double min_support = py::to_f64(a[4], "min_support");
        ArrayView weights = py::to_array(a[5], "item_weights", Dtype::f64, 1);
        const auto cap = py::to_opt_usize(a[6], "max_items_per_txn");
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();
        auto item_weights = weights.contiguous<double>();

        pipeline::PipelineOutcome out;
        {
            py::ReleaseGil nogil;
            if constexpr (Variant == 0)
                out = pipeline::compute_pipeline(txn_ids, item_ids, k_max, n_items, min_support, item_weights, cap);
            else
                out = pipeline::compute_pipeline_variant(static_cast<pipeline::Ablation>(Variant), txn_ids, item_ids,
                                                         k_max, n_items, min_support, item_weights, cap);
        }
        return build_result_dict(level_rows(out.itemsets), level_rows(out.lower), widen(out.item_counts),
                                 out.n_transactions);
    });
}

#define TALLISK_PIPELINE_ENTRY(fn, variant)                                               \
    PyObject* fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return level_wise_pipeline<variant>(#fn, args, nargs, kwnames);                   \
    }
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline, 0)
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline_v1_roaring, 1)
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline_v2_memo, 2)
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline_v3_adaptive, 3)
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline_v5_prefilter, 5)
TALLISK_PIPELINE_ENTRY(rust_compute_pipeline_v6_gating, 6)
#undef TALLISK_PIPELINE_ENTRY

PyObject* rust_eclat_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"rust_eclat_pipeline", kEclatParams, 5};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const uint64_t k_max = py::to_usize(a[2], "k_max");
        const uint32_t n_items = py::to_u32(a[3], "n_items");
        const double min_support = py::to_f64(a[4], "min_support");
        if (k_max < 2) py::raise(PyExc_ValueError, "rust_eclat_pipeline requires k_max >= 2");
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();

        // The index and the frequent items are built with the lock held; only the
        // search, the long part, lets other Python threads run.
        // The search derives its own vertical view of the frequent items, so the item
        // side of the full index is never built, and it frees the rows once that view
        // exists; what the result needs from them is taken first.
        TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
        const eclat::FrequentItems frequent = eclat::frequent_items(rows, min_support);
        std::vector<int64_t> item_counts = widen(rows.item_counts);
        const uint32_t n_transactions = rows.n_transactions;
        eclat::EclatOut out;
        {
            py::ReleaseGil nogil;
            out = eclat::search(std::move(rows), frequent, k_max);
        }
        return build_result_dict(flat_level_rows(out.itemsets, out.counts, k_max),
                                 flat_level_rows(out.lower_itemsets, out.lower_counts, k_max - 1),
                                 std::move(item_counts), n_transactions);
    });
}

PyObject* rust_classic_compute_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"rust_classic_compute_pairs", kClassicPairsParams, 5};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const uint32_t n_items = py::to_u32(a[2], "n_items");
        const uint32_t n_transactions = py::to_u32(a[3], "n_transactions");
        const double min_support = py::to_f64(a[4], "min_support");
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();

        // The classic path keeps the interpreter lock for the whole call; only levels
        // with many candidates go to the pool, whose workers never touch Python objects.
        pairs::PairOut out = classic::frequent_pair_table(txn_ids, item_ids, n_items, n_transactions, min_support);
        return pair_table_dict(std::move(out), std::nullopt);
    });
}

PyObject* rust_classic_compute_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] {
        static const py::Signature sig{"rust_classic_compute_pipeline", kClassicPipelineParams, 7};
        const py::Args a = py::match_args(sig, args, nargs, kwnames);
        ArrayView txn = py::to_array(a[0], "txn_ids", Dtype::i64, 1);
        ArrayView item = py::to_array(a[1], "item_ids", Dtype::i32, 1);
        const uint64_t k_max = py::to_usize(a[2], "k_max");
        const uint32_t n_items = py::to_u32(a[3], "n_items");
        py::to_u32(a[4], "_n_transactions");  // accepted for the caller's convenience, unused
        const double min_support = py::to_f64(a[5], "min_support");
        ArrayView weights = py::to_array(a[6], "item_weights", Dtype::f64, 1);
        const auto cap = py::to_opt_usize(a[7], "max_items_per_txn");
        auto txn_ids = txn.contiguous<int64_t>();
        auto item_ids = item.contiguous<int32_t>();
        auto item_weights = weights.contiguous<double>();

        // Lock kept for the whole call, as in the pairs entry above.
        classic::TransactionIndex index = classic::build_with_cap(txn_ids, item_ids, item_weights, cap);
        const classic::Levels levels = classic::apriori_itemsets(index, min_support, k_max);
        // levels[j] holds the (j + 1)-itemsets; levels start at single items here.
        const auto level = [&](uint64_t k) {
            return k >= 1 && k <= levels.size() ? level_rows(levels[k - 1]) : LevelRows{};
        };
        LevelRows top = level(k_max);
        LevelRows lower = k_max >= 2 ? level(k_max - 1) : LevelRows{};

        // Counts of the (pruned) index; ids outside the id range, negative ids among
        // them, are mined but have no slot here.
        std::vector<int64_t> item_counts(n_items, 0);
        for (const auto& [x, count] : index.item_counts)
            if (x < n_items) item_counts[x] = count;
        return build_result_dict(std::move(top), std::move(lower), std::move(item_counts), std::nullopt);
    });
}

// ---- function table -----------------------------------------------------------------

#define TALLISK_PIPELINE_SIG \
    "(txn_ids, item_ids, k_max, n_items, min_support, item_weights, max_items_per_txn=None)\n--\n\n"

#define TALLISK_FN(name, doc) \
    { #name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kFunctions[] = {
    TALLISK_FN(rust_compute_pairs,
               "rust_compute_pairs(txn_ids, item_ids, n_items, min_support=0.0)\n--\n\n"
               "Compute all pairwise (k=2) associations with 7 metrics.\n\n"
               "Accepts integer-encoded arrays. Returns a Python dict of numpy arrays.\n\n"
               "`min_support` acts as an early cutoff on co-occurrence counts. When\n"
               "positive, pairs with `co_count < ceil(min_support * n_transactions)` are\n"
               "skipped before metrics are computed. `0.0` disables the filter.\n\n"
               "`n_transactions` is derived from the CSR build (dense txn factorise),\n"
               "so the caller does not pre-compute `.nunique()`."),
    TALLISK_FN(rust_compute_itemsets,
               "rust_compute_itemsets(txn_ids, item_ids, freq_lower, k, n_items, item_weights, "
               "max_items_per_txn=None)\n--\n\n"
               "Compute k-itemset (k>=3) counts by anchor-and-extend, in parallel: every\n"
               "frequent (k-1)-set found in a transaction is extended by the items that\n"
               "co-occur with it.\n\n"
               "Accepts integer-encoded arrays + frequent (k-1)-sets.\n"
               "Returns dict with \"itemsets\" (2D array) and \"counts\" (1D array)."),
    TALLISK_FN(rust_compute_pipeline,
               "rust_compute_pipeline" TALLISK_PIPELINE_SIG
               "Compute the full k=2 -> ... -> k_max association pipeline natively, in\n"
               "one call, level by level.\n\n"
               "Returns a dict with:\n"
               "- \"itemsets\": 2D int32 array (n_results, k_max) \u2014 the k_max-level itemsets\n"
               "- \"counts\": 1D int64 array (n_results,) \u2014 their counts\n"
               "- \"lower_itemsets\": 2D int32 array (n_lower, k_max-1) \u2014 (k_max-1)-level freq sets\n"
               "- \"lower_counts\": 1D int64 array (n_lower,) \u2014 their counts\n"
               "- \"item_counts\": 1D int64 array (n_items,) \u2014 per-item transaction counts"),
    TALLISK_FN(rust_compute_pipeline_v1_roaring,
               "rust_compute_pipeline_v1_roaring" TALLISK_PIPELINE_SIG
               "Phase-1 ablation variant. Same level loop and output schema as\n"
               "`rust_compute_pipeline`, but the per-level itemset counter calls the\n"
               "roaring-bitmap variant `count_k_itemsets_v1_roaring`. Used by the\n"
               "local-test notebook for A/B comparison; selected via\n"
               "`backend_options={'impl_variant': 'v1_roaring'}` from Python."),
    TALLISK_FN(rust_compute_pipeline_v2_memo,
               "rust_compute_pipeline_v2_memo" TALLISK_PIPELINE_SIG
               "Phase-2 ablation variant. Same level loop and output schema as\n"
               "`rust_compute_pipeline`, but the per-level itemset counter uses\n"
               "`count_k_itemsets_v2_memo` and carries `lower_to_txns: HashMap<Vec<u32>,\n"
               "RoaringBitmap>` across BFS levels."),
    TALLISK_FN(rust_compute_pipeline_v3_adaptive,
               "rust_compute_pipeline_v3_adaptive" TALLISK_PIPELINE_SIG
               "Phase-D ablation variant: same memoised BFS as `rust_compute_pipeline_v2_memo`\n"
               "but using the adaptive `TidList` enum (Sparse Vec<u32> / Dense\n"
               "RoaringBitmap) for level TID-lists. Fixes the small-list iteration\n"
               "regression v1/v2 paid by always using RoaringBitmap."),
    TALLISK_FN(rust_compute_pipeline_v5_prefilter,
               "rust_compute_pipeline_v5_prefilter" TALLISK_PIPELINE_SIG
               "v5_prefilter \u2014 apriori downward-closure check applied PRE-counter\n"
               "instead of POST-counter. Otherwise identical to v3_adaptive: the same\n"
               "adaptive Sparse/Dense `TidList` storage, with roaring bitmaps as the\n"
               "dense container. Expected wins on wide-sparse data; possible regression on\n"
               "narrow-dense."),
    TALLISK_FN(rust_compute_pipeline_v6_gating,
               "rust_compute_pipeline_v6_gating" TALLISK_PIPELINE_SIG
               "v6_gating \u2014 per-anchor candidate set built from pre-computed\n"
               "pair_neighbors. Replaces both anchor.contains() and apriori_check() in\n"
               "the inner loop with a single HashSet membership test, amortizing the\n"
               "pair-check work to once-per-anchor instead of once-per-(txn, item) pair.\n"
               "Otherwise identical to v3_adaptive (uses the same TidList Sparse/Dense\n"
               "adaptive storage)."),
    TALLISK_FN(rust_eclat_pipeline,
               "rust_eclat_pipeline(txn_ids, item_ids, k_max, n_items, min_support)\n--\n\n"
               "Eclat pipeline: k=2 through k_max in one recursive pass.\n\n"
               "Returns a Python dict shaped identically to\n"
               "`pipeline::rust_compute_pipeline` so the Python-side decoder works\n"
               "unchanged. Does not accept `max_items_per_txn` / `item_weights` \u2014 those\n"
               "are Apriori-path concerns and are rejected by the Python dispatcher\n"
               "before reaching this function."),
    TALLISK_FN(rust_classic_compute_pairs,
               "rust_classic_compute_pairs(txn_ids, item_ids, n_items, n_transactions, min_support)\n--\n\n"
               "Classic Apriori k=2 pair computation with 7 metrics.\n\n"
               "Returns the same 10-column schema as rust_compute_pairs, but only\n"
               "frequent pairs (support >= min_support). Classic Apriori requires\n"
               "min_support upfront for candidate pruning."),
    TALLISK_FN(rust_classic_compute_pipeline,
               "rust_classic_compute_pipeline(txn_ids, item_ids, k_max, n_items, _n_transactions, min_support, "
               "item_weights, max_items_per_txn=None)\n--\n\n"
               "Classic Apriori full pipeline k=1..k_max.\n\n"
               "Returns the same schema as rust_compute_pipeline:\n"
               "- \"itemsets\": 2D int32 array (n_results, k_max)\n"
               "- \"counts\": 1D int64 array (n_results,)\n"
               "- \"lower_itemsets\": 2D int32 array (n_lower, k_max-1)\n"
               "- \"lower_counts\": 1D int64 array (n_lower,)\n"
               "- \"item_counts\": 1D int64 array (n_items,) \u2014 per-item transaction counts"),
};
#undef TALLISK_FN
#undef TALLISK_PIPELINE_SIG

// A non-negative size makes CPython call the init function again in every interpreter
// instead of copying the first interpreter's module dict into it (what it does for -1),
// so the sub-interpreter refusal below always runs.
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_tallisk_rs", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* cached_module = nullptr;

PyObject* create_module() {
    Ref module = Ref::checked(PyModule_Create(&kModule));
    Ref all = Ref::checked(PyList_New(0));
    Ref name = Ref::checked(PyUnicode_FromString("_tallisk_rs"));
    for (PyMethodDef& def : kFunctions) {
        Ref fn = Ref::checked(PyCFunction_NewEx(&def, module.get(), name.get()));
        py::check(PyModule_AddObjectRef(module.get(), def.ml_name, fn.get()) == 0);
        Ref fn_name = Ref::checked(PyUnicode_FromString(def.ml_name));
        py::check(PyList_Append(all.get(), fn_name.get()) == 0);
    }
    py::check(PyModule_AddObjectRef(module.get(), "__all__", all.get()) == 0);
    return module.release();
}

}  // namespace
}  // namespace tallisk

extern "C" PyMODINIT_FUNC PyInit__tallisk_rs() {
    using namespace tallisk;
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "_tallisk_rs cannot be imported in a sub-interpreter");
        return nullptr;
    }
    if (cached_module) return Py_NewRef(cached_module);
    PyObject* module = py::guard([] { return Ref::steal(create_module()); });
    if (module) cached_module = Py_NewRef(module);
    return module;
}
