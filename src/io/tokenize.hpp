// Transaction files cut into names, block by block: FIMI and basket lines (one
// transaction per line, names between separator bytes) and long CSV tables (quoted
// fields, one (transaction, item) per record). A tokenizer is fed the input in blocks of
// any size, cut anywhere, and keeps only what it reads out (codes and distinct names)
// plus the one name or field a block boundary cuts, so memory stays bounded by the
// block size and the data kept. Line ends are "\n", "\r\n" and a lone "\r" everywhere.
//
// A tokenizer stops at the first fault it meets and reports it as a Failure with the
// line it is on; the caller words the message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/names.hpp"

namespace tallisk::io {

//! The first fault met in the input.
struct Failure {
    enum class Kind {
        nul,          // a NUL byte: the input is not text
        utf8,         // a name that is not valid UTF-8
        long_name,    // a name or field longer than the limit
        open_quote,   // a quoted field still open at the end of the input, or longer than the limit
        after_quote,  // text after a closing quote, before the next delimiter or line end
        fields,       // a record with another number of fields than the header
        missing_txn,  // a record whose transaction field is empty
    };
    Kind kind;
    int64_t line = 0;      // 1-based line where the fault is (where the quote opened, for open_quote)
    int64_t expected = 0;  // fields: the header's count
    int64_t got = 0;       // fields: the record's count
};

//! Blank bytes that `strip` trims around a name: space, tab, vertical tab, form feed.
bool is_blank(unsigned char c);

struct LineOptions {
    std::array<bool, 256> separator{};  // bytes that separate names (never a line end or NUL)
    bool strip = false;                 // trim blanks around each name
    bool check_utf8 = true;             // refuse names that are not UTF-8
    std::size_t max_name = 8 << 20;     // longest name in bytes
};

//! One transaction per line; names are the runs of bytes between separators. Every
//! line is a transaction, an empty one too; a last line without a line end counts
//! when it holds any byte.
class LineTokenizer {
public:
    explicit LineTokenizer(const LineOptions& options);

    //! Reads the next bytes; `last`: the input ends with them. Does nothing after a
    //! failure.
    void feed(std::span<const char> bytes, bool last);
    const std::optional<Failure>& failure() const { return failure_; }
    //! Lines begun so far (the line being read included).
    int64_t lines() const { return line_; }

    struct Result {
        std::vector<int32_t> line_items;  // names read on each line, repeats included
        std::vector<int32_t> codes;       // sorted-label id of every name, line after line
        SortedNames names;
    };
    //! The codes and the sorted names; call once, after the last feed.
    Result finish();

private:
    void name(std::string_view text);
    void end_line();

    LineOptions options_;
    std::array<uint8_t, 256> kind_{};  // byte class: name byte, separator, '\n', '\r', NUL
    std::optional<Failure> failure_;
    NameTable names_;
    std::vector<int64_t> first_line_;  // name id -> line of its first occurrence
    std::vector<int32_t> line_items_;
    std::vector<int32_t> codes_;  // name ids until finish() ranks them
    std::string pending_;         // a name cut by the block boundary, so far
    bool in_name_ = false;        // pending_ holds the start of a name
    bool after_cr_ = false;       // the last byte was a '\r' (a '\n' next is the same line end)
    bool line_open_ = false;      // the current line holds at least one byte
    int32_t items_in_line_ = 0;
    int64_t line_ = 1;
};

//! Where a CSV reader is: the state the scanner carries from one block to the next.
struct CsvState {
    enum class At : uint8_t { field_start, unquoted, quoted, quote_in_quoted };
    At at = At::field_start;
    std::size_t field = 0;        // index of the current field in its record
    std::size_t field_bytes = 0;  // bytes of the current field so far
    bool record_open = false;     // the current record holds at least one byte
    bool after_cr = false;        // the last byte was a '\r' ending a line (a '\n' next belongs to it)
    bool quoted_cr = false;       // the last byte was a '\r' inside quotes
    int64_t line = 1;             // current line, 1-based
    int64_t record_line = 1;      // line where the current record began
    int64_t quote_line = 0;       // line where the open quote began
    std::optional<Failure> failure;
};

struct CsvOptions {
    char delimiter = ',';
    bool strip = false;               // trim blanks around the two fields read
    bool check_utf8 = true;           // refuse item names that are not UTF-8
    std::size_t n_fields = 2;         // fields of every record (the header's count)
    std::size_t txn_field = 0;        // field holding the transaction
    std::size_t item_field = 1;       // field holding the item
    std::size_t max_field = 8 << 20;  // longest field in bytes
};

//! A long table: CSV records (RFC 4180 quoting: a field that starts with '"' runs to the
//! matching '"', "" inside stands for '"', and it may hold delimiters and line ends)
//! after the header, which the caller has read. Lines with no byte are skipped. Each
//! record gives one row: its transaction and its item; an empty item field names no item
//! but still makes its transaction count (that is how a long table holds an empty basket).
class CsvTokenizer {
public:
    //! `first_line`: the line number of the first byte fed (the header's lines come before).
    explicit CsvTokenizer(const CsvOptions& options, int64_t first_line = 2);

    void feed(std::span<const char> bytes, bool last);
    const std::optional<Failure>& failure() const { return state_.failure; }
    int64_t lines() const { return state_.line; }

    struct Result {
        std::vector<int64_t> txn_codes;  // per record: transaction id by first appearance
        std::vector<int32_t> codes;      // per record: sorted-label item id, -1 for no item
        int64_t n_transactions = 0;
        SortedNames names;
    };
    Result finish();

    // The scanner's side: where a field's bytes go, and what a finished record gives.
    std::string* field_target(std::size_t field);
    void end_record(std::size_t n_fields, int64_t line);

private:
    CsvOptions options_;
    CsvState state_;
    NameTable items_;
    NameTable txns_;
    std::vector<int64_t> first_line_;
    std::vector<int64_t> txn_codes_;
    std::vector<int32_t> codes_;
    std::string txn_;           // the current record's transaction field
    std::string item_;          // its item field
    std::string last_txn_;      // the previous record's transaction field
    int64_t last_txn_id_ = -1;  // and its id
};

//! The first records of `bytes` with every field (unquoted), as the CSV tokenizer reads
//! them: for the header and for telling a long table from basket lines. Stops after
//! `max_records`, at a record the bytes cut (unless `last`), or at a fault (NUL byte,
//! text after a closing quote, an open quote at the end); `consumed` is where the
//! records returned end, after their line end.
struct CsvRecords {
    std::vector<std::vector<std::string>> records;
    std::vector<int64_t> lines;  // line where each record began
    std::size_t consumed = 0;
    int64_t next_line = 1;           // line number of the byte at `consumed`
    std::optional<Failure> failure;  // the fault that stopped the scan, if one did
};
CsvRecords csv_records(std::span<const char> bytes, char delimiter, std::size_t max_records, bool last);

}  // namespace tallisk::io
