// A reusable work buffer for the depth-first miners: grown geometrically, never
// value-initialised (every use writes before it reads), so a search reuses one block per
// depth instead of allocating per node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>

namespace tallisk {

//! Growable buffer without value-initialisation; `fresh` discards the old content.
template <class T>
class Scratch {
public:
    T* fresh(std::size_t n) {
        if (n > cap_) {
            cap_ = std::max(n, cap_ * 2);
            data_ = std::make_unique_for_overwrite<T[]>(cap_);
        }
        return data_.get();
    }
    //! Keeps the first `keep` elements while growing to at least n.
    T* grow(std::size_t n, std::size_t keep) {
        if (n > cap_) {
            const std::size_t cap = std::max(n, cap_ * 2);
            auto bigger = std::make_unique_for_overwrite<T[]>(cap);
            if (keep) std::copy(data_.get(), data_.get() + keep, bigger.get());
            data_ = std::move(bigger);
            cap_ = cap;
        }
        return data_.get();
    }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

private:
    std::unique_ptr<T[]> data_;
    std::size_t cap_ = 0;
};

}  // namespace tallisk
