// Module entry and function table of _tallisk_rs.
//
// Every exported function is a declaration (name, parameters, doc) and a body. The
// declaration gives the argument matching, the conversions and the text signature
// (boundary.hpp); the body receives the converted values, takes contiguous views,
// runs the computation (for most functions with the interpreter lock released) and
// builds the result dict. The guard turns every native failure into a Python exception.
#include <optional>
#include <span>

#include "boundary.hpp"
#include "classic/classic.hpp"
#include "common/index.hpp"
#include "common/itemset.hpp"
#include "common/levels.hpp"
#include "eclat/eclat.hpp"
#include "itemsets/itemsets.hpp"
#include "pairs/pairs.hpp"
#include "pipeline/pipeline.hpp"

namespace tallisk {
namespace {

using py::Array;
using py::Ref;

// ---- result dictionaries ------------------------------------------------------------

Ref new_dict() { return Ref::checked(PyDict_New()); }

Ref pair_table_dict(pairs::PairOut&& out, std::optional<uint32_t> n_transactions) {
    Ref d = py::dict_of("item_A", std::move(out.item_a), "item_B", std::move(out.item_b), "instances",
                        std::move(out.instances), "support", std::move(out.support), "confidence",
                        std::move(out.confidence), "lift", std::move(out.lift), "conviction", std::move(out.conviction),
                        "leverage", std::move(out.leverage), "cosine", std::move(out.cosine), "jaccard",
                        std::move(out.jaccard));
    if (n_transactions) py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(*n_transactions)));
    return d;
}

void set_level(PyObject* d, const char* rows_key, const char* counts_key, LevelRows&& level) {
    py::dict_set(d, rows_key, py::rows_to_numpy(level.size(), level.width, level.items));
    level.items = {};
    py::dict_set(d, counts_key, py::to_numpy(std::move(level.counts)));
}

//! The result dict of every level-wise miner; "n_transactions" only where the miner
//! reports it.
Ref level_result_dict(LevelResult&& result) {
    Ref d = new_dict();
    set_level(d.get(), "itemsets", "counts", std::move(result.top));
    set_level(d.get(), "lower_itemsets", "lower_counts", std::move(result.lower));
    py::dict_set(d.get(), "item_counts", py::to_numpy(std::move(result.item_counts)));
    if (result.n_transactions)
        py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(*result.n_transactions)));
    return d;
}

// ---- parameters ---------------------------------------------------------------------

constexpr auto kTxnIds = py::arg("txn_ids", py::ArrayOf<int64_t>{});
constexpr auto kItemIds = py::arg("item_ids", py::ArrayOf<int32_t>{});
constexpr auto kNItems = py::arg("n_items", py::U32{});
constexpr auto kKMax = py::arg("k_max", py::USize{});
constexpr auto kMinSupport = py::arg("min_support", py::F64{});
constexpr auto kItemWeights = py::arg("item_weights", py::ArrayOf<double>{});
constexpr auto kCap = py::arg("max_items_per_txn", py::USize{}, py::OrNone{});

constexpr auto kPipelineParams = py::params(kTxnIds, kItemIds, kKMax, kNItems, kMinSupport, kItemWeights, kCap);

// ---- wrappers -----------------------------------------------------------------------

constexpr py::Function kComputePairs{
    "rust_compute_pairs",
    py::params(kTxnIds, kItemIds, kNItems, py::arg("min_support", py::F64{}, py::Default<double>{"0.0", 0.0})),
    "Compute all pairwise (k=2) associations with 7 metrics.\n\n"
    "Accepts integer-encoded arrays. Returns a Python dict of numpy arrays.\n\n"
    "`min_support` acts as an early cutoff on co-occurrence counts. When\n"
    "positive, pairs with `co_count < ceil(min_support * n_transactions)` are\n"
    "skipped before metrics are computed. `0.0` disables the filter.\n\n"
    "`n_transactions` is derived from the CSR build (dense txn factorise),\n"
    "so the caller does not pre-compute `.nunique()`."};

