// Unit tests of the row formatter (numbers that read back, labels joined and quoted, in
// every chunking, on the pool) and of the CSV header reader. The tokenizers, the label
// rule for integers and the line a fault is reported on are checked through the reader
// (tests/test_io_read.py): baskets, FIMI lines and long tables with hostile fields come
// back as written, whole and cut into blocks of a few bytes.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "io/format.hpp"
#include "io/tokenize.hpp"

namespace tallisk::io {
namespace {

//! A CSV field as a writer quotes it: when it must.
std::string csv_field(const std::string& f, char delimiter) {
    const bool must =
        f.find_first_of(std::string("\"\r\n") + delimiter) != std::string::npos || (!f.empty() && f[0] == '"');
    if (!must) return f;
    std::string out = "\"";
    for (const char c : f) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

TEST(CsvRecords, StopAtTheLimitOrTheCutAndSayWhereTheBodyStarts) {
    const std::string text = "order,\"pro\r\nduct\"\r\n1,a\n2,b\n3,c";
    auto header = csv_records(text, ',', 1, false);
    ASSERT_EQ(header.records.size(), 1u);
    EXPECT_EQ(header.records[0], (std::vector<std::string>{"order", "pro\r\nduct"}));
    EXPECT_EQ(text.substr(header.consumed, 3), "1,a");
    EXPECT_EQ(header.next_line, 3);
    auto sample = csv_records(text, ',', 100, false);  // the cut last record is left out
    EXPECT_EQ(sample.records.size(), 3u);
    EXPECT_EQ(sample.lines, (std::vector<int64_t>{1, 3, 4}));
    EXPECT_EQ(csv_records(text, ',', 100, true).records.size(), 4u);
}

TEST(FormatRows, NumbersReadBackAndLabelsJoinAsAskedInEveryChunking) {
    std::mt19937_64 rng(13);
    const std::size_t n = 40000;  // more rows than one task takes
    std::vector<double> x(n);
    std::vector<int64_t> k(n), row_offsets(n + 1, 0);
    std::vector<int32_t> codes;
    const std::string label_data = "\"a\"b,c\"\"";  // labels: "a" | b,c | ""  (raw bytes)
    const std::vector<int64_t> label_offsets = {0, 3, 6, 8};
    for (std::size_t r = 0; r < n; ++r) {
        const uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        x[r] = r % 7 == 0 ? std::ldexp(static_cast<double>(rng() % 1000), -(static_cast<int>(r % 60))) : v;
        if (r % 97 == 0) x[r] = r % 2 ? INFINITY : -INFINITY;
        k[r] = static_cast<int64_t>(rng());
        const std::size_t m = rng() % 4;
        for (std::size_t j = 0; j < m; ++j) codes.push_back(static_cast<int32_t>(rng() % 4) - 1);
        row_offsets[r + 1] = static_cast<int64_t>(codes.size());
    }
    Cell set;
    set.kind = Cell::Kind::labels;
    set.row_offsets = row_offsets;
    set.codes = codes;
    set.label_data = label_data;
    set.label_offsets = label_offsets;
    set.missing = "null";
    set.open = "[";
    set.sep = ",";
    set.close = "]";
    set.csv_delimiter = ',';
    Cell comma;
    comma.literal = ",";
    Cell num;
    num.kind = Cell::Kind::f64;
    num.f64 = x;
    Cell general = num;
    general.style = FloatStyle::general;
    general.precision = 6;
    Cell count;
    count.kind = Cell::Kind::i64;
    count.i64 = k;
    const std::vector<Cell> cells = {set, comma, num, comma, general, comma, count};
    check_cells(cells, n, 0, n);
    const std::string all = format_rows(cells, 0, n, "\n");
    std::string pieces;
    for (std::size_t b = 0; b < n; b += 9999) pieces += format_rows(cells, b, std::min(n, b + 9999), "\n");
    ASSERT_EQ(all, pieces);

    std::size_t at = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t eol = all.find('\n', at);
        const std::string line = all.substr(at, eol - at);
        at = eol + 1;
        // The set cell: its labels joined, then quoted as CSV quotes it.
        std::string cell = "[";
        for (int64_t j = row_offsets[r]; j < row_offsets[r + 1]; ++j) {
            if (j > row_offsets[r]) cell += ",";
            const int32_t c = codes[static_cast<std::size_t>(j)];
            cell += c < 0 ? "null" : label_data.substr(label_offsets[c], label_offsets[c + 1] - label_offsets[c]);
        }
        cell += "]";
        const std::string expect_cell = csv_field(cell, ',');
        ASSERT_EQ(line.substr(0, expect_cell.size()), expect_cell);
        std::vector<std::string> rest;
        std::size_t from = expect_cell.size() + 1;
        for (std::size_t to; (to = line.find(',', from)) != std::string::npos; from = to + 1)
            rest.push_back(line.substr(from, to - from));
        rest.push_back(line.substr(from));
        ASSERT_EQ(rest.size(), 3u) << line;
        // shortest reads back as the same double (nan aside)
        double back = 0;
        std::from_chars(rest[0].data(), rest[0].data() + rest[0].size(), back);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6g", x[r]);
        if (std::isnan(x[r])) {
            EXPECT_EQ(rest[0], "nan");
        } else {
            EXPECT_EQ(back, x[r]) << rest[0];
            EXPECT_EQ(rest[1], buf);
        }
        EXPECT_EQ(rest[2], std::to_string(k[r]));
    }
}

// Padding by characters, and the widths it uses, are checked through the text for people
// (tests/test_io_write.py); the checks that keep the formatter inside its arrays are here.
TEST(FormatRows, ChecksCatchCellsThatDoNotFitTheRows) {
    const std::string labels = "ab";
    const std::vector<int64_t> offs = {0, 1, 2};
    const std::vector<int32_t> codes = {0, 1}, bad = {0, 2};
    Cell c;
    c.kind = Cell::Kind::labels;
    c.codes = codes;
    c.label_data = labels;
    c.label_offsets = offs;
    Cell b = c;
    b.codes = bad;
    EXPECT_NO_THROW(check_cells(std::vector<Cell>{c}, 2, 0, 2));
    EXPECT_THROW(check_cells(std::vector<Cell>{b}, 2, 0, 2), InputError);  // a code past the labels
    EXPECT_THROW(check_cells(std::vector<Cell>{c}, 3, 0, 3), InputError);  // fewer codes than rows
}

}  // namespace
}  // namespace tallisk::io
