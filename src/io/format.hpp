// Result tables as text, row after row: one routine writes every text format the
// package offers (CSV, TSV, JSON Lines, FIMI-style lines and the aligned text for
// people). A row is a sequence of cells, each a literal, a number or a run of labels:
// labels arrive already encoded, one text per distinct label (JSON, plain or quoted), so
// the per-row work is copying bytes and formatting numbers, never touching Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallisk::io {

enum class FloatStyle : uint8_t {
    shortest,  // the shortest text that reads back as the same double; inf, -inf, nan
    json,      // shortest; "inf" and "-inf" as JSON strings, nan as null
    general,   // `precision` significant digits, as printf's %g
};

//! One cell of every row.
struct Cell {
    enum class Kind : uint8_t { literal, f64, i64, labels };
    Kind kind = Kind::literal;
    std::string_view literal;     // literal: the text itself
    std::span<const double> f64;  // f64: one value per row
    FloatStyle style = FloatStyle::shortest;
    int precision = 6;                       // FloatStyle::general
    std::span<const int64_t> i64;            // i64: one value per row
    std::span<const int64_t> row_offsets;    // labels: row r holds codes[row_offsets[r] .. row_offsets[r + 1]);
                                             // empty: one code per row
    std::span<const int32_t> codes;          // labels: ids into label_offsets; -1 is a missing value
    std::string_view label_data;             // labels: the encoded text of every label, back to back
    std::span<const int64_t> label_offsets;  // label k is label_data[label_offsets[k], label_offsets[k + 1])
    std::string_view missing;                // labels: text of code -1
    std::string_view open, sep, close;       // labels: written around and between a row's labels
    char csv_delimiter = 0;  // non-zero: quote the cell, CSV style, when it holds this byte, '"' or a line end
    int64_t width = 0;       // pad the cell with spaces to this many characters (code points)
    bool right = false;      // pad on the left (numbers) rather than on the right
};

//! Checks that every cell covers `n_rows` rows and that every code rows [begin, end)
//! name is a label; throws InputError naming the cell otherwise.
void check_cells(std::span<const Cell> cells, std::size_t n_rows, std::size_t begin, std::size_t end);

//! The text of rows [begin, end): each row's cells in turn, then `row_end`. Rows are
//! formatted in parallel chunks on the worker pool; the text is the same for any
//! number of workers.
std::string format_rows(std::span<const Cell> cells, std::size_t begin, std::size_t end, std::string_view row_end);

//! The widest text of each cell over rows [begin, end), in code points (padding aside).
std::vector<int64_t> cell_widths(std::span<const Cell> cells, std::size_t begin, std::size_t end);

}  // namespace tallisk::io
