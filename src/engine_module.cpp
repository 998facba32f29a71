// Module entry and function table of tallisk._engine, the package's own engine: every
// frequent itemset (all, closed or maximal), association rules of every shape, and
// exact counts of given itemsets. It shares the compute core and the boundary layer
// with _tallisk_rs but has no inherited contract, so its errors follow Python's
// conventions: ValueError for bad data, TypeError for bad types, MemoryError saying which
// call ran out, how far it had got and which arguments make it smaller. Its calls
// release the interpreter lock and, made from the main thread, stop at Ctrl-C (or any
// signal handler that raises) with the handler's exception (py::interruptible).
#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "boundary.hpp"
#include "common/pool.hpp"
#include "engine/apriori.hpp"
#include "engine/count.hpp"
#include "engine/data.hpp"
#include "engine/filter.hpp"
#include "engine/mine.hpp"
#include "engine/rules.hpp"
#include "engine/stats.hpp"
#include "engine/topk.hpp"
#include "io/format.hpp"
#include "io/tokenize.hpp"
#include "objects.hpp"
#include "tables/tables.hpp"

namespace tallisk {
namespace {

using py::Array;
using py::Ref;

// ---- argument kinds -----------------------------------------------------------------

//! Kind: an integer in [lo, hi]; TypeError for a non-integer, ValueError naming the
//! argument and the rule for a value outside the range.
struct IntIn {
    int64_t lo, hi;
    const char* rule;  // the range in words, as the ValueError states it

    int64_t operator()(PyObject* obj, const char* name) const {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer, got '%s'", name, Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        if (overflow != 0 || v < lo || v > hi) {
            PyErr_Format(PyExc_ValueError, "%s must be %s, got %S", name, rule, index.get());
            throw py::ErrorAlreadySet{};
        }
        return v;
    }
};

//! Kind: one of a few strings, mapped to an enumerator. An option with a refusal is
//! recognised, so the caller learns why it is not available, and raises ValueError.
template <class E, std::size_t N>
struct Choice {
    struct Option {
        const char* text;
        E value;
        const char* refusal = nullptr;
    };
    std::array<Option, N> options;
    const char* expected;  // the TypeError's name for a string: "str" or "a str"
    const char* got;       // what joins the ValueError's list of options and the value given

