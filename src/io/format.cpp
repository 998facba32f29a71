// Row formatting for the text writers.
#include "io/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "common/error.hpp"
#include "common/pool.hpp"

namespace tallisk::io {
namespace {

// Rows per task: large enough that a task's output (a few MB) dwarfs the hand-over,
// small enough that two workers share a 100k-row call.
constexpr std::size_t kRowsPerTask = 16384;

void append_double(std::string& out, double v, FloatStyle style, int precision) {
    if (std::isnan(v)) {
        out += style == FloatStyle::json ? "null" : "nan";
        return;
    }
    if (std::isinf(v) && style == FloatStyle::json) {
        out += v > 0 ? "\"inf\"" : "\"-inf\"";
        return;
    }
    char buf[64];
    const auto r = style == FloatStyle::general
                       ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision)
                       : std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

//! The cell's text for one row, unquoted and unpadded.
void append_text(std::string& out, const Cell& c, std::size_t row) {
    switch (c.kind) {
        case Cell::Kind::literal: out += c.literal; return;
        case Cell::Kind::f64: append_double(out, c.f64[row], c.style, c.precision); return;
        case Cell::Kind::i64: append_int(out, c.i64[row]); return;
        case Cell::Kind::labels: break;
    }
    std::size_t a = row, b = row + 1;
    if (!c.row_offsets.empty()) {
        a = static_cast<std::size_t>(c.row_offsets[row]);
        b = static_cast<std::size_t>(c.row_offsets[row + 1]);
    }
    out += c.open;
    for (std::size_t k = a; k < b; ++k) {
        if (k > a) out += c.sep;
        const int32_t code = c.codes[k];
        if (code < 0) {
            out += c.missing;
            continue;
        }
        const auto from = static_cast<std::size_t>(c.label_offsets[static_cast<std::size_t>(code)]);
        const auto to = static_cast<std::size_t>(c.label_offsets[static_cast<std::size_t>(code) + 1]);
        out.append(c.label_data.data() + from, to - from);
    }
    out += c.close;
}

bool needs_csv_quotes(std::string_view s, char delimiter) {
    for (const char ch : s)
        if (ch == delimiter || ch == '"' || ch == '\n' || ch == '\r') return true;
    return false;
}

//! Scratch text reused by every cell of a task, so a cell costs no allocation.
struct Scratch {
    std::string text;
};

void append_cell(std::string& out, const Cell& c, std::size_t row, Scratch& scratch) {
    const bool quoting = c.csv_delimiter != 0 && c.kind == Cell::Kind::labels;
    if (!quoting && c.width == 0) {
        append_text(out, c, row);
        return;
    }
    const std::size_t start = out.size();
    append_text(out, c, row);
    if (quoting && needs_csv_quotes(std::string_view(out).substr(start), c.csv_delimiter)) {
        // Quote in place: the text moves to the scratch, comes back between quotes, each
        // quote doubled.
        scratch.text.assign(out, start, std::string::npos);
        out.resize(start);
        out += '"';
        for (const char ch : scratch.text) {
            if (ch == '"') out += '"';
            out += ch;
        }
        out += '"';
    }
    const auto width = static_cast<std::size_t>(std::max<int64_t>(c.width, 0));
    if (width == 0) return;
    const std::size_t n = code_points(std::string_view(out).substr(start));
    if (n >= width) return;
    if (c.right)
        out.insert(start, width - n, ' ');
    else
        out.append(width - n, ' ');
}

[[noreturn]] void bad_cell(std::size_t index, const char* what) {
    throw InputError("cell " + std::to_string(index) + ": " + what);
}

}  // namespace

void check_cells(std::span<const Cell> cells, std::size_t n_rows, std::size_t begin, std::size_t end) {
    for (std::size_t j = 0; j < cells.size(); ++j) {
        const Cell& c = cells[j];
        if (c.kind == Cell::Kind::f64 && c.f64.size() < n_rows) bad_cell(j, "fewer values than rows");
        if (c.kind == Cell::Kind::i64 && c.i64.size() < n_rows) bad_cell(j, "fewer values than rows");
        if (c.kind != Cell::Kind::labels) continue;
        const std::size_t n_labels = c.label_offsets.empty() ? 0 : c.label_offsets.size() - 1;
        if (n_labels &&
            (c.label_offsets[0] < 0 || static_cast<std::size_t>(c.label_offsets[n_labels]) > c.label_data.size()))
            bad_cell(j, "label offsets beyond the label text");
        for (std::size_t k = 0; k < n_labels; ++k)
            if (c.label_offsets[k] > c.label_offsets[k + 1]) bad_cell(j, "label offsets decrease");
        // The codes the rows begin .. end - 1 name.
        std::size_t from = begin, to = end;
        if (!c.row_offsets.empty()) {
            if (c.row_offsets.size() < n_rows + 1) bad_cell(j, "fewer row offsets than rows + 1");
            for (std::size_t r = begin; r < end; ++r)
                if (c.row_offsets[r] < 0 || c.row_offsets[r] > c.row_offsets[r + 1])
                    bad_cell(j, "row offsets decrease");
            from = end > begin ? static_cast<std::size_t>(c.row_offsets[begin]) : 0;
            to = end > begin ? static_cast<std::size_t>(c.row_offsets[end]) : 0;
        } else if (c.codes.size() < n_rows) {
            bad_cell(j, "fewer codes than rows");
        }
        if (to > c.codes.size()) bad_cell(j, "fewer codes than the rows name");
        for (std::size_t k = from; k < to; ++k)
            if (c.codes[k] < -1 || c.codes[k] >= static_cast<int64_t>(n_labels)) bad_cell(j, "a code names no label");
    }
}

std::string format_rows(std::span<const Cell> cells, std::size_t begin, std::size_t end, std::string_view row_end) {
    if (end <= begin) return {};
    std::vector<std::string> parts =
        pool::map_chunks<std::string>(end - begin, kRowsPerTask, [&](std::size_t a, std::size_t b) {
            std::string out;
            Scratch scratch;
            out.reserve((b - a) * 64);
            for (std::size_t row = begin + a; row < begin + b; ++row) {
                for (const Cell& c : cells) append_cell(out, c, row, scratch);
                out += row_end;
            }
            return out;
        });
    if (parts.size() == 1) return std::move(parts[0]);
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    std::string out;
    out.reserve(total);
    for (const auto& p : parts) out += p;
    return out;
}

std::vector<int64_t> cell_widths(std::span<const Cell> cells, std::size_t begin, std::size_t end) {
    std::vector<int64_t> widest(cells.size(), 0);
    if (end <= begin) return widest;
    auto parts = pool::map_chunks<std::vector<int64_t>>(end - begin, kRowsPerTask, [&](std::size_t a, std::size_t b) {
        std::vector<int64_t> w(cells.size(), 0);
        std::string text;
        Scratch scratch;
        std::vector<Cell> plain(cells.begin(), cells.end());
        for (Cell& c : plain) c.width = 0;
        for (std::size_t row = begin + a; row < begin + b; ++row) {
            for (std::size_t j = 0; j < plain.size(); ++j) {
                text.clear();
                append_cell(text, plain[j], row, scratch);
                w[j] = std::max(w[j], static_cast<int64_t>(code_points(text)));
            }
        }
        return w;
    });
    for (const auto& w : parts)
        for (std::size_t j = 0; j < w.size(); ++j) widest[j] = std::max(widest[j], w[j]);
    return widest;
}

}  // namespace tallisk::io
