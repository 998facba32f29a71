// Name table and the sorted label list of a reader.
#include "io/names.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>

#include "common/error.hpp"

namespace tallisk::io {

uint32_t NameTable::intern(std::string_view name, bool& added) {
    added = false;
    auto it = set_.lazy_emplace(name, [&](const auto& construct) {
        if (size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
            throw InputError("more than 2**31 - 1 distinct names");
        const auto id = static_cast<uint32_t>(size());
        arena_.append(name);
        starts_.push_back(arena_.size());
        added = true;
        construct(id);
    });
    return *it;
}

bool canonical_integer(std::string_view s, int64_t& value) {
    if (s.empty() || s.size() > 20) return false;
    const std::size_t digits_from = s[0] == '-' ? 1 : 0;
    if (digits_from == s.size()) return false;
    if (s[digits_from] == '0' && (s.size() > digits_from + 1 || digits_from == 1)) return false;  // "007", "-0"
    for (std::size_t i = digits_from; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

SortedNames sort_names(const NameTable& names, const std::vector<int64_t>& first_line) {
    const std::size_t n = names.size();
    SortedNames out;
    std::vector<int64_t> values(n);
    out.integers = n > 0;
    for (std::size_t id = 0; id < n && out.integers; ++id) out.integers = canonical_integer(names.name(id), values[id]);

    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    if (out.integers)
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return values[a] < values[b]; });
    else
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return names.name(a) < names.name(b); });

    out.rank.resize(n);
    out.first_line.resize(n);
    out.joined.reserve(names.bytes() + n);
    if (out.integers) out.values.resize(n);
    for (std::size_t pos = 0; pos < n; ++pos) {
        const uint32_t id = order[pos];
        out.rank[id] = static_cast<uint32_t>(pos);
        out.first_line[pos] = id < first_line.size() ? first_line[id] : 0;
        if (pos) out.joined.push_back('\0');
        out.joined.append(names.name(id));
        if (out.integers) out.values[pos] = values[id];
    }
    return out;
}

}  // namespace tallisk::io
