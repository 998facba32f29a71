// Bitmap ownership, the per-item bitmaps and the sparse/dense transaction-id list.
#include "common/tidlist.hpp"

#include <algorithm>
#include <new>

#include "common/budget.hpp"
#include "common/error.hpp"

namespace tallisk {
namespace {

//! Charges the bound for a bitmap of `n` values before calling into CRoaring, which
//! cannot survive a failed allocation.
void charge_bitmap(uint64_t n) { budget::charge(tuning::kBitmapFixedBytes + tuning::kBitmapBytesPerValue * n); }

}  // namespace

// ---- Bitmap -------------------------------------------------------------------------

Bitmap Bitmap::adopt(roaring_bitmap_t* adopted) {
    if (!adopted) throw std::bad_alloc();
    return Bitmap(adopted);
}

Bitmap Bitmap::of(std::span<const uint32_t> values) {
    Bitmap b;
    b.add_many(values);
    return b;
}

void Bitmap::reset() noexcept {
    if (my_bitmap) roaring_bitmap_free(my_bitmap);
    my_bitmap = nullptr;
}

roaring_bitmap_t* Bitmap::ensure() {
    if (!my_bitmap) {
        budget::charge(tuning::kBitmapFixedBytes);
        my_bitmap = roaring_bitmap_create();
        if (!my_bitmap) throw std::bad_alloc();
    }
    return my_bitmap;
}

Bitmap Bitmap::copy() const {
    if (!my_bitmap) return Bitmap();
    if (budget::active()) charge_bitmap(cardinality());
    return adopt(roaring_bitmap_copy(my_bitmap));
}

void Bitmap::add(uint32_t value) {
    roaring_bitmap_t* b = ensure();
    budget::charge(tuning::kBitmapFixedBytes);
    roaring_bitmap_add(b, value);
}

void Bitmap::add_many(std::span<const uint32_t> values) {
    if (values.empty()) return;
    roaring_bitmap_t* b = ensure();
    charge_bitmap(values.size());
    roaring_bitmap_add_many(b, values.size(), values.data());
}

void Bitmap::or_inplace(const Bitmap& other) {
    if (!other.my_bitmap) return;
    roaring_bitmap_t* b = ensure();
    if (budget::active()) charge_bitmap(cardinality() + other.cardinality());
    roaring_bitmap_or_inplace(b, other.my_bitmap);
}

Bitmap Bitmap::intersect(const Bitmap& other) const {
    if (!my_bitmap || !other.my_bitmap) return Bitmap();
    if (budget::active()) charge_bitmap(std::min(cardinality(), other.cardinality()));
    return adopt(roaring_bitmap_and(my_bitmap, other.my_bitmap));
}

uint64_t Bitmap::intersect_cardinality(const Bitmap& other) const {
    if (!my_bitmap || !other.my_bitmap) return 0;
    return roaring_bitmap_and_cardinality(my_bitmap, other.my_bitmap);
}

std::vector<uint32_t> Bitmap::to_vector() const {
    std::vector<uint32_t> out(cardinality());
    if (!out.empty()) roaring_bitmap_to_uint32_array(my_bitmap, out.data());
    return out;
}

// ---- ItemTxnsRoaring ----------------------------------------------------------------

ItemTxnsRoaring ItemTxnsRoaring::from_index(const InvertedIndex& index) {
    budget::refresh();  // the memoised counters' Roaring phase starts here
    ItemTxnsRoaring out;
    out.bitmaps.reserve(index.n_items);
    for (uint32_t i = 0; i < index.n_items; ++i) out.bitmaps.push_back(Bitmap::of(index.item(i)));
    return out;
}

const Bitmap& ItemTxnsRoaring::at(uint32_t item) const {
    check_index(item, bitmaps.size());
    return bitmaps[item];
}

// ---- TidList ------------------------------------------------------------------------

TidList TidList::from_roaring(Bitmap&& bitmap) {
    if (bitmap.cardinality() >= tuning::kTidListDenseMin) return TidList(std::move(bitmap));
    Sparse members = bitmap.to_vector();
    Bitmap freed = std::move(bitmap);  // the set now lives in `members`
    return TidList(std::move(members));
}

TidList TidList::intersect_with_bitmap(const TidList& list, const Bitmap& bitmap) {
    if (const Dense* d = list.dense()) return from_roaring(d->intersect(bitmap));
    const Sparse& v = *list.sparse();
    Sparse kept;
    kept.reserve(v.size());
    for (uint32_t t : v)
        if (bitmap.contains(t)) kept.push_back(t);
    return TidList(std::move(kept));
}

uint64_t TidList::size() const {
    if (const Sparse* v = sparse()) return v->size();
    return std::get<Dense>(my_set).cardinality();
}

std::vector<uint32_t> TidList::to_vector() const {
    if (const Sparse* v = sparse()) return *v;
    return std::get<Dense>(my_set).to_vector();
}

}  // namespace tallisk
