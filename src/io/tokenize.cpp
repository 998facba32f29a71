// The line and CSV tokenizers. Both are byte-class state machines that run over a block
// in long runs (a name, an unquoted field, the inside of a quoted field) and keep a name
// only when a block boundary cuts it.
#include "io/tokenize.hpp"

#include <limits>
#include <utility>

#include "common/error.hpp"

namespace tallisk::io {
namespace {

//! Strict UTF-8, as Python's decoder takes it: no overlong forms, no surrogates, nothing
//! beyond U+10FFFF.
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the byte after the lead
        if (c >= 0xC2 && c <= 0xDF)
            n = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else
            return false;
        if (static_cast<std::size_t>(end - p) <= n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += n + 1;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

enum : uint8_t { kName = 0, kSeparator, kLf, kCr, kNul };
enum : uint8_t { kText = 0, kDelimiter, kQuote, kLineFeed, kReturn, kZero };

std::array<uint8_t, 256> csv_classes(char delimiter) {
    std::array<uint8_t, 256> c{};
    c[static_cast<unsigned char>(delimiter)] = kDelimiter;
    c['"'] = kQuote;
    c['\n'] = kLineFeed;
    c['\r'] = kReturn;
    c[0] = kZero;
    return c;
}

//! Runs the CSV state machine over one block. The sink says where each field's bytes go
//! (`field_target`, nullptr to skip them) and takes each record that holds a byte
//! (`end_record(n_fields, line, offset)`, offset: just past the record's line end in
//! this block); `stop()` ends the scan early. Stops at the first failure.
template <class Sink>
void scan_csv(CsvState& s, std::span<const char> bytes, bool last, char delimiter, std::size_t max_field, Sink& sink) {
    const std::array<uint8_t, 256> cls = csv_classes(delimiter);
    const char* const begin = bytes.data();
    const char* const end = begin + bytes.size();
    const char* p = begin;

    auto fail = [&](Failure::Kind kind, int64_t line) { s.failure = Failure{kind, line}; };
    auto append = [&](const char* a, const char* b) {
        s.field_bytes += static_cast<std::size_t>(b - a);
        if (std::string* t = sink.field_target(s.field)) t->append(a, static_cast<std::size_t>(b - a));
    };
    auto too_long = [&] { return s.field_bytes > max_field; };
    // A delimiter or a line end outside quotes; false when the scan must stop.
    auto boundary = [&](uint8_t k) {
        if (k == kDelimiter) {
            ++s.field;
            s.field_bytes = 0;
            s.at = CsvState::At::field_start;
            s.record_open = true;
            ++p;
            return true;
        }
        if (k == kZero) {
            fail(Failure::Kind::nul, s.line);
            return false;
        }
        // A line end: '\n', or '\r' (whose '\n', if one follows, belongs to it).
        std::size_t offset = static_cast<std::size_t>(p + 1 - begin);
        if (k == kReturn) {
            if (p + 1 < end && p[1] == '\n')
                ++offset;
            else
                s.after_cr = true;
        }
        p = begin + offset;
        const bool had_record = s.record_open;
        const std::size_t n_fields = s.field + 1;
        s.field = 0;
        s.field_bytes = 0;
        s.at = CsvState::At::field_start;
        s.record_open = false;
        const int64_t line = s.record_line;
        ++s.line;
        s.record_line = s.line;
        if (had_record) {
            sink.end_record(n_fields, line, offset);
            if (s.failure || sink.stop()) return false;
        }
        return true;
    };

    while (p < end) {
        if (s.after_cr) {
            s.after_cr = false;
            if (*p == '\n') {
                ++p;
                continue;
            }
        }
        switch (s.at) {
            case CsvState::At::field_start:
                if (*p == '"') {
                    s.at = CsvState::At::quoted;
                    s.quote_line = s.line;
                    s.record_open = true;
                    ++p;
                    continue;
                }
                s.at = CsvState::At::unquoted;
                [[fallthrough]];
            case CsvState::At::unquoted: {
                const char* q = p;
                while (q < end &&
                       (cls[static_cast<unsigned char>(*q)] == kText || cls[static_cast<unsigned char>(*q)] == kQuote))
                    ++q;
                if (q > p) {
                    s.record_open = true;
                    append(p, q);
                    if (too_long()) return fail(Failure::Kind::long_name, s.record_line);
                    p = q;
                }
                if (p == end) continue;
                if (!boundary(cls[static_cast<unsigned char>(*p)])) return;
                continue;
            }
            case CsvState::At::quoted: {
                // Line ends inside quotes are part of the field, and still lines ("\r\n" one).
                const char* q = p;
                bool cr = s.quoted_cr;
                while (q < end && *q != '"' && *q != '\0') {
                    if (*q == '\r' || (*q == '\n' && !cr)) ++s.line;
                    cr = *q == '\r';
                    ++q;
                }
                s.quoted_cr = cr;
                append(p, q);
                if (too_long()) return fail(Failure::Kind::open_quote, s.quote_line);
                p = q;
                if (p == end) continue;
                if (*p == '\0') return fail(Failure::Kind::nul, s.line);
                s.quoted_cr = false;
                s.at = CsvState::At::quote_in_quoted;
                ++p;
                continue;
            }
            case CsvState::At::quote_in_quoted: {
                const uint8_t k = cls[static_cast<unsigned char>(*p)];
                if (k == kQuote) {  // "" stands for one quote
                    append(p, p + 1);
                    s.at = CsvState::At::quoted;
                    ++p;
                    continue;
                }
                if (k == kText) return fail(Failure::Kind::after_quote, s.line);
                if (!boundary(k)) return;
                continue;
            }
        }
    }
    if (!last) return;
    if (s.at == CsvState::At::quoted) return fail(Failure::Kind::open_quote, s.quote_line);
    if (s.record_open) {
        const std::size_t n_fields = s.field + 1;
        s.record_open = false;
        sink.end_record(n_fields, s.record_line, bytes.size());
    }
}

}  // namespace

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// ---- lines --------------------------------------------------------------------------

LineTokenizer::LineTokenizer(const LineOptions& options) : options_(options) {
    for (int c = 0; c < 256; ++c) kind_[c] = options.separator[c] ? kSeparator : kName;
    kind_['\n'] = kLf;
    kind_['\r'] = kCr;
    kind_[0] = kNul;
}

void LineTokenizer::name(std::string_view text) {
    if (options_.strip) text = trim(text);
    if (text.empty()) return;
    if (text.size() > options_.max_name) {
        failure_ = Failure{Failure::Kind::long_name, line_};
        return;
    }
    if (items_in_line_ == std::numeric_limits<int32_t>::max()) throw InputError("a line holds 2**31 names or more");
    bool added = false;
    const uint32_t id = names_.intern(text, added);
    if (added) {
        if (options_.check_utf8 && !valid_utf8(text)) {
            failure_ = Failure{Failure::Kind::utf8, line_};
            return;
        }
        first_line_.push_back(line_);
    }
    codes_.push_back(static_cast<int32_t>(id));
    ++items_in_line_;
}

void LineTokenizer::end_line() {
    line_items_.push_back(items_in_line_);
    items_in_line_ = 0;
    line_open_ = false;
    ++line_;
}

void LineTokenizer::feed(std::span<const char> bytes, bool last) {
    if (failure_) return;
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        const uint8_t k = kind_[static_cast<unsigned char>(*p)];
        if (after_cr_) {
            after_cr_ = false;
            if (k == kLf) {
                ++p;
                continue;
            }
        }
        if (k == kName) {
            const char* q = p + 1;
            while (q < end && kind_[static_cast<unsigned char>(*q)] == kName) ++q;
            line_open_ = true;
            if (q == end && !last) {  // the name may go on in the next block
                pending_.append(p, static_cast<std::size_t>(q - p));
                in_name_ = true;
                if (pending_.size() > options_.max_name) failure_ = Failure{Failure::Kind::long_name, line_};
                return;
            }
            if (in_name_) {
                pending_.append(p, static_cast<std::size_t>(q - p));
                name(pending_);
                pending_.clear();
                in_name_ = false;
            } else {
                name({p, static_cast<std::size_t>(q - p)});
            }
            if (failure_) return;
            p = q;
            continue;
        }
        if (in_name_) {
            name(pending_);
            pending_.clear();
            in_name_ = false;
            if (failure_) return;
        }
        switch (k) {
            case kSeparator: line_open_ = true; break;
            case kCr: after_cr_ = true; [[fallthrough]];
            case kLf: end_line(); break;
            default: failure_ = Failure{Failure::Kind::nul, line_}; return;
        }
        ++p;
    }
    if (!last) return;
    if (in_name_) {
        name(pending_);
        pending_.clear();
        in_name_ = false;
        if (failure_) return;
    }
    if (line_open_) end_line();
}

LineTokenizer::Result LineTokenizer::finish() {
    Result r;
    r.names = sort_names(names_, first_line_);
    for (int32_t& c : codes_) c = static_cast<int32_t>(r.names.rank[static_cast<std::size_t>(c)]);
    r.codes = std::move(codes_);
    r.line_items = std::move(line_items_);
    return r;
}

// ---- CSV ----------------------------------------------------------------------------

CsvTokenizer::CsvTokenizer(const CsvOptions& options, int64_t first_line) : options_(options) {
    state_.line = state_.record_line = first_line;
}

std::string* CsvTokenizer::field_target(std::size_t field) {
    if (field == options_.txn_field) return &txn_;
    if (field == options_.item_field) return &item_;
    return nullptr;
}

void CsvTokenizer::end_record(std::size_t n_fields, int64_t line) {
    if (n_fields != options_.n_fields) {
        state_.failure = Failure{Failure::Kind::fields, line, static_cast<int64_t>(options_.n_fields),
                                 static_cast<int64_t>(n_fields)};
        return;
    }
    std::string_view txn = txn_, item = item_;
    if (options_.strip) {
        txn = trim(txn);
        item = trim(item);
    }
    if (txn.empty()) {
        state_.failure = Failure{Failure::Kind::missing_txn, line};
        return;
    }
    int64_t txn_id = last_txn_id_;
    // Rows of one transaction usually come together: compare with the last one first.
    if (txn_id < 0 || txn != last_txn_) {
        bool added = false;
        txn_id = txns_.intern(txn, added);
        last_txn_.assign(txn);
        last_txn_id_ = txn_id;
    }
    int32_t item_id = -1;
    if (!item.empty()) {
        bool added = false;
        item_id = static_cast<int32_t>(items_.intern(item, added));
        if (added) {
            if (options_.check_utf8 && !valid_utf8(item)) {
                state_.failure = Failure{Failure::Kind::utf8, line};
                return;
            }
            first_line_.push_back(line);
        }
    }
    txn_codes_.push_back(txn_id);
    codes_.push_back(item_id);
    txn_.clear();
    item_.clear();
}

void CsvTokenizer::feed(std::span<const char> bytes, bool last) {
    if (state_.failure) return;
    struct Sink {
        CsvTokenizer& t;
        std::string* field_target(std::size_t f) { return t.field_target(f); }
        void end_record(std::size_t n, int64_t line, std::size_t) { t.end_record(n, line); }
        bool stop() const { return false; }
    } sink{*this};
    scan_csv(state_, bytes, last, options_.delimiter, options_.max_field, sink);
}

CsvTokenizer::Result CsvTokenizer::finish() {
    Result r;
    r.names = sort_names(items_, first_line_);
    for (int32_t& c : codes_)
        if (c >= 0) c = static_cast<int32_t>(r.names.rank[static_cast<std::size_t>(c)]);
    r.codes = std::move(codes_);
    r.txn_codes = std::move(txn_codes_);
    r.n_transactions = static_cast<int64_t>(txns_.size());
    return r;
}

CsvRecords csv_records(std::span<const char> bytes, char delimiter, std::size_t max_records, bool last) {
    struct Collector {
        CsvRecords& out;
        const CsvState& state;
        std::size_t max_records;
        std::vector<std::string> current;
        std::string* field_target(std::size_t f) {
            if (current.size() <= f) current.resize(f + 1);
            return &current[f];
        }
        void end_record(std::size_t n, int64_t line, std::size_t offset) {
            current.resize(n);
            out.records.push_back(std::move(current));
            current.clear();
            out.lines.push_back(line);
            out.consumed = offset;
            out.next_line = state.line;
        }
        bool stop() const { return out.records.size() >= max_records; }
    };
    CsvRecords out;
    if (max_records == 0) return out;
    CsvState state;
    Collector sink{out, state, max_records, {}};
    scan_csv(state, bytes, last, delimiter, std::numeric_limits<std::size_t>::max(), sink);
    out.failure = state.failure;
    return out;
}

}  // namespace tallisk::io