    E operator()(PyObject* obj, const char* name) const {
        if (!PyUnicode_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", name, expected,
                         Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        for (const Option& o : options) {
            if (PyUnicode_CompareWithASCIIString(obj, o.text) != 0) continue;
            if (o.refusal) py::raise(PyExc_ValueError, o.refusal);
            return o.value;
        }
        std::string listed;  // 'a', 'b' or 'c'
        for (std::size_t i = 0; i < N; ++i) {
            if (i) listed += i + 1 == N ? " or " : ", ";
            listed += std::string("'") + options[i].text + "'";
        }
        PyErr_Format(PyExc_ValueError, "%s must be %s%s%R", name, listed.c_str(), got, obj);
        throw py::ErrorAlreadySet{};
    }
};

//! Kind: None or an int >= 1, a length limit; a positive int beyond 64 bits is beyond
//! any itemset length and means no limit too, a negative one is refused like -1.
struct Length {
    std::optional<uint64_t> operator()(PyObject* obj, const char* name) const {
        if (obj == Py_None) return std::nullopt;
        if (!PyLong_Check(obj) || PyBool_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected an int or None, got '%s'", name,
                         Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        if (overflow > 0) return std::nullopt;
        if (overflow < 0 || v < 1) {
            PyErr_Format(PyExc_ValueError, "%s must be at least 1 (None for no limit); got %S", name, obj);
            throw py::ErrorAlreadySet{};
        }
        return static_cast<uint64_t>(v);
    }
};

//! Kind: a bool (True or False only, as a flag should be).
struct Flag {
    bool operator()(PyObject* obj, const char* name) const {
        if (!PyBool_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a bool, got '%s'", name, Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        return obj == Py_True;
    }
};

constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
// Item ids are int32, so no id reaches beyond this item space.
constexpr int64_t kMaxItems = int64_t{1} << 31;

constexpr auto kTxnIds = py::arg("txn_ids", py::ArrayOf<int64_t>{});
constexpr auto kItemIds = py::arg("item_ids", py::ArrayOf<int32_t>{});
constexpr auto kNItems = py::arg("n_items", IntIn{0, kMaxItems, "between 0 and 2**31"});
constexpr auto kOffsets = py::arg("offsets", py::ArrayOf<int64_t>{});
constexpr auto kItems = py::arg("items", py::ArrayOf<int32_t>{});
constexpr Choice<engine::Target, 3> kTargets{
    {{{"all", engine::Target::all}, {"closed", engine::Target::closed}, {"maximal", engine::Target::maximal}}},
    "str",
    ", got "};

//! The miners mine_itemsets offers; both give the same rows and counts.
enum class Algorithm { depth_first, apriori };

// ---- wrappers -----------------------------------------------------------------------

constexpr py::Function kMineItemsets{
    "mine_itemsets",
    py::params(
        kTxnIds, kItemIds, kNItems, py::arg("min_count", IntIn{1, kMaxInt, "at least 1"}),
        py::arg("min_len", IntIn{0, kMaxInt, "at least 0"}, py::Default<int64_t>{"1", 1}),
        py::arg("max_len", IntIn{1, kMaxInt, "at least 1 (or None)"}, py::OrNone{}),
        py::arg("target", kTargets, py::Default<engine::Target>{"'all'", engine::Target::all}),
        py::arg("max_itemsets", IntIn{0, kMaxInt, "at least 0 (or None)"}, py::OrNone{}),
        py::arg("order",
                Choice<engine::Order, 2>{
                    {{{"search", engine::Order::search}, {"canonical", engine::Order::canonical}}}, "str", ", got "},
                py::Default<engine::Order>{"'search'", engine::Order::search}),
        py::arg("algorithm",
                Choice<Algorithm, 2>{
                    {{{"depth_first", Algorithm::depth_first}, {"apriori", Algorithm::apriori}}}, "str", ", got "},
                py::Default<Algorithm>{"'depth_first'", Algorithm::depth_first})),
    "Every frequent itemset of the transactions, or only the closed or the maximal ones.\n\n"
    "txn_ids (int64) and item_ids (int32) are the occurrences, one (transaction, item) pair\n"
    "per position; only equality of transaction labels matters and repeated pairs count\n"
    "once. Item ids lie in 0 .. n_items - 1. A set is frequent when at least min_count\n"
    "(>= 1) transactions hold all its items.\n\n"
    "target: 'all' (every frequent set), 'closed' (no proper superset has the same count)\n"
    "or 'maximal' (no proper superset is frequent). Closed and maximal sets are those of\n"
    "the whole search space; min_len and max_len (None: no limit) only choose which\n"
    "lengths are reported, and the search stops where every further set is longer.\n"
    "max_itemsets (None: no limit): ValueError as soon as more rows than this would be\n"
    "reported.\n\n"
    "Returns a dict: 'offsets' (int64, m + 1) and 'items' (int32) hold the m itemsets as\n"
    "CSR rows, ids ascending within a row; 'counts' (int64, m) the transactions holding\n"
    "each; 'n_transactions'; 'item_counts' (int64, n_items) the transactions per item.\n\n"
    "order: the row order, the same for every number of worker threads. 'canonical':\n"
    "by length ascending, then lexicographically by item ids. 'search' (the default):\n"
    "the order the search finds them in, which costs nothing extra. Items are ranked by\n"
    "ascending transaction count, ties by ascending id. With target 'all' the rows\n"
    "come in depth-first preorder over this ranking: sorted by their items listed in\n"
    "rank order, lexicographically, a set right before its extensions. 'closed' lists\n"
    "the sets in depth-first preorder of the closure-extension tree (a closed set, then\n"
    "the closed sets grown from it by a later-ranked item), 'maximal' in the order that\n"
    "same tree reaches them. Items held by every transaction come first in that tree.\n\n"
    "algorithm: 'depth_first' (the search above, serving every target) or 'apriori'\n"
    "(classic level-wise candidate generation and counting; closed and maximal sets judged\n"
    "level by level), the same rows and counts. 'apriori' checks max_itemsets after every\n"
    "batch of a few thousand candidates (for closed and maximal sets: after every level)\n"
    "and gives its rows in canonical order whatever the order asked for.\n\n"
    "MemoryError says how many rows were found when memory ran out.",
    {"mining the itemsets", "raise min_count, or set max_len or max_itemsets"}};

Ref mine_itemsets(Array<int64_t> txn, Array<int32_t> item, int64_t n_items, int64_t min_count, int64_t min_len,
                  std::optional<int64_t> max_len, engine::Target target, std::optional<int64_t> max_itemsets,
                  engine::Order order, Algorithm algorithm) {
    engine::MineOptions opt;
    // No set reaches a count beyond 32 bits: such a minimum behaves like the largest one.
    opt.min_count = static_cast<uint32_t>(std::min<int64_t>(min_count, 0xFFFFFFFFLL));
    opt.min_len = min_len == 0 ? 1 : static_cast<std::size_t>(min_len);  // the empty set is never reported
    if (max_len) opt.max_len = static_cast<std::size_t>(*max_len);
    opt.target = target;
    if (max_itemsets) opt.max_itemsets = static_cast<uint64_t>(*max_itemsets);
    opt.order = order;
    // Named references, not a structured binding: the lambdas below capture them, which
    // Clang before 16 refuses for a binding.
    const auto spans = py::spans(txn, item);
    const auto& txn_ids = std::get<0>(spans);
    const auto& item_ids = std::get<1>(spans);

    engine::MineResult out;
    py::interruptible([&] {
        engine::check_occurrences(txn_ids, item_ids, static_cast<uint64_t>(n_items));
        out = algorithm == Algorithm::apriori
                  ? engine::mine_apriori(txn_ids, item_ids, static_cast<uint32_t>(n_items), opt)
                  : engine::mine(txn_ids, item_ids, static_cast<uint32_t>(n_items), opt);
    });
    return py::dict_of("offsets", std::move(out.table.offsets), "items", std::move(out.table.items), "counts",
                       std::move(out.table.counts), "n_transactions", out.n_transactions, "item_counts",
                       std::move(out.item_counts));
}

constexpr py::Function kCountItemsets{
    "count_itemsets",
    py::params(kTxnIds, kItemIds, kNItems, kOffsets, kItems),
    "The exact transaction count of each given itemset.\n\n"
    "txn_ids, item_ids and n_items as for mine_itemsets. The candidates are the CSR rows\n"
    "of offsets (int64, m + 1, starting at 0, non-decreasing, ending at len(items)) and\n"
    "items (int32 ids in 0 .. n_items - 1). A candidate's ids may come in any order and\n"
    "repeat: it is the set of its ids (sorted, repeats dropped); an empty candidate is\n"
    "held by every transaction. Candidates may repeat.\n\n"
    "Returns a dict: 'counts' (int64, m), in candidate order, and 'n_transactions'.",
    {"counting the itemsets", "count fewer candidates at a time"}};

Ref count_itemsets(Array<int64_t> txn, Array<int32_t> item, int64_t n_items, Array<int64_t> offsets_array,
                   Array<int32_t> items_array) {
    const auto spans = py::spans(txn, item, offsets_array, items_array);
    const auto& txn_ids = std::get<0>(spans);
    const auto& item_ids = std::get<1>(spans);
    const auto& offsets = std::get<2>(spans);
    const auto& items = std::get<3>(spans);

    engine::CountResult out;
    py::interruptible([&] {
        engine::check_occurrences(txn_ids, item_ids, static_cast<uint64_t>(n_items));
        engine::check_candidates(offsets, items, static_cast<uint64_t>(n_items));
        out = engine::count_candidates(txn_ids, item_ids, static_cast<uint32_t>(n_items), offsets, items);
    });
    return py::dict_of("counts", std::move(out.counts), "n_transactions", out.n_transactions);
}

// ---- filter_target ------------------------------------------------------------------

constexpr py::Function kFilterTarget{
    "filter_target",
    py::params(kOffsets, kItems, py::arg("counts", py::ArrayOf<int64_t>{}), py::arg("target", kTargets)),
    "The closed or the maximal rows of a table that holds every frequent itemset.\n\n"
    "The table is CSR: row r is items[offsets[r]:offsets[r + 1]] (int64 offsets starting at 0;\n"
    "int32 ids >= 0, in any order within a row, none repeated) held by counts[r] (int64)\n"
    "transactions; rows may come in any order. A row is closed when no row one item longer\n"
    "contains it with the same count, maximal when no row one item longer contains it. In a\n"
    "table of every frequent itemset (of every length, or every length up to one beyond the\n"
    "longest row to judge) that is the usual meaning, as any longer superset with the same\n"
    "count, or any longer frequent superset, implies one exactly one item longer. target\n"
    "'all' keeps every row.\n\n"
    "Returns a dict: 'rows' (int64) the kept row numbers, ascending, and 'offsets', 'items',\n"
    "'counts' the kept rows in that order, as given. ValueError for an array that is not\n"
    "such a table, a repeated id within a row or (closed, maximal) two rows holding the\n"
    "same set.",
    {"filtering the itemsets", nullptr}};

Ref filter_target(Array<int64_t> offsets_array, Array<int32_t> items_array, Array<int64_t> counts_array,
                  engine::Target target) {
    const auto spans = py::spans(offsets_array, items_array, counts_array);
    const auto& offsets = std::get<0>(spans);
    const auto& items = std::get<1>(spans);
    const auto& counts = std::get<2>(spans);
    std::vector<int64_t> rows;
    std::vector<int64_t> kept_offsets{0}, kept_counts;
    std::vector<int32_t> kept_items;
    py::interruptible([&] {
        rows = engine::filter_target(offsets, items, counts, target);
        kept_offsets.reserve(rows.size() + 1);
        kept_counts.reserve(rows.size());
        for (int64_t r : rows) {
            kept_items.insert(kept_items.end(), items.begin() + offsets[r], items.begin() + offsets[r + 1]);
            kept_offsets.push_back(static_cast<int64_t>(kept_items.size()));
            kept_counts.push_back(counts[r]);
        }
    });
    return py::dict_of("rows", std::move(rows), "offsets", std::move(kept_offsets), "items", std::move(kept_items),
                       "counts", std::move(kept_counts));
}

// ---- generate_rules -----------------------------------------------------------------

//! A rule table as the dict of columns generate_rules and top_rules return, with the
//! improvement column when it was computed.
Ref rule_columns(rules::RuleTable&& r, bool with_improvement) {
    Ref out = py::dict_of("antecedent_row", std::move(r.antecedent_row), "consequent_row", std::move(r.consequent_row),
                          "count", std::move(r.count), "antecedent_count", std::move(r.antecedent_count),
                          "consequent_count", std::move(r.consequent_count));
    if (r.with_sides)
        py::detail::set_columns(out.get(), "antecedent_offsets", std::move(r.antecedent_offsets), "antecedent_items",
                                std::move(r.antecedent_items), "consequent_offsets", std::move(r.consequent_offsets),
                                "consequent_items", std::move(r.consequent_items), "rule_row", std::move(r.rule_row));
    if (r.with_metrics)
        py::detail::set_columns(out.get(), "support", std::move(r.support), "confidence", std::move(r.confidence),
                                "lift", std::move(r.lift), "leverage", std::move(r.leverage), "conviction",
                                std::move(r.conviction), "zhangs_metric", std::move(r.zhangs_metric), "jaccard",
                                std::move(r.jaccard), "certainty", std::move(r.certainty), "kulczynski",
                                std::move(r.kulczynski), "cosine", std::move(r.cosine));
    if (with_improvement) py::dict_set(out.get(), "improvement", py::to_numpy(std::move(r.improvement)));
    return out;
}

constexpr auto kInputTarget =
    py::arg("input_target",
            Choice<rules::InputTarget, 3>{
                {{{"all", rules::InputTarget::all},
                  {"closed", rules::InputTarget::closed},
                  {"maximal", rules::InputTarget::all,
                   "exact counts of subsets are not available from maximal itemsets; mine with target "
                   "'all' or 'closed' to generate rules"}}},
                "a str",
                "; got "},
            py::Default<rules::InputTarget>{"'all'", rules::InputTarget::all});

constexpr py::Function kGenerateRules{
    "generate_rules",
    py::params(kOffsets, kItems, py::arg("counts", py::ArrayOf<double>{}), py::arg("n_transactions", py::F64{}),
               py::arg("min_confidence", py::F64{}), py::arg("min_lift", py::F64{}, py::OrNone{}),
               py::arg("max_consequent_len", Length{}, py::Default<std::optional<uint64_t>>{"None", std::nullopt}),
               py::arg("antecedent_items", py::ArrayOf<int32_t>{}, py::OrNone{}),
               py::arg("consequent_items", py::ArrayOf<int32_t>{}, py::OrNone{}), kInputTarget,
               py::arg("improvement", Flag{}, py::Default<bool>{"False", false}),
               py::arg("min_improvement", py::F64{}, py::OrNone{}),
               py::arg("metrics", Flag{}, py::Default<bool>{"True", true}),
               py::arg("side_items", Flag{}, py::Default<bool>{"True", true})),
    "Association rules A -> C from a mined itemset table (CSR offsets/items, counts on the scale of\n"
    "n_transactions: counts with the number of transactions, or supports with 1.0).\n\n"
    "Every rule with A and C non-empty and disjoint, A | C a set of the table (for input_target\n"
    "'closed': a subset of a closed set, counted as its largest-count closed superset), and\n"
    "count(A | C) / count(A) >= min_confidence; optionally lift >= min_lift, at most\n"
    "max_consequent_len items in C, and only the given item ids in A / in C. Consequents are grown\n"
    "level by level from those that passed. input_target 'maximal' raises ValueError.\n\n"
    "improvement=True adds 'improvement': the rule's confidence minus the highest confidence of a\n"
    "rule B -> C with B a proper subset of A (the empty B's confidence is C's support);\n"
    "min_improvement keeps only rules whose improvement is strictly greater (and adds it too).\n\n"
    "Returns a dict of arrays: antecedent_offsets/antecedent_items and consequent_offsets/\n"
    "consequent_items (CSR, ids ascending), rule_row/antecedent_row/consequent_row (int64 rows of\n"
    "the input, -1 where the set is not a row), count/antecedent_count/consequent_count, and the\n"
    "float64 metrics support, confidence, lift, leverage, conviction (inf when confidence is 1),\n"
    "zhangs_metric, jaccard, certainty, kulczynski, cosine (left out with metrics=False, for\n"
    "rule_metrics to compute in the table's final order). side_items=False leaves out the CSR\n"
    "columns and rule_row for input_target 'all', whose sides are all rows of the input (closed\n"
    "input keeps them). Rows are ordered by base set (input\n"
    "order; for closed input, closed row by closed row), then consequent length, then consequent\n"
    "ids; the order does not depend on the number of workers. MemoryError says how many\n"
    "rules were found when memory ran out.",
    {"generating the rules", "raise min_confidence or min_lift, or set max_consequent_len"}};

Ref generate_rules(Array<int64_t> offsets, Array<int32_t> items, Array<double> counts, double n_transactions,
                   double min_confidence, std::optional<double> min_lift, std::optional<uint64_t> max_consequent_len,
                   std::optional<Array<int32_t>> allow_a, std::optional<Array<int32_t>> allow_c,
                   rules::InputTarget input_target, bool improvement, std::optional<double> min_improvement,
                   bool metrics, bool side_items) {
    rules::Options o;
    o.metrics = metrics;
    o.side_items = side_items;
    o.n_transactions = n_transactions;
    o.min_confidence = min_confidence;
    o.min_lift = min_lift;
    o.max_consequent_len = max_consequent_len;
    o.input_target = input_target;
    o.improvement = improvement;
    o.min_improvement = min_improvement;
    const rules::Table table{offsets.span(), items.span(), counts.span()};
    if (allow_a) o.antecedent_items = allow_a->span();
    if (allow_c) o.consequent_items = allow_c->span();

    rules::RuleTable r;
    py::interruptible([&] { r = rules::generate_rules(table, o); });
    return rule_columns(std::move(r), o.improvement || o.min_improvement.has_value());
}

constexpr py::Function kRuleImprovement{
    "rule_improvement",
    py::params(kOffsets, kItems, py::arg("counts", py::ArrayOf<double>{}), py::arg("n_transactions", py::F64{}),
               py::arg("antecedent_offsets", py::ArrayOf<int64_t>{}),
               py::arg("antecedent_items", py::ArrayOf<int32_t>{}),
               py::arg("consequent_offsets", py::ArrayOf<int64_t>{}),
               py::arg("consequent_items", py::ArrayOf<int32_t>{}), kInputTarget),
    "The improvement of given rules A -> C over a mined itemset table (as for generate_rules):\n"
    "the rule's confidence minus the highest confidence of a rule B -> C with B a proper subset\n"
    "of A (the empty B's confidence is C's support).\n\n"
    "The rules are CSR rows: antecedent_offsets/antecedent_items and consequent_offsets/\n"
    "consequent_items, ids in any order. Returns a float64 array, one entry per rule. ValueError\n"
    "for bad input and when a set a rule needs is not in the table."};

Ref rule_improvement(Array<int64_t> offsets, Array<int32_t> items, Array<double> counts, double n_transactions,
                     Array<int64_t> a_offsets, Array<int32_t> a_items, Array<int64_t> c_offsets, Array<int32_t> c_items,
                     rules::InputTarget input_target) {
    rules::Options o;
    o.n_transactions = n_transactions;
    o.input_target = input_target;
    const rules::Table table{offsets.span(), items.span(), counts.span()};
    const auto spans = py::spans(a_offsets, a_items, c_offsets, c_items);
    const auto& ao = std::get<0>(spans);
    const auto& ai = std::get<1>(spans);
    const auto& co = std::get<2>(spans);
    const auto& ci = std::get<3>(spans);
    large_vector<double> out;
    py::interruptible([&] { out = rules::rule_improvement(table, o, ao, ai, co, ci); });
    return py::to_numpy(std::move(out));
}

// ---- rule_metrics -------------------------------------------------------------------

//! The number columns of a rule table by name: what rule_metrics writes and top_rules
//! ranks by.
constexpr Choice<rules::Column, 15> kColumns{{{{"count", rules::Column::count},
                                               {"antecedent_count", rules::Column::antecedent_count},
                                               {"consequent_count", rules::Column::consequent_count},
                                               {"support", rules::Column::support},
                                               {"antecedent_support", rules::Column::antecedent_support},
                                               {"consequent_support", rules::Column::consequent_support},
                                               {"confidence", rules::Column::confidence},
                                               {"lift", rules::Column::lift},
                                               {"leverage", rules::Column::leverage},
                                               {"conviction", rules::Column::conviction},
                                               {"zhangs_metric", rules::Column::zhangs_metric},
                                               {"jaccard", rules::Column::jaccard},
                                               {"certainty", rules::Column::certainty},
                                               {"kulczynski", rules::Column::kulczynski},
                                               {"cosine", rules::Column::cosine}}},
                                             "a str",
                                             "; got "};

//! Kind: a list of column names of kColumns.
struct ColumnNames {
    std::vector<rules::Column> operator()(PyObject* obj, const char* name) const {
        if (!PyList_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a list of str, got '%s'", name,
                         Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        // Comparing a str with a name runs no Python code: the list cannot change meanwhile.
        std::vector<rules::Column> out;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) out.push_back(kColumns(PyList_GET_ITEM(obj, i), name));
        return out;
    }
};

constexpr py::Function kRuleMetrics{
    "rule_metrics",
    py::params(py::arg("count", py::ArrayOf<double>{}), py::arg("antecedent_count", py::ArrayOf<double>{}),
               py::arg("consequent_count", py::ArrayOf<double>{}), py::arg("n_transactions", py::F64{}),
               py::arg("names", ColumnNames{}), py::arg("order", py::ArrayOf<int64_t>{}, py::OrNone{})),
    "Columns of a rule table from the counts of A | C, A and C (float64, on the scale of\n"
    "n_transactions), computed as generate_rules computes them, on the worker pool: a dict of\n"
    "float64 arrays, one per name of `names` (the counts themselves, 'support' or a metric of\n"
    "generate_rules), rule order[i] in row i (order None: every rule in turn). ValueError for\n"
    "counts of unequal lengths or a row of order outside them."};

Ref rule_metrics(Array<double> count_array, Array<double> a_array, Array<double> c_array, double n,
                 std::vector<rules::Column> which, std::optional<Array<int64_t>> order) {
    const auto spans = py::spans(count_array, a_array, c_array);
    const std::span<const int64_t> rows = order ? order->span() : std::span<const int64_t>{};
    std::vector<large_vector<double>> columns;
    py::interruptible([&] {
        columns = rules::metric_columns(std::get<0>(spans), std::get<1>(spans), std::get<2>(spans), n, which, rows);
    });
    Ref out = Ref::checked(PyDict_New());
    for (std::size_t j = 0; j < which.size(); ++j) {
        const char* key = nullptr;
        for (const auto& option : kColumns.options)
            if (option.value == which[j]) key = option.text;
        py::dict_set(out.get(), key, py::to_numpy(std::move(columns[j])));
    }
    return out;
}

// ---- rule_p_values ------------------------------------------------------------------

constexpr py::Function kRulePValues{
    "rule_p_values",
    py::params(py::arg("count", py::ArrayOf<double>{}), py::arg("antecedent_count", py::ArrayOf<double>{}),
               py::arg("consequent_count", py::ArrayOf<double>{}), py::arg("n_transactions", py::F64{}),
               py::arg("test",
                       Choice<stats::Test, 2>{
                           {{{"fisher", stats::Test::fisher}, {"chi2", stats::Test::chi2}}}, "a str", "; got "},
                       py::Default<stats::Test>{"'fisher'", stats::Test::fisher})),
    "One-sided p-values of rules A -> C: whether A and C occur together more often than\n"
    "independence predicts, from the 2x2 table of A and C over all n_transactions.\n\n"
    "count, antecedent_count and consequent_count (float64, one entry per rule, whole\n"
    "numbers) are the transactions holding A and C, A, and C. test 'fisher': Fisher's exact\n"
    "test, P(X >= count) for the hypergeometric X of the table's margins. test 'chi2':\n"
    "Pearson's statistic without continuity correction as a signed normal deviate z,\n"
    "p = P(Z >= z). p = 1 where A or C is in every transaction or in none.\n\n"
    "Returns a float64 array. ValueError names the first table that cannot exist."};

Ref rule_p_values(Array<double> count_array, Array<double> a_array, Array<double> c_array, double n, stats::Test test) {
    const auto spans = py::spans(count_array, a_array, c_array);
    const auto& count = std::get<0>(spans);
    const auto& count_a = std::get<1>(spans);
    const auto& count_c = std::get<2>(spans);
    large_vector<double> out;
    py::interruptible([&] { out = stats::p_values(count, count_a, count_c, n, test); });
    return py::to_numpy(std::move(out));
}

// ---- top_rules ----------------------------------------------------------------------

//! Kind: a list of item ids as a mask of n_items flags (ids outside the range are left
//! out: they name no item of the data).
std::vector<uint8_t> id_mask(std::optional<Array<int32_t>>& ids, int64_t n_items) {
    if (!ids) return {};
    std::vector<uint8_t> mask(static_cast<std::size_t>(n_items), 0);
    for (int32_t v : ids->span())
        if (v >= 0 && v < n_items) mask[static_cast<std::size_t>(v)] = 1;
    return mask;
}

constexpr py::Function kTopRules{
    "top_rules",
    py::params(kTxnIds, kItemIds, kNItems, py::arg("k", IntIn{1, kMaxInt, "at least 1"}),
               py::arg("by", kColumns, py::Default<topk::Measure>{"'leverage'", topk::Measure::leverage}),
               py::arg("min_confidence", py::F64{}, py::Default<double>{"0.0", 0.0}),
               py::arg("min_count", IntIn{1, kMaxInt, "at least 1 (or None)"}, py::OrNone{}),
               py::arg("min_len", IntIn{1, kMaxInt, "at least 1"}, py::Default<int64_t>{"2", 2}),
               py::arg("max_len", Length{}, py::Default<std::optional<uint64_t>>{"None", std::nullopt}),
               py::arg("max_consequent_len", Length{}, py::Default<std::optional<uint64_t>>{"None", std::nullopt}),
               py::arg("antecedent_items", py::ArrayOf<int32_t>{}, py::OrNone{}),
               py::arg("consequent_items", py::ArrayOf<int32_t>{}, py::OrNone{}),
               py::arg("n_transactions", IntIn{1, kMaxInt, "at least 1 (or None)"}, py::OrNone{})),
    "The k rules A -> C of the transactions with the highest value of `by`, found without a\n"
    "minimum support: the search raises its own count floor from the k-th value found so far\n"
    "where `by` bounds the rule's support ('support', 'count', 'leverage'); for the other\n"
    "measures min_count is required (ValueError without it).\n\n"
    "txn_ids, item_ids and n_items as for mine_itemsets; n_transactions counts the transactions\n"
    "with no item too (None: the distinct labels of txn_ids). Rules have count >= min_count,\n"
    "confidence >= min_confidence, min_len to max_len items in A | C, at most\n"
    "max_consequent_len in C, and only the given item ids in A / in C (an item allowed in\n"
    "neither is in no rule).\n\n"
    "Returns generate_rules' dict of columns (rows -1) holding every rule whose value is at\n"
    "least the k-th value less a margin of 1e-12 relative, by value descending: the caller\n"
    "cuts at the k-th value, ties included. Also 'n_transactions', 'itemsets' (sets the\n"
    "search reached), 'examined' (rules whose value it computed) and 'floor' (its final\n"
    "count floor)."};

Ref top_rules(Array<int64_t> txn, Array<int32_t> item, int64_t n_items, int64_t k, topk::Measure by,
              double min_confidence, std::optional<int64_t> min_count, int64_t min_len, std::optional<uint64_t> max_len,
              std::optional<uint64_t> max_consequent_len, std::optional<Array<int32_t>> allow_a,
              std::optional<Array<int32_t>> allow_c, std::optional<int64_t> n_transactions) {
    if (!min_count && !topk::bounds_support(by))
        py::raise(PyExc_ValueError,
                  "this measure reaches its best values on rules of any support, however rare, so the search "
                  "cannot bound it: give min_count");
    if (!(min_confidence >= 0.0 && min_confidence <= 1.0))
        py::raise(PyExc_ValueError, "min_confidence must be in [0, 1]");
    topk::Options o;
    o.k = static_cast<std::size_t>(k);
    o.by = by;
    o.min_confidence = min_confidence;
    o.min_count = static_cast<uint32_t>(std::min<int64_t>(min_count.value_or(1), 0xFFFFFFFFLL));
    o.min_len = static_cast<std::size_t>(min_len);
    if (max_len) o.max_len = static_cast<std::size_t>(*max_len);
    if (max_consequent_len) o.max_consequent_len = static_cast<std::size_t>(*max_consequent_len);
    o.allow_a = id_mask(allow_a, n_items);
    o.allow_c = id_mask(allow_c, n_items);
    o.n_transactions = static_cast<uint64_t>(n_transactions.value_or(0));
    const auto spans = py::spans(txn, item);
    const auto& txn_ids = std::get<0>(spans);
    const auto& item_ids = std::get<1>(spans);

    topk::Result r;
    py::interruptible([&] {
        engine::check_occurrences(txn_ids, item_ids, static_cast<uint64_t>(n_items));
        r = topk::top_rules(txn_ids, item_ids, static_cast<uint32_t>(n_items), o);
    });
    Ref out = rule_columns(std::move(r.rules), false);
    py::dict_set(out.get(), "n_transactions", Ref::checked(PyLong_FromUnsignedLong(r.n_transactions)));
    py::dict_set(out.get(), "itemsets", Ref::checked(PyLong_FromUnsignedLongLong(r.itemsets)));
    py::dict_set(out.get(), "examined", Ref::checked(PyLong_FromUnsignedLongLong(r.examined)));
    py::dict_set(out.get(), "floor", Ref::checked(PyLong_FromUnsignedLong(r.floor)));
    return out;
}

// ---- reading files --------------------------------------------------------------------

//! A tokenizer behind a capsule. Feeding runs without the interpreter lock, so a second
//! thread feeding the same tokenizer meanwhile is refused rather than let race.
struct TokenizerBox {
    std::unique_ptr<io::LineTokenizer> lines;  // one of the two
    std::unique_ptr<io::CsvTokenizer> csv;
    std::atomic<bool> busy{false};
    bool finished = false;
};

constexpr const char* kTokenizerCapsule = "tallisk._engine.tokenizer";

void delete_tokenizer(PyObject* capsule) {
    delete static_cast<TokenizerBox*>(PyCapsule_GetPointer(capsule, kTokenizerCapsule));
}

Ref wrap_tokenizer(std::unique_ptr<TokenizerBox> box) {
    Ref capsule = Ref::checked(PyCapsule_New(box.get(), kTokenizerCapsule, &delete_tokenizer));
    box.release();  // the capsule owns it from now on
    return capsule;
}

//! Kind: a tokenizer made by line_tokenizer or csv_tokenizer.
struct TokenizerArg {
    TokenizerBox* operator()(PyObject* obj, const char* name) const {
        if (!PyCapsule_IsValid(obj, kTokenizerCapsule)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a tokenizer, got '%s'", name, Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        return static_cast<TokenizerBox*>(PyCapsule_GetPointer(obj, kTokenizerCapsule));
    }
};

//! Holds a tokenizer for one call; ValueError when another thread holds it.
class Holding {
public:
    explicit Holding(TokenizerBox* box) : box_(box) {
        bool expected = false;
        if (!box_->busy.compare_exchange_strong(expected, true))
            py::raise(PyExc_ValueError, "the tokenizer is in use by another thread");
        if (box_->finished) {
            box_->busy = false;
            py::raise(PyExc_ValueError, "the tokenizer has already finished");
        }
    }
    ~Holding() { box_->busy = false; }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    TokenizerBox* box_;
};

const char* failure_name(io::Failure::Kind k) {
    switch (k) {
        case io::Failure::Kind::nul: return "nul";
        case io::Failure::Kind::utf8: return "utf8";
        case io::Failure::Kind::long_name: return "long_name";
        case io::Failure::Kind::open_quote: return "open_quote";
        case io::Failure::Kind::after_quote: return "after_quote";
        case io::Failure::Kind::fields: return "fields";
        case io::Failure::Kind::missing_txn: return "missing_txn";
    }
    return "unknown";
}

//! None, or (kind, line, expected, got).
Ref failure_tuple(const std::optional<io::Failure>& f) {
    if (!f) return Ref::borrow(Py_None);
    return Ref::checked(Py_BuildValue("(sLLL)", failure_name(f->kind), static_cast<long long>(f->line),
                                      static_cast<long long>(f->expected), static_cast<long long>(f->got)));
}

Ref bytes_of(std::string_view s) {
    return Ref::checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

constexpr auto kStrip = py::arg("strip", py::Flag{});
constexpr auto kCheckUtf8 = py::arg("check_utf8", py::Flag{});
constexpr auto kMaxName = py::arg("max_name", IntIn{1, kMaxInt, "at least 1"});

constexpr py::Function kLineTokenizer{
    "line_tokenizer", py::params(py::arg("separators", py::Bytes{}), kStrip, kCheckUtf8, kMaxName),
    "A tokenizer for FIMI and basket lines: one transaction per line, names between the\n"
    "separator bytes (none of them a line end or NUL). strip: trim blanks around names;\n"
    "check_utf8: refuse names that are not UTF-8; max_name: the longest name in bytes.\n"
    "Feed it with tokenizer_feed, then call tokenizer_finish."};

Ref line_tokenizer(py::BufferView separators, bool strip, bool check_utf8, int64_t max_name) {
    io::LineOptions o;
    for (const char c : separators.bytes()) {
        if (c == '\n' || c == '\r' || c == '\0') py::raise(PyExc_ValueError, "a separator cannot be a line end or NUL");
        o.separator[static_cast<unsigned char>(c)] = true;
    }
    o.strip = strip;
    o.check_utf8 = check_utf8;
    o.max_name = static_cast<std::size_t>(max_name);
    auto box = std::make_unique<TokenizerBox>();
    box->lines = std::make_unique<io::LineTokenizer>(o);
    return wrap_tokenizer(std::move(box));
}

//! Kind: one byte, as a length-1 bytes object.
struct OneByte {
    char operator()(PyObject* obj, const char* name) const {
        if (!PyBytes_Check(obj) || PyBytes_GET_SIZE(obj) != 1) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected one byte", name);
            throw py::ErrorAlreadySet{};
        }
        return PyBytes_AS_STRING(obj)[0];
    }
};

constexpr auto kCount = IntIn{0, kMaxInt, "at least 0"};

constexpr py::Function kCsvTokenizer{
    "csv_tokenizer",
    py::params(py::arg("delimiter", OneByte{}), kStrip, kCheckUtf8,
               py::arg("n_fields", IntIn{1, kMaxInt, "at least 1"}), py::arg("txn_field", kCount),
               py::arg("item_field", kCount), py::arg("first_line", IntIn{1, kMaxInt, "at least 1"}), kMaxName),
    "A tokenizer for the records of a long CSV table after its header: n_fields fields a\n"
    "record, the transaction in field txn_field and the item in field item_field (0-based);\n"
    "first_line numbers the first line fed. Feed it with tokenizer_feed, then call\n"
    "tokenizer_finish."};

Ref csv_tokenizer(char delimiter, bool strip, bool check_utf8, int64_t n_fields, int64_t txn_field, int64_t item_field,
                  int64_t first_line, int64_t max_name) {
    if (delimiter == '"' || delimiter == '\n' || delimiter == '\r' || delimiter == '\0')
        py::raise(PyExc_ValueError, "the delimiter cannot be a quote, a line end or NUL");
    if (txn_field >= n_fields || item_field >= n_fields || txn_field == item_field)
        py::raise(PyExc_ValueError, "txn_field and item_field must be two different fields below n_fields");
    io::CsvOptions o;
    o.delimiter = delimiter;
    o.strip = strip;
    o.check_utf8 = check_utf8;
    o.n_fields = static_cast<std::size_t>(n_fields);
    o.txn_field = static_cast<std::size_t>(txn_field);
    o.item_field = static_cast<std::size_t>(item_field);
    o.max_field = static_cast<std::size_t>(max_name);
    auto box = std::make_unique<TokenizerBox>();
    box->csv = std::make_unique<io::CsvTokenizer>(o, first_line);
    return wrap_tokenizer(std::move(box));
}

constexpr py::Function kTokenizerFeed{
    "tokenizer_feed",
    py::params(py::arg("tokenizer", TokenizerArg{}), py::arg("data", py::Bytes{}), py::arg("last", py::Flag{})),
    "Reads the next bytes of the input (last: the input ends with them). Returns None, or\n"
    "the first fault met as (kind, line, expected, got): kind 'nul', 'utf8', 'long_name',\n"
    "'open_quote', 'after_quote', 'fields' (expected and got are field counts) or\n"
    "'missing_txn'. After a fault further bytes are ignored."};

Ref tokenizer_feed(TokenizerBox* box, py::BufferView data, bool last) {
    Holding hold(box);
    std::optional<io::Failure> failure;
    {
        py::ReleaseGil nogil;
        if (box->lines) {
            box->lines->feed(data.bytes(), last);
            failure = box->lines->failure();
        } else {
            box->csv->feed(data.bytes(), last);
            failure = box->csv->failure();
        }
    }
    return failure_tuple(failure);
}

Ref names_columns(Ref d, io::SortedNames&& names) {
    py::dict_set(d.get(), "names", bytes_of(names.joined));
    py::dict_set(d.get(), "n_names", Ref::checked(PyLong_FromSize_t(names.rank.size())));
    py::dict_set(d.get(), "first_line", py::to_numpy(std::move(names.first_line)));
    py::dict_set(d.get(), "values", names.integers ? py::to_numpy(std::move(names.values)) : Ref::borrow(Py_None));
    return d;
}

constexpr py::Function kTokenizerFinish{
    "tokenizer_finish", py::params(py::arg("tokenizer", TokenizerArg{})),
    "What the tokenizer read, with the names sorted as their labels sort. A dict: 'codes'\n"
    "(int32, sorted-label id of every name read; for CSV one per record, -1 where the item\n"
    "field is empty), 'names' (bytes: the sorted names joined by NUL), 'n_names',\n"
    "'first_line' (int64, line of each sorted name's first occurrence), 'values' (int64\n"
    "values of the sorted names when every one is a canonical decimal integer, else None);\n"
    "lines: 'line_items' (int32, names per line) and 'txn_codes' (int64, the 0-based line of\n"
    "every name); CSV: 'txn_codes' (int64 per record, by\n"
    "first appearance) and 'n_transactions'."};

Ref tokenizer_finish(TokenizerBox* box) {
    Holding hold(box);
    box->finished = true;
    if (box->lines) {
        io::LineTokenizer::Result r;
        {
            py::ReleaseGil nogil;
            r = box->lines->finish();
        }
        Ref d = py::dict_of("line_items", std::move(r.line_items), "txn_codes", std::move(r.txn_codes), "codes",
                            std::move(r.codes));
        return names_columns(std::move(d), std::move(r.names));
    }
    io::CsvTokenizer::Result r;
    {
        py::ReleaseGil nogil;
        r = box->csv->finish();
    }
    Ref d = py::dict_of("txn_codes", std::move(r.txn_codes), "codes", std::move(r.codes));
    py::dict_set(d.get(), "n_transactions", Ref::checked(PyLong_FromLongLong(r.n_transactions)));
    return names_columns(std::move(d), std::move(r.names));
}

constexpr py::Function kCsvRecords{
    "csv_records",
    py::params(py::arg("data", py::Bytes{}), py::arg("delimiter", OneByte{}), py::arg("max_records", kCount),
               py::arg("last", py::Flag{})),
    "The first records of data, every field unquoted, as the CSV tokenizer reads them (for\n"
    "the header and for telling a long table from basket lines). A dict: 'records' (list of\n"
    "lists of bytes), 'lines' (line where each began), 'consumed' (bytes up to the end of\n"
    "the last record returned), 'next_line' and 'failure' (None, or as tokenizer_feed\n"
    "reports it). A record the data cuts off is left out unless last is True."};

Ref csv_records(py::BufferView data, char delimiter, int64_t max_records, bool last) {
    io::CsvRecords r;
    {
        py::ReleaseGil nogil;
        r = io::csv_records(data.bytes(), delimiter, static_cast<std::size_t>(max_records), last);
    }
    Ref records = Ref::checked(PyList_New(static_cast<Py_ssize_t>(r.records.size())));
    Ref lines = Ref::checked(PyList_New(static_cast<Py_ssize_t>(r.records.size())));
    for (std::size_t i = 0; i < r.records.size(); ++i) {
        Ref fields = Ref::checked(PyList_New(static_cast<Py_ssize_t>(r.records[i].size())));
        for (std::size_t j = 0; j < r.records[i].size(); ++j)
            PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(j), bytes_of(r.records[i][j]).release());
        PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), fields.release());
        PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i),
                        Ref::checked(PyLong_FromLongLong(r.lines[i])).release());
    }
    Ref d = py::dict_of("records", std::move(records), "lines", std::move(lines));
    py::dict_set(d.get(), "consumed", Ref::checked(PyLong_FromSize_t(r.consumed)));
    py::dict_set(d.get(), "next_line", Ref::checked(PyLong_FromLongLong(r.next_line)));
    py::dict_set(d.get(), "failure", failure_tuple(r.failure));
    return d;
}