Ref compute_pairs(Array<int64_t> txn, Array<int32_t> item, uint32_t n_items, double min_support) {
    const auto [txn_ids, item_ids] = py::spans(txn, item);

    pairs::PairOut out;
    uint32_t n_transactions = 0;
    {
        py::ReleaseGil nogil;
        const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
        n_transactions = index.n_transactions;
        out = pairs::all_pairs(index, min_support);
    }
    return pair_table_dict(std::move(out), n_transactions);
}

constexpr py::Function kComputeItemsets{"rust_compute_itemsets",
                                        py::params(kTxnIds, kItemIds, py::arg("freq_lower", py::ArrayOf<int32_t, 2>{}),
                                                   py::arg("k", py::USize{}), kNItems, kItemWeights, kCap),
                                        "Compute k-itemset (k>=3) counts by anchor-and-extend, in parallel: every\n"
                                        "frequent (k-1)-set found in a transaction is extended by the items that\n"
                                        "co-occur with it.\n\n"
                                        "Accepts integer-encoded arrays + frequent (k-1)-sets.\n"
                                        "Returns dict with \"itemsets\" (2D array) and \"counts\" (1D array)."};

Ref compute_itemsets(Array<int64_t> txn, Array<int32_t> item, Array<int32_t> freq, uint64_t k, uint32_t n_items,
                     Array<double> weights, std::optional<uint64_t> cap) {
    const auto [txn_ids, item_ids, item_weights, freq_buffer] = py::spans(txn, item, weights, freq);

    // The (k-1)-sets and their pairs are read with the lock held; only the index
    // build and the counting run without it.
    itemsets::LowerSets lower = itemsets::lower_sets_from_rows(freq_buffer, freq.dim(0), k);
    CountMap counts;
    {
        py::ReleaseGil nogil;
        const InvertedIndex index = build_inverted_index(txn_ids, item_ids, n_items);
        counts = itemsets::count_k_itemsets_internal(index, lower.lower, lower.pairs, k, n_items, item_weights, cap);
    }
    lower = itemsets::LowerSets();
    LevelRows rows = LevelRows::of(counts);
    counts = CountMap();
    Ref d = new_dict();
    set_level(d.get(), "itemsets", "counts", std::move(rows));
    return d;
}

//! The six level-wise pipelines share their argument list, their driver and their
//! result; they differ only in the per-level counter.
template <pipeline::Counter C>
Ref level_wise_pipeline(Array<int64_t> txn, Array<int32_t> item, uint64_t k_max, uint32_t n_items, double min_support,
                        Array<double> weights, std::optional<uint64_t> cap) {
    const auto [txn_ids, item_ids, item_weights] = py::spans(txn, item, weights);
    LevelResult out;
    {
        py::ReleaseGil nogil;
        out = pipeline::compute_pipeline(C, txn_ids, item_ids, k_max, n_items, min_support, item_weights, cap);
    }
    return level_result_dict(std::move(out));
}

constexpr py::Function kComputePipeline{
    "rust_compute_pipeline", kPipelineParams,
    "Compute the full k=2 -> ... -> k_max association pipeline natively, in\n"
    "one call, level by level.\n\n"
    "Returns a dict with:\n"
    "- \"itemsets\": 2D int32 array (n_results, k_max) \u2014 the k_max-level itemsets\n"
    "- \"counts\": 1D int64 array (n_results,) \u2014 their counts\n"
    "- \"lower_itemsets\": 2D int32 array (n_lower, k_max-1) \u2014 (k_max-1)-level freq sets\n"
    "- \"lower_counts\": 1D int64 array (n_lower,) \u2014 their counts\n"
    "- \"item_counts\": 1D int64 array (n_items,) \u2014 per-item transaction counts"};
constexpr py::Function kPipelineV1{"rust_compute_pipeline_v1_roaring", kPipelineParams,
                                   "Phase-1 ablation variant. Same level loop and output schema as\n"
                                   "`rust_compute_pipeline`, but the per-level itemset counter calls the\n"
                                   "roaring-bitmap variant `count_k_itemsets_v1_roaring`. Used by the\n"
                                   "local-test notebook for A/B comparison; selected via\n"
                                   "`backend_options={'impl_variant': 'v1_roaring'}` from Python."};
