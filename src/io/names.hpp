// The distinct names met while reading a file (item labels, transaction labels): dense
// ids by first appearance, the bytes of every name kept once in one arena, and the
// sorted label list a reader hands to Python.
#pragma once

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallisk::io {

//! Byte strings to dense ids 0, 1, ... in order of first appearance. The table holds
//! only ids; hashing and comparing look the bytes up in the arena, so a name costs its
//! bytes plus about 20 bytes of index, whatever its length.
class NameTable {
public:
    NameTable() : set_(0, Hash{this}, Eq{this}) {}
    NameTable(const NameTable&) = delete;  // the set's functors point at this object
    NameTable& operator=(const NameTable&) = delete;

    //! The id of `name`; a new name gets the next id, and `added` says so. Throws
    //! InputError beyond 2**31 - 1 names (ids are int32 where they become item ids).
    uint32_t intern(std::string_view name, bool& added);

    std::size_t size() const { return starts_.size() - 1; }
    std::string_view name(std::size_t id) const {
        return {arena_.data() + starts_[id], static_cast<std::size_t>(starts_[id + 1] - starts_[id])};
    }
    //! Bytes of every name together.
    std::size_t bytes() const { return arena_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        const NameTable* table;
        std::size_t operator()(std::string_view s) const { return absl::Hash<std::string_view>{}(s); }
        std::size_t operator()(uint32_t id) const { return (*this)(table->name(id)); }
    };
    struct Eq {
        using is_transparent = void;
        const NameTable* table;
        std::string_view view(std::string_view s) const { return s; }
        std::string_view view(uint32_t id) const { return table->name(id); }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            return view(a) == view(b);
        }
    };

    std::string arena_;                // every name's bytes, back to back
    std::vector<uint64_t> starts_{0};  // name id's bytes: arena_[starts_[id], starts_[id + 1])
    absl::flat_hash_set<uint32_t, Hash, Eq> set_;
};

//! A name table in sorted label order, as a reader reports it.
struct SortedNames {
    std::vector<uint32_t> rank;       // rank[id]: position of name id in the sorted list
    std::string joined;               // the sorted names joined by '\0' (a name never holds one)
    std::vector<int64_t> first_line;  // sorted position -> line of the name's first occurrence
    bool integers = false;            // every name is a canonical decimal int64 (see below)
    std::vector<int64_t> values;      // sorted position -> the integer, when `integers`
};

//! True when `s` is the canonical decimal form of an int64: "0", or an optional '-'
//! then a digit 1-9 and more digits, within range. Exactly these names become
//! integers, so reading them as numbers loses nothing: "007", "+4", "-0" and "1e3"
//! stay text (they would not come back as written).
bool canonical_integer(std::string_view s, int64_t& value);

//! The names sorted as Python sorts the labels they become: by value when every name
//! is a canonical integer, else by bytes (for UTF-8 the order of code points, which is
//! str order). `first_line[id]` is the line of name id's first occurrence.
SortedNames sort_names(const NameTable& names, const std::vector<int64_t>& first_line);

}  // namespace tallisk::io