// ---- writing text ---------------------------------------------------------------------

//! The cells of format_rows, with everything their spans point into held for the call.
struct Cells {
    std::vector<io::Cell> cells;
    std::deque<py::ArrayView> arrays;
    std::deque<py::BufferView> buffers;
};

//! Kind: a list of cell tuples (see format_rows).
struct CellList {
    Cells operator()(PyObject* obj, const char* name) const {
        if (!PyList_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a list of cells, got '%s'", name,
                         Py_TYPE(obj)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        Cells out;
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        out.cells.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) out.cells.push_back(cell(PyList_GET_ITEM(obj, i), out));
        return out;
    }

private:
    static PyObject* field(PyObject* t, Py_ssize_t k) { return PyTuple_GET_ITEM(t, k); }

    template <class T>
    static std::span<const T> array(PyObject* obj, Cells& out, const char* what) {
        constexpr py::Dtype d = py::dtype_of<T>();
        out.arrays.push_back(py::to_array(obj, what, d, 1));
        return out.arrays.back().contiguous<T>();
    }
    static std::string_view text(PyObject* obj, Cells& out, const char* what) {
        out.buffers.emplace_back(obj, what);
        return out.buffers.back().text();
    }
    static int64_t integer(PyObject* obj, const char* what) { return IntIn{0, kMaxInt, "at least 0"}(obj, what); }
    //! The (width, right) pair every value cell ends with.
    static void padding(PyObject* t, io::Cell& c) {
        const Py_ssize_t n = PyTuple_GET_SIZE(t);
        c.width = integer(field(t, n - 2), "width");
        c.right = py::Flag{}(field(t, n - 1), "right");
    }
    static void shape(PyObject* t, Py_ssize_t size, const char* kind) {
        if (PyTuple_GET_SIZE(t) != size) {
            PyErr_Format(PyExc_TypeError, "a '%s' cell is a tuple of %zd fields", kind, size);
            throw py::ErrorAlreadySet{};
        }
    }