constexpr py::Function kPipelineV2{"rust_compute_pipeline_v2_memo", kPipelineParams,
                                   "Phase-2 ablation variant. Same level loop and output schema as\n"
                                   "`rust_compute_pipeline`, but the per-level itemset counter uses\n"
                                   "`count_k_itemsets_v2_memo` and carries `lower_to_txns: HashMap<Vec<u32>,\n"
                                   "RoaringBitmap>` across BFS levels."};
constexpr py::Function kPipelineV3{"rust_compute_pipeline_v3_adaptive", kPipelineParams,
                                   "Phase-D ablation variant: same memoised BFS as `rust_compute_pipeline_v2_memo`\n"
                                   "but using the adaptive `TidList` enum (Sparse Vec<u32> / Dense\n"
                                   "RoaringBitmap) for level TID-lists. Fixes the small-list iteration\n"
                                   "regression v1/v2 paid by always using RoaringBitmap."};
constexpr py::Function kPipelineV5{"rust_compute_pipeline_v5_prefilter", kPipelineParams,
                                   "v5_prefilter \u2014 apriori downward-closure check applied PRE-counter\n"
                                   "instead of POST-counter. Otherwise identical to v3_adaptive: the same\n"
                                   "adaptive Sparse/Dense `TidList` storage, with roaring bitmaps as the\n"
                                   "dense container. Expected wins on wide-sparse data; possible regression on\n"
                                   "narrow-dense."};
constexpr py::Function kPipelineV6{"rust_compute_pipeline_v6_gating", kPipelineParams,
                                   "v6_gating \u2014 per-anchor candidate set built from pre-computed\n"
                                   "pair_neighbors. Replaces both anchor.contains() and apriori_check() in\n"
                                   "the inner loop with a single HashSet membership test, amortizing the\n"
                                   "pair-check work to once-per-anchor instead of once-per-(txn, item) pair.\n"
                                   "Otherwise identical to v3_adaptive (uses the same TidList Sparse/Dense\n"
                                   "adaptive storage)."};

constexpr py::Function kEclatPipeline{"rust_eclat_pipeline", py::params(kTxnIds, kItemIds, kKMax, kNItems, kMinSupport),
                                      "Eclat pipeline: k=2 through k_max in one recursive pass.\n\n"
                                      "Returns a Python dict shaped identically to\n"
                                      "`pipeline::rust_compute_pipeline` so the Python-side decoder works\n"
                                      "unchanged. Does not accept `max_items_per_txn` / `item_weights` \u2014 those\n"
                                      "are Apriori-path concerns and are rejected by the Python dispatcher\n"
                                      "before reaching this function."};

Ref eclat_pipeline(Array<int64_t> txn, Array<int32_t> item, uint64_t k_max, uint32_t n_items, double min_support) {
    if (k_max < 2) py::raise(PyExc_ValueError, "rust_eclat_pipeline requires k_max >= 2");
    const auto [txn_ids, item_ids] = py::spans(txn, item);

    // The index and the frequent items are built with the lock held; only the
    // search, the long part, lets other Python threads run.
    // The search derives its own vertical view of the frequent items, so the item
    // side of the full index is never built, and it frees the rows once that view
    // exists; what the result needs from them is taken first.
    TransactionRows rows = build_transaction_rows(txn_ids, item_ids, n_items);
    const eclat::FrequentItems frequent = eclat::frequent_items(rows, min_support);
    LevelResult result;
    {
        py::ReleaseGil nogil;
        result = eclat::search_levels(std::move(rows), frequent, k_max);
    }
    return level_result_dict(std::move(result));
}

constexpr py::Function kClassicPairs{
    "rust_classic_compute_pairs",
    py::params(kTxnIds, kItemIds, kNItems, py::arg("n_transactions", py::U32{}), kMinSupport),
    "Classic Apriori k=2 pair computation with 7 metrics.\n\n"
    "Returns the same 10-column schema as rust_compute_pairs, but only\n"
    "frequent pairs (support >= min_support). Classic Apriori requires\n"
    "min_support upfront for candidate pruning."};

Ref classic_pairs(Array<int64_t> txn, Array<int32_t> item, uint32_t n_items, uint32_t n_transactions,
                  double min_support) {
    const auto [txn_ids, item_ids] = py::spans(txn, item);

    // The classic path keeps the interpreter lock for the whole call; only levels
    // with many candidates go to the pool, whose workers never touch Python objects.
    pairs::PairOut out = classic::frequent_pair_table(txn_ids, item_ids, n_items, n_transactions, min_support);
    return pair_table_dict(std::move(out), std::nullopt);
}

