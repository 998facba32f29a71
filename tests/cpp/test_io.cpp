// Unit tests of the CSV tokenizer and the row formatter. The tokenizer's oracle is its
// input: random records are written out (random field layouts, line ends, quoting), fed in
// random block cuts, and must come back as they were made. The line tokenizer, the label
// rule for integers and the line a fault is reported on are checked through the reader
// (tests/test_io_read.py), which cuts its input into blocks of every size.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "io/format.hpp"
#include "io/names.hpp"
#include "io/tokenize.hpp"

namespace tallisk::io {
namespace {

const char* const kEnds[] = {"\n", "\r\n", "\r"};

//! Feeds `text` in pieces cut at random places (some empty).
template <class Tokenizer>
void feed_in_pieces(Tokenizer& t, const std::string& text, std::mt19937& rng) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t n = std::min<std::size_t>(text.size() - at, rng() % 9 == 0 ? 0 : 1 + rng() % 23);
        t.feed({text.data() + at, n}, false);
        at += n;
    }
    t.feed({}, true);
}

std::vector<std::string> split_names(const SortedNames& names) {
    std::vector<std::string> out;
    if (names.rank.empty()) return out;
    std::string cur;
    for (const char c : names.joined) {
        if (c == '\0') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

//! A CSV field as a writer quotes it: when it must, and with an rng at random otherwise.
std::string csv_field(const std::string& f, char delimiter, std::mt19937* rng = nullptr) {
    const bool must =
        f.find_first_of(std::string("\"\r\n") + delimiter) != std::string::npos || (!f.empty() && f[0] == '"');
    if (!must && (!rng || (*rng)() % 4)) return f;
    std::string out = "\"";
    for (const char c : f) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

TEST(CsvTokenizer, RandomRecordsCutAnywhereComeBackAsWritten) {
    std::mt19937 rng(11);
    const std::vector<std::string> values = {"",      "a",  "Milk, 2%", "say \"hi\"", "two\nlines", "cr\r\nlf",
                                             "{x,y}", "\t", "Ω",        "1",          "22",         "007"};
    for (int round = 0; round < 300; ++round) {
        const char delimiter = round % 3 == 0 ? '\t' : ',';
        const std::size_t n_fields = 2 + rng() % 3;
        const std::size_t txn_field = rng() % n_fields;
        const std::size_t item_field = (txn_field + 1 + rng() % (n_fields - 1)) % n_fields;
        std::vector<std::pair<std::string, std::string>> rows;
        std::string text;
        const std::size_t n = rng() % 40;
        for (std::size_t r = 0; r < n; ++r) {
            if (rng() % 10 == 0) text += kEnds[rng() % 3];  // blank lines are skipped
            std::string txn = std::string(1, 't').append(std::to_string(rng() % 8)), item;
            for (std::size_t f = 0; f < n_fields; ++f) {
                std::string v = f == txn_field ? txn : values[rng() % values.size()];
                if (f == item_field) item = v;
                if (f) text += delimiter;
                text += csv_field(v, delimiter, &rng);
            }
            // A record of one empty field is an empty line, which is skipped.
            rows.emplace_back(txn, item);
            if (r + 1 < n || rng() % 2) text += kEnds[rng() % 3];
        }
        CsvOptions o;
        o.delimiter = delimiter;
        o.n_fields = n_fields;
        o.txn_field = txn_field;
        o.item_field = item_field;
        CsvTokenizer t(o);
        feed_in_pieces(t, text, rng);
        ASSERT_FALSE(t.failure()) << round << ": " << text;
        auto r = t.finish();
        const auto names = split_names(r.names);
        ASSERT_EQ(r.codes.size(), rows.size()) << text;
        std::map<int64_t, std::string> txn_of;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const int32_t c = r.codes[k];
            EXPECT_EQ(c < 0 ? std::string() : names.at(c), rows[k].second) << round;
            // Transaction ids follow first appearance and stand for one label each.
            auto [it, added] = txn_of.emplace(r.txn_codes[k], rows[k].first);
            EXPECT_EQ(it->second, rows[k].first);
            if (added) {
                EXPECT_EQ(r.txn_codes[k], static_cast<int64_t>(txn_of.size()) - 1);
            }
        }
        EXPECT_EQ(r.n_transactions, static_cast<int64_t>(txn_of.size()));
    }
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

TEST(FormatRows, PaddingCountsCharactersAndChecksCatchBadCells) {
    const std::string labels =
        "Ωmega"
        "ab";
    const std::vector<int64_t> offs = {0, 6, 8};
    const std::vector<int32_t> codes = {0, 1};
    Cell c;
    c.kind = Cell::Kind::labels;
    c.codes = codes;
    c.label_data = labels;
    c.label_offsets = offs;
    c.width = 6;
    Cell right = c;
    right.right = true;
    const std::vector<Cell> cells = {c, right};
    EXPECT_EQ(format_rows(cells, 0, 2, "|"), "Ωmega  Ωmega|ab        ab|");
    EXPECT_EQ(cell_widths(cells, 0, 2), (std::vector<int64_t>{5, 5}));

    const std::vector<int32_t> bad = {0, 2};
    Cell b = c;
    b.codes = bad;
    EXPECT_THROW(check_cells(std::vector<Cell>{b}, 2, 0, 2), InputError);
    EXPECT_THROW(check_cells(std::vector<Cell>{c}, 3, 0, 3), InputError);  // fewer codes than rows
}

}  // namespace
}  // namespace tallisk::io