    static io::Cell cell(PyObject* t, Cells& out) {
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) < 1 || !PyUnicode_Check(field(t, 0)))
            py::raise(PyExc_TypeError, "a cell is a tuple starting with its kind");
        io::Cell c;
        PyObject* kind = field(t, 0);
        if (PyUnicode_CompareWithASCIIString(kind, "literal") == 0) {
            shape(t, 2, "literal");
            c.kind = io::Cell::Kind::literal;
            c.literal = text(field(t, 1), out, "literal");
            return c;
        }
        if (PyUnicode_CompareWithASCIIString(kind, "f64") == 0) {
            // ("f64", values, style, precision, width, right)
            shape(t, 6, "f64");
            c.kind = io::Cell::Kind::f64;
            c.f64 = array<double>(field(t, 1), out, "values");
            c.style = Choice<io::FloatStyle, 3>{{{{"shortest", io::FloatStyle::shortest},
                                                  {"json", io::FloatStyle::json},
                                                  {"general", io::FloatStyle::general}}},
                                                "str",
                                                ", got "}(field(t, 2), "style");
            c.precision = static_cast<int>(IntIn{1, 17, "between 1 and 17"}(field(t, 3), "precision"));
            padding(t, c);
            return c;
        }
        if (PyUnicode_CompareWithASCIIString(kind, "i64") == 0) {
            // ("i64", values, width, right)
            shape(t, 4, "i64");
            c.kind = io::Cell::Kind::i64;
            c.i64 = array<int64_t>(field(t, 1), out, "values");
            padding(t, c);
            return c;
        }
        if (PyUnicode_CompareWithASCIIString(kind, "labels") == 0) {
            // ("labels", row_offsets or None, codes, label_data, label_offsets, missing,
            //  open, sep, close, csv_delimiter, width, right)
            shape(t, 12, "labels");
            c.kind = io::Cell::Kind::labels;
            if (field(t, 1) != Py_None) c.row_offsets = array<int64_t>(field(t, 1), out, "row_offsets");
            c.codes = array<int32_t>(field(t, 2), out, "codes");
            c.label_data = text(field(t, 3), out, "label_data");
            c.label_offsets = array<int64_t>(field(t, 4), out, "label_offsets");
            c.missing = text(field(t, 5), out, "missing");
            c.open = text(field(t, 6), out, "open");
            c.sep = text(field(t, 7), out, "sep");
            c.close = text(field(t, 8), out, "close");
            const std::string_view d = text(field(t, 9), out, "csv_delimiter");
            if (d.size() > 1) py::raise(PyExc_ValueError, "csv_delimiter is one byte or empty");
            c.csv_delimiter = d.empty() ? '\0' : d[0];
            padding(t, c);
            return c;
        }
        PyErr_Format(PyExc_ValueError, "unknown cell kind %R", kind);
        throw py::ErrorAlreadySet{};
    }
};