constexpr py::Function kClassicPipeline{
    "rust_classic_compute_pipeline",
    // _n_transactions is accepted for the caller's convenience (and range-checked) but
    // unused: the classic index counts its own transactions.
    py::params(kTxnIds, kItemIds, kKMax, kNItems, py::arg("_n_transactions", py::U32{}), kMinSupport, kItemWeights,
               kCap),
    "Classic Apriori full pipeline k=1..k_max.\n\n"
    "Returns the same schema as rust_compute_pipeline:\n"
    "- \"itemsets\": 2D int32 array (n_results, k_max)\n"
    "- \"counts\": 1D int64 array (n_results,)\n"
    "- \"lower_itemsets\": 2D int32 array (n_lower, k_max-1)\n"
    "- \"lower_counts\": 1D int64 array (n_lower,)\n"
    "- \"item_counts\": 1D int64 array (n_items,) \u2014 per-item transaction counts"};

Ref classic_pipeline(Array<int64_t> txn, Array<int32_t> item, uint64_t k_max, uint32_t n_items,
                     uint32_t /*n_transactions*/, double min_support, Array<double> weights,
                     std::optional<uint64_t> cap) {
    const auto [txn_ids, item_ids, item_weights] = py::spans(txn, item, weights);

    // Lock kept for the whole call, as in the pairs entry above.
    return level_result_dict(
        classic::compute_pipeline(txn_ids, item_ids, k_max, n_items, min_support, item_weights, cap));
}

// ---- function table -----------------------------------------------------------------

//! The exported functions in the order of __all__.
std::span<PyMethodDef> functions() {
    static PyMethodDef table[] = {
        py::method<kComputePairs, &compute_pairs>(),
        py::method<kComputeItemsets, &compute_itemsets>(),
        py::method<kComputePipeline, &level_wise_pipeline<pipeline::Counter::base>>(),
        py::method<kPipelineV1, &level_wise_pipeline<pipeline::Counter::v1_roaring>>(),
        py::method<kPipelineV2, &level_wise_pipeline<pipeline::Counter::v2_memo>>(),
        py::method<kPipelineV3, &level_wise_pipeline<pipeline::Counter::v3_adaptive>>(),
        py::method<kPipelineV5, &level_wise_pipeline<pipeline::Counter::v5_prefilter>>(),
        py::method<kPipelineV6, &level_wise_pipeline<pipeline::Counter::v6_gating>>(),
        py::method<kEclatPipeline, &eclat_pipeline>(),
        py::method<kClassicPairs, &classic_pairs>(),
        py::method<kClassicPipeline, &classic_pipeline>(),
    };
    return table;
}

// A non-negative size makes CPython call the init function again in every interpreter
// instead of copying the first interpreter's module dict into it (what it does for -1),
// so the sub-interpreter refusal below always runs.
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_tallisk_rs", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* cached_module = nullptr;

Ref create_module() {
    Ref module = Ref::checked(PyModule_Create(&kModule));
    Ref all = Ref::checked(PyList_New(0));
    Ref name = Ref::checked(PyUnicode_FromString("_tallisk_rs"));
    for (PyMethodDef& def : functions()) {
        Ref fn = Ref::checked(PyCFunction_NewEx(&def, module.get(), name.get()));
        py::check(PyModule_AddObjectRef(module.get(), def.ml_name, fn.get()) == 0);
        Ref fn_name = Ref::checked(PyUnicode_FromString(def.ml_name));
        py::check(PyList_Append(all.get(), fn_name.get()) == 0);
    }
    py::check(PyModule_AddObjectRef(module.get(), "__all__", all.get()) == 0);
    return module;
}

}  // namespace
}  // namespace tallisk

PyMODINIT_FUNC PyInit__tallisk_rs() {
    using namespace tallisk;
    return py::init_module("_tallisk_rs", [] {
        // One module object per process: a second init (after the module was dropped
        // from sys.modules) returns the same one.
        if (!cached_module) cached_module = create_module().release();
        return Ref::borrow(cached_module);
    });
}
