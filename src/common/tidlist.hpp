// Transaction-id sets for the memoised counters.
//
// `Bitmap` owns one CRoaring bitmap, so that no bitmap can leak on any path (an
// exception thrown mid-level included); a creator that returns NULL becomes
// std::bad_alloc. Only the part of the C API that is the same in CRoaring 0.2.x and
// 4.x is used. `ItemTxnsRoaring` is one bitmap of transactions per item. `TidList`
// holds a set as a short ascending vector or as a bitmap, chosen by its size alone:
// short lists are cheap to walk, large bitmaps cheap to intersect.
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <roaring/roaring.h>

// CRoaring 1.x and later declare the C API inside namespace roaring::api when compiled
// as C++; 0.2.x declares it globally. Naming the namespace here (empty if it does not
// exist) and importing it makes the same unqualified calls work with both.
namespace roaring::api {}
using namespace ::roaring::api;  // NOLINT(google-global-names-in-headers)

#include "common/index.hpp"
#include "common/tuning.hpp"

namespace tallisk {

//! A move-only owner of a roaring bitmap of 32-bit values. A null handle (default
//! constructed or moved from) is the empty set for every read; the first insert
//! allocates. Concurrent reads of one bitmap are safe: copy-on-write stays off.
class Bitmap {
public:
    Bitmap() = default;
    //! Takes ownership of `adopted`; throws std::bad_alloc when it is null, which is
    //! how CRoaring reports a failed allocation.
    static Bitmap adopt(roaring_bitmap_t* adopted);
    //! A bitmap holding `values` (any order, repeats allowed).
    static Bitmap of(std::span<const uint32_t> values);

    Bitmap(Bitmap&& other) noexcept : my_bitmap(std::exchange(other.my_bitmap, nullptr)) {}
    Bitmap& operator=(Bitmap&& other) noexcept {
        if (this != &other) {
            reset();
            my_bitmap = std::exchange(other.my_bitmap, nullptr);
        }
        return *this;
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() { reset(); }

    //! An independent copy.
    Bitmap copy() const;

    void add(uint32_t value);
    void add_many(std::span<const uint32_t> values);
    //! In-place union with `other`.
    void or_inplace(const Bitmap& other);

    bool contains(uint32_t value) const { return my_bitmap && roaring_bitmap_contains(my_bitmap, value); }
    uint64_t cardinality() const { return my_bitmap ? roaring_bitmap_get_cardinality(my_bitmap) : 0; }
    bool empty() const { return cardinality() == 0; }
    //! A new bitmap holding the values present in both.
    Bitmap intersect(const Bitmap& other) const;
    //! Size of the intersection, without building it.
    uint64_t intersect_cardinality(const Bitmap& other) const;
    //! The values, ascending.
    std::vector<uint32_t> to_vector() const;

    //! Calls f(value) for every value in ascending order. An exception thrown by f stops
    //! the walk and is rethrown here (it is never let through the C library's frames).
    template <class F>
    void for_each(F&& f) const {
        if (!my_bitmap) return;
        struct Ctx {
            std::remove_reference_t<F>* f;
            std::exception_ptr error;
        } ctx{&f, nullptr};
        roaring_iterate(
            my_bitmap,
            [](uint32_t value, void* p) -> bool {
                auto* c = static_cast<Ctx*>(p);
                try {
                    (*c->f)(value);
                    return true;
                } catch (...) {
                    c->error = std::current_exception();
                    return false;
                }
            },
            &ctx);
        if (ctx.error) std::rethrow_exception(ctx.error);
    }

    const roaring_bitmap_t* get() const { return my_bitmap; }

private:
    explicit Bitmap(roaring_bitmap_t* owned) : my_bitmap(owned) {}
    void reset() noexcept;
    roaring_bitmap_t* ensure();

    roaring_bitmap_t* my_bitmap = nullptr;  // owned; null is the empty set
};

//! One bitmap of dense transaction ids per item id: bitmap i holds row i of the index's
//! `item_txns`. Read-only once built.
struct ItemTxnsRoaring {
    std::vector<Bitmap> bitmaps;  // n_items entries; an unused item has an empty bitmap

    //! Builds the bitmaps from the index's item rows (ascending, so every insert lands
    //! in the last container).
    static ItemTxnsRoaring from_index(const InvertedIndex& index);

    std::size_t size() const { return bitmaps.size(); }
    //! Bitmap of item i; throws Panic when i is not below size().
    const Bitmap& at(uint32_t item) const;
};

//! A set of dense transaction ids: `Sparse` (strictly ascending vector) at fewer than
//! tuning::kTidListDenseMin members, `Dense` (bitmap) otherwise. The two operations below are
//! the only producers, so the representation always follows from the cardinality.
class TidList {
public:
    using Sparse = std::vector<uint32_t>;
    using Dense = Bitmap;

    //! The empty set (Sparse).
    TidList() = default;

    //! Takes ownership of `bitmap`: Dense when it holds at least tuning::kTidListDenseMin
    //! values, otherwise Sparse with its values ascending (the bitmap is freed).
    static TidList from_roaring(Bitmap&& bitmap);
    //! The members of `list` that `bitmap` contains; both are only read.
    static TidList intersect_with_bitmap(const TidList& list, const Bitmap& bitmap);

    bool is_sparse() const { return std::holds_alternative<Sparse>(my_set); }
    const Sparse* sparse() const { return std::get_if<Sparse>(&my_set); }
    const Dense* dense() const { return std::get_if<Dense>(&my_set); }
    uint64_t size() const;

    //! Calls f(t) for every member in ascending order.
    template <class F>
    void for_each(F&& f) const {
        if (const Sparse* v = sparse()) {
            for (uint32_t t : *v) f(t);
        } else {
            std::get<Dense>(my_set).for_each(f);
        }
    }
    //! The members, ascending.
    std::vector<uint32_t> to_vector() const;

private:
    explicit TidList(Sparse&& v) : my_set(std::move(v)) {}
    explicit TidList(Dense&& d) : my_set(std::move(d)) {}

    std::variant<Sparse, Dense> my_set;
};

}  // namespace tallisk