constexpr auto kCells = py::arg("cells", CellList{});
constexpr auto kNRows = py::arg("n_rows", kCount);
constexpr auto kBegin = py::arg("begin", kCount);
constexpr auto kEnd = py::arg("end", kCount);

void check_range(int64_t n_rows, int64_t begin, int64_t end) {
    if (begin > end || end > n_rows) py::raise(PyExc_ValueError, "rows begin .. end must lie within 0 .. n_rows");
}

constexpr py::Function kFormatRows{
    "format_rows", py::params(kCells, kNRows, kBegin, kEnd, py::arg("row_end", py::Bytes{})),
    "The text of rows begin .. end - 1 of a table of n_rows rows: each row's cells in turn,\n"
    "then row_end. A cell is a tuple: ('literal', text), ('f64', values, style, precision,\n"
    "width, right) with style 'shortest', 'json' or 'general' (precision significant\n"
    "digits), ('i64', values, width, right), or ('labels', row_offsets, codes, label_data,\n"
    "label_offsets, missing, open, sep, close, csv_delimiter, width, right): row r writes\n"
    "open, the labels codes[row_offsets[r] .. row_offsets[r + 1]] (one code per row when\n"
    "row_offsets is None; -1 writes missing) joined by sep, then close; label k is\n"
    "label_data[label_offsets[k] .. label_offsets[k + 1]]. A non-empty csv_delimiter quotes\n"
    "the cell as CSV does when it holds that byte, a quote or a line end. width > 0 pads\n"
    "the cell with spaces to that many characters, on the left when right is True.\n"
    "Returns bytes."};

Ref format_rows(Cells cells, int64_t n_rows, int64_t begin, int64_t end, py::BufferView row_end) {
    check_range(n_rows, begin, end);
    std::string text;
    {
        py::ReleaseGil nogil;
        io::check_cells(cells.cells, static_cast<std::size_t>(n_rows), static_cast<std::size_t>(begin),
                        static_cast<std::size_t>(end));
        text = io::format_rows(cells.cells, static_cast<std::size_t>(begin), static_cast<std::size_t>(end),
                               row_end.text());
    }
    return bytes_of(text);
}

constexpr py::Function kCellWidths{
    "cell_widths", py::params(kCells, kNRows, kBegin, kEnd),
    "The widest text of each cell over rows begin .. end - 1, in characters (code points),\n"
    "padding aside: int64, one per cell."};

Ref cell_widths(Cells cells, int64_t n_rows, int64_t begin, int64_t end) {
    check_range(n_rows, begin, end);
    std::vector<int64_t> widths;
    {
        py::ReleaseGil nogil;
        io::check_cells(cells.cells, static_cast<std::size_t>(n_rows), static_cast<std::size_t>(begin),
                        static_cast<std::size_t>(end));
        widths = io::cell_widths(cells.cells, static_cast<std::size_t>(begin), static_cast<std::size_t>(end));
    }
    return py::to_numpy(std::move(widths));
}
// ---- tables: object columns, grouping, ordering ---------------------------------------

constexpr py::Function kLabelRows{
    "label_rows",
    py::params(kOffsets, kItems, py::arg("labels", py::ObjectArrayOf{}),
               py::arg("kind",
                       Choice<py::RowKind, 2>{
                           {{{"tuple", py::RowKind::tuple}, {"frozenset", py::RowKind::frozenset}}}, "str", ", got "},
                       py::Default<py::RowKind>{"'tuple'", py::RowKind::tuple}),
               py::arg("twin", Flag{}, py::Default<bool>{"False", false})),
    "The CSR rows of label ids as an object array of tuples (or frozensets) of labels.\n\n"
    "Row r of offsets (int64, m + 1, from 0, non-decreasing, ending at len(items)) and items\n"
    "(int32 ids into labels, a 1-D object array) becomes the container of\n"
    "labels[items[offsets[r]:offsets[r + 1]]], in that order; every cell a new container\n"
    "holding new references to the labels. ValueError for offsets or ids that do not fit.\n"
    "Containers of labels the cyclic garbage collector never follows (str, int, float,\n"
    "bytes, None, and tuples of those) are not tracked by it. twin=True returns a pair of\n"
    "such arrays holding the very same containers."};

Ref label_rows(Array<int64_t> offsets, Array<int32_t> items, py::ObjectArray labels, py::RowKind kind, bool twin) {
    if (!twin) return py::label_rows(offsets.span(), items.span(), labels, kind);
    Ref second;
    Ref first = py::label_rows(offsets.span(), items.span(), labels, kind, &second);
    return Ref::checked(PyTuple_Pack(2, first.get(), second.get()));
}

constexpr py::Function kCellRows{
    "cell_rows", py::params(py::arg("cells", py::ObjectArrayOf{}), py::arg("reference", py::ObjectArrayOf{})),
    "For every cell of cells (a 1-D object array), the position of the very same object\n"
    "(by identity, not equality) in reference, or -1: an int64 array of len(cells)."};

Ref cell_rows(py::ObjectArray cells, py::ObjectArray reference) { return py::cell_rows(cells, reference); }

constexpr py::Function kTakeCells{
    "take_cells",
    py::params(py::arg("cells", py::ObjectArrayOf{}), py::arg("rows", py::ArrayOf<int64_t>{}),
               py::arg("order", py::ArrayOf<int64_t>{}, py::OrNone{})),
    "cells[rows[order]] (cells[rows] when order is None) for a 1-D object array of cells:\n"
    "a new object array, each cell a new reference to the shared object. ValueError for a\n"
    "row outside the cells or an order position outside the rows."};

Ref take_cells(py::ObjectArray cells, Array<int64_t> rows, std::optional<Array<int64_t>> order) {
    return py::take_cells(cells, rows.span(), order ? order->span() : std::span<const int64_t>{}, order.has_value());
}

constexpr py::Function kFactorizeBaskets{
    "factorize_baskets", py::params(py::arg("baskets", py::ListArg{})),
    "The labels of a list of baskets (iterables of labels, not strings), factorised in one\n"
    "pass. Returns a dict: 'sizes' (int64, labels per basket, repeats included), 'codes'\n"
    "(int32, one per label, basket after basket) and 'uniques' (object array of the\n"
    "distinct labels in order of first appearance). Labels are equal as dict keys are."};

Ref factorize_baskets(PyObject* baskets) { return py::factorize_baskets(baskets); }

constexpr py::Function kGroupPairs{
    "group_pairs",
    py::params(py::arg("txn_codes", py::ArrayOf<int64_t>{}), kItemIds,
               py::arg("n_transactions", IntIn{0, kMaxInt, "at least 0"})),
    "The distinct (transaction, item) pairs of the occurrences, sorted by transaction, then\n"
    "item id. txn_codes (int64) lie in 0 .. n_transactions - 1, item_ids (int32) are\n"
    "non-negative; ValueError otherwise. Returns a dict: 'txn_ids' (int64), 'item_ids'\n"
    "(int32)."};

Ref group_pairs(Array<int64_t> txn, Array<int32_t> item, int64_t n_transactions) {
    const auto spans = py::spans(txn, item);
    const auto& txn_codes = std::get<0>(spans);
    const auto& item_ids = std::get<1>(spans);
    tables::Grouped out;
    {
        py::ReleaseGil nogil;
        out = tables::group_pairs(txn_codes, item_ids, static_cast<uint64_t>(n_transactions));
    }
    return py::dict_of("txn_ids", std::move(out.txn_ids), "item_ids", std::move(out.item_ids));
}

constexpr py::Function kGroupRows{
    "group_rows",
    py::params(py::arg("sizes", py::ArrayOf<int64_t>{}), py::arg("codes", py::ArrayOf<int32_t>{}),
               py::arg("rank", py::ArrayOf<int32_t>{}, py::OrNone{})),
    "The (transaction, item) pairs of collections given one after another: collection t\n"
    "holds the next sizes[t] (int64) of codes (int32), each mapped through rank[code] (int32;\n"
    "None: kept as it is). Each transaction's items ascending, once each. ValueError for a\n"
    "negative size, sizes that do not add up to the codes, or a code without a rank. Returns\n"
    "a dict: 'txn_ids' (int64), 'item_ids' (int32)."};

Ref group_rows(Array<int64_t> sizes, Array<int32_t> codes, std::optional<Array<int32_t>> rank) {
    const auto spans = py::spans(sizes, codes);
    const std::span<const int32_t> ranks = rank ? rank->span() : std::span<const int32_t>{};
    tables::Grouped out;
    {
        py::ReleaseGil nogil;
        out = tables::group_rows(std::get<0>(spans), std::get<1>(spans), ranks);
    }
    return py::dict_of("txn_ids", std::move(out.txn_ids), "item_ids", std::move(out.item_ids));
}

constexpr py::Function kTrueCells{
    "true_cells",
    py::params(py::arg("cells", py::Bytes{}), py::arg("n_rows", py::USize{}), py::arg("n_cols", py::USize{}),
               py::arg("column_major", Flag{}, py::Default<bool>{"False", false})),
    "The true cells of an n_rows x n_cols matrix of bytes (a buffer of n_rows * n_cols bytes,\n"
    "row after row, or column after column with column_major=True; a non-zero byte is true):\n"
    "a dict with 'txn_ids' (int64, the rows) and 'item_ids' (int32, the columns), by row and\n"
    "within a row by column. ValueError when the buffer does not hold that many bytes."};

Ref true_cells(py::BufferView cells, uint64_t n_rows, uint64_t n_cols, bool column_major) {
    const std::span<const char> bytes = cells.bytes();
    const std::span<const uint8_t> span{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    tables::Grouped out;
    {
        py::ReleaseGil nogil;
        out = tables::true_cells(span, n_rows, n_cols, column_major);
    }
    return py::dict_of("txn_ids", std::move(out.txn_ids), "item_ids", std::move(out.item_ids));
}

constexpr py::Function kOrderDescending{
    "order_descending", py::params(py::arg("keys", py::ArrayOf<double>{})),
    "The positions of keys (float64) by descending key, equal keys by ascending position,\n"
    "NaN last: the order of a stable descending sort (int64)."};

Ref order_descending(Array<double> keys) {
    const auto span = keys.span();
    std::vector<int64_t> order;
    {
        py::ReleaseGil nogil;
        order = tables::order_descending(span);
    }
    return py::to_numpy(std::move(order));
}

constexpr py::Function kGather{
    "gather", py::params(py::arg("values", py::NumberArrayArg{}), py::arg("rows", py::ArrayOf<int64_t>{})),
    "values[rows] for a 1-D contiguous array of 4- or 8-byte numbers, gathered on the worker\n"
    "pool: a new array of values' dtype. ValueError for a row outside the values."};

Ref gather(PyObject* values, Array<int64_t> rows) { return py::gather(values, rows.span()); }

// ---- threads ------------------------------------------------------------------------
//
// This module's pool is its own (see common/pool.hpp): the count set here never sizes
// the pool of _tallisk_rs, which keeps to RAYON_NUM_THREADS.

constexpr int64_t kMaxThreads = std::numeric_limits<int32_t>::max();

constexpr py::Function kSetNumThreads{
    "set_num_threads", py::params(py::arg("n", IntIn{0, kMaxThreads, "between 0 and 2**31 - 1"})),
    "Sets the number of threads the engine's parallel work runs on from the next call on,\n"
    "the calling thread included; 0 goes back to the default: RAYON_NUM_THREADS when it\n"
    "holds a positive number, otherwise the number of logical processors. A call already\n"
    "running keeps the threads it started with. Returns None."};

Ref set_num_threads(int64_t n) {
    pool::set_threads(static_cast<std::size_t>(n));
    return Ref::borrow(Py_None);
}

constexpr py::Function kGetNumThreads{
    "get_num_threads", py::params(),
    "The number of threads the next call's parallel work runs on (1 in a child created\n"
    "by fork, which computes on its calling thread)."};

Ref get_num_threads() { return Ref::checked(PyLong_FromSize_t(pool::num_threads())); }

constexpr py::Function kMeasureThreads{
    "measure_threads", py::params(),
    "Runs a small parallel section as a call would and returns the number of threads its\n"
    "worker pool allows, as oneTBB reports it from inside the section's tasks."};

Ref measure_threads() {
    std::size_t n = 0;
    {
        py::ReleaseGil nogil;
        n = pool::measured_threads();
    }
    return Ref::checked(PyLong_FromSize_t(n));
}

// ---- function table -----------------------------------------------------------------

PyMethodDef* functions() {
    static PyMethodDef table[] = {
        py::method<kMineItemsets, &mine_itemsets>(),
        py::method<kGenerateRules, &generate_rules>(),
        py::method<kCountItemsets, &count_itemsets>(),
        py::method<kRuleMetrics, &rule_metrics>(),
        py::method<kRulePValues, &rule_p_values>(),
        py::method<kRuleImprovement, &rule_improvement>(),
        py::method<kTopRules, &top_rules>(),
        py::method<kLineTokenizer, &line_tokenizer>(),
        py::method<kCsvTokenizer, &csv_tokenizer>(),
        py::method<kTokenizerFeed, &tokenizer_feed>(),
        py::method<kTokenizerFinish, &tokenizer_finish>(),
        py::method<kCsvRecords, &csv_records>(),
        py::method<kFormatRows, &format_rows>(),
        py::method<kCellWidths, &cell_widths>(),
        py::method<kFilterTarget, &filter_target>(),
        py::method<kLabelRows, &label_rows>(),
        py::method<kCellRows, &cell_rows>(),
        py::method<kTakeCells, &take_cells>(),
        py::method<kFactorizeBaskets, &factorize_baskets>(),
        py::method<kGroupPairs, &group_pairs>(),
        py::method<kGroupRows, &group_rows>(),
        py::method<kTrueCells, &true_cells>(),
        py::method<kOrderDescending, &order_descending>(),
        py::method<kGather, &gather>(),
        py::method<kSetNumThreads, &set_num_threads>(),
        py::method<kGetNumThreads, &get_num_threads>(),
        py::method<kMeasureThreads, &measure_threads>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

// A non-negative size makes CPython call the init function again in every
// interpreter instead of copying a cached dict into it, so the sub-interpreter check
// below always runs.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tallisk._engine", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tallisk

// The thread count as plain C symbols, found by threadpoolctl's controller for this
// library (tallisk._threads) the way it finds a BLAS library's.
extern "C" __attribute__((visibility("default"))) int tallisk_get_num_threads() {
    return static_cast<int>(tallisk::pool::num_threads());
}

extern "C" __attribute__((visibility("default"))) void tallisk_set_num_threads(int n) {
    tallisk::pool::set_threads(n > 0 ? static_cast<std::size_t>(n) : 0);
}

PyMODINIT_FUNC PyInit__engine() {
    using namespace tallisk;
    return py::init_module("tallisk._engine", [] {
        kModule.m_methods = functions();
        return Ref::checked(PyModule_Create(&kModule));
    });
}
