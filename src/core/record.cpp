#include "core/record.hpp"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tavi::detail {

// Strict UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF), checked by the
// JSON reader's own validator many bytes at a time: every request, answer and stored value
// passes through here.
bool isValidUTF8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

// ---- Writing ----------------------------------------------------------------------------------

namespace {

/// Whether any of eight bytes is a control character, '"', '\\' or '/' (the bytes a string's
/// JSON form escapes), a word at a time.
bool escapesAny(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    auto zeroByte = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t control = (word - ones * 0x20) & ~word & highs;
    return (control | zeroByte(word ^ (ones * '"')) | zeroByte(word ^ (ones * '\\')) |
            zeroByte(word ^ (ones * '/'))) != 0;
}

/// A string's JSON form as nlohmann-json dumps it (control characters as \b \f \n \r \t or
/// \u00xx, lowercase) with slashes escaped as well; false when the text is not UTF-8.
bool writeString(std::string& out, std::string_view text) {
    if (!simdjson::validate_utf8(text.data(), text.size())) return false;
    out += '"';
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t run = 0;  // start of the bytes not yet written
    std::size_t i = 0;
    while (i < size) {
        // Words without anything to escape are skipped whole; the word with something in it (or
        // the tail) is gone through byte by byte.
        std::uint64_t word;
        while (i + sizeof word <= size) {
            std::memcpy(&word, data + i, sizeof word);
            if (escapesAny(word)) break;
            i += sizeof word;
        }
        for (const std::size_t end = std::min(i + sizeof word, size); i < end; ++i) {
            const auto c = static_cast<unsigned char>(data[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
            out.append(data + run, i - run);
            run = i + 1;
            char escaped[] = {'\\', static_cast<char>(c), '0', '0', '0', '0'};
            std::size_t length = 2;
            switch (c) {
                case '"':
                case '\\':
                case '/':
                    break;
                case '\b':
                    escaped[1] = 'b';
                    break;
                case '\f':
                    escaped[1] = 'f';
                    break;
                case '\n':
                    escaped[1] = 'n';
                    break;
                case '\r':
                    escaped[1] = 'r';
                    break;
                case '\t':
                    escaped[1] = 't';
                    break;
                default: {
                    static constexpr char hex[] = "0123456789abcdef";
                    escaped[1] = 'u';
                    escaped[4] = hex[c >> 4];
                    escaped[5] = hex[c & 0xF];
                    length = 6;
                }
            }
            out.append(escaped, length);
        }
    }
    out.append(data + run, size - run);
    out += '"';
    return true;
}

void newline(std::string& out, int depth) {
    out += '\n';
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

/// Writes one object; false when a text is not UTF-8, with `where` naming its member.
bool writeObject(std::string& out, const RecordSpec& spec, const void* record, bool pretty,
                 int depth, std::string& where) {
    bool empty = true;
    for (std::size_t i = 0; i < spec.count; ++i) {
        const FieldSpec& f = spec.encodeFields[i];
        const void* value = f.read(record);
        if (value == nullptr) continue;
        out += empty ? '{' : ',';
        empty = false;
        if (pretty) newline(out, depth + 1);
        out += '"';
        out += f.key;
        out += pretty ? "\": " : "\":";
        bool written = true;
        switch (f.kind) {
            case WireKind::text:
                written = writeString(out, *static_cast<const std::string*>(value));
                break;
            case WireKind::boolean:
                out += *static_cast<const bool*>(value) ? "true" : "false";
                break;
            case WireKind::integer: {
                char digits[24];
                const auto end = std::to_chars(digits, digits + sizeof digits,
                                               *static_cast<const std::int64_t*>(value))
                                     .ptr;
                out.append(digits, end);
                break;
            }
            case WireKind::record:
                written = writeObject(out, *f.nested, value, pretty, depth + 1, where);
                break;
        }
        if (!written) {
            where = where.empty() ? std::string(f.key) : std::string(f.key) + "." + where;
            return false;
        }
    }
    if (empty) {
        out += "{}";
        return true;
    }
    if (pretty) newline(out, depth);
    out += '}';
    return true;
}

}  // namespace

Result<std::string> writeRecord(const RecordSpec& spec, const void* record, bool pretty) {
    // Room for a whole request body up front: growing it by doubling took seven allocations
    // (and left each smaller copy of the text behind in freed memory).
    std::string out;
    out.reserve(2048);
    std::string where;
    if (writeObject(out, spec, record, pretty, 0, where)) return out;
    return Error::encoding(EncodingError::invalidValue, std::string("invalid value: the text at ") +
                                                            spec.name + "." + where +
                                                            " is not valid UTF-8");
}

// ---- Reading ----------------------------------------------------------------------------------

namespace {

namespace od = simdjson::ondemand;

/// Where a value sits in the document ("commonResponse.success"), as a chain of keys on the
/// stack: the text is only made for an error message.
struct JsonPath {
    const JsonPath* parent = nullptr;
    std::string_view key;  ///< empty at the root

    std::string text() const {
        if (key.empty()) return {};
        std::string above = parent != nullptr ? parent->text() : std::string();
        return above.empty() ? std::string(key) : above + "." + std::string(key);
    }
};

/// Nesting followed by recursion in values no record declares; a value nested deeper is
/// checked by the document parser, which keeps its own stack (and, unlike the reader, refuses an
/// integer beyond 64 bits there).
constexpr int kMaxSkippedDepth = 64;

bool validateDeep(std::string_view text) {
    simdjson::dom::parser parser;
    if (parser.allocate(text.size(), text.size() + 1) != simdjson::SUCCESS) return false;
    simdjson::dom::element element;
    return parser.parse(text.data(), text.size(), true).get(element) == simdjson::SUCCESS;
}

/// Checks a value the record does not take, all through: the streaming parser checks only
/// what is read, and a document with a fault anywhere in it is not JSON. False on a fault.
/// A number is any JSON number a double holds (64-bit range or not).
template <class Value>
bool validate(Value& value, int depth) {
    od::json_type type;
    if (value.type().get(type) != simdjson::SUCCESS) return false;
    switch (type) {
        case od::json_type::object: {
            od::object object;
            if (value.get_object().get(object) != simdjson::SUCCESS) return false;
            if (depth >= kMaxSkippedDepth) {
                std::string_view text;
                return object.raw_json().get(text) == simdjson::SUCCESS && validateDeep(text);
            }
            for (auto member : object) {
                std::string_view key;
                od::value inner;
                if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
                    member.value().get(inner) != simdjson::SUCCESS || !validate(inner, depth + 1))
                    return false;
            }
            return true;
        }
        case od::json_type::array: {
            od::array array;
            if (value.get_array().get(array) != simdjson::SUCCESS) return false;
            if (depth >= kMaxSkippedDepth) {
                std::string_view text;
                return array.raw_json().get(text) == simdjson::SUCCESS && validateDeep(text);
            }
            for (auto element : array) {
                od::value inner;
                if (element.get(inner) != simdjson::SUCCESS || !validate(inner, depth + 1))
                    return false;
            }
            return true;
        }
        case od::json_type::string: {
            std::string_view text;
            return value.get_string().get(text) == simdjson::SUCCESS;
        }
        case od::json_type::number: {
            double number;
            return value.get_double().get(number) == simdjson::SUCCESS;
        }
        case od::json_type::boolean: {
            bool flag;
            return value.get_bool().get(flag) == simdjson::SUCCESS;
        }
        case od::json_type::null: {
            bool null = false;
            return value.is_null().get(null) == simdjson::SUCCESS && null;
        }
    }
    return false;
}

Error typeMismatch(const JsonPath& path, const char* expected) {
    return decodingFailure(DecodingErrorCode::typeMismatch,
                           std::string("type mismatch at ") + path.text() + ": expected " +
                               expected);
}

Error notAnObject(const RecordSpec& spec, const JsonPath& path) {
    const std::string where = path.text();
    return decodingFailure(DecodingErrorCode::typeMismatch,
                           std::string("expected an object for ") + spec.name +
                               (where.empty() ? "" : " at " + where));
}

Error notJson() {
    return decodingFailure(DecodingErrorCode::dataCorrupted, "The given data was not valid JSON.");
}

bool readObject(od::object object, const RecordSpec& spec, void* record, const JsonPath& path,
                std::optional<Error>& err);

/// Reads one member's value (not null) into the record. A value of another type sets `err` and
/// is still checked through. False on a fault in the text.
bool readValue(od::value value, const FieldSpec& f, void* record, const JsonPath& path,
               std::optional<Error>& err) {
    od::json_type type;
    if (value.type().get(type) != simdjson::SUCCESS) return false;
    switch (f.kind) {
        case WireKind::text: {
            if (type != od::json_type::string) break;
            std::string_view text;
            if (value.get_string().get(text) != simdjson::SUCCESS) return false;
            static_cast<std::string*>(f.write(record))->assign(text);
            return true;
        }
        case WireKind::boolean: {
            if (type != od::json_type::boolean) break;
            bool flag;
            if (value.get_bool().get(flag) != simdjson::SUCCESS) return false;
            *static_cast<bool*>(f.write(record)) = flag;
            return true;
        }
        case WireKind::integer: {
            if (type != od::json_type::number) break;
            od::number_type numberType = od::number_type::floating_point_number;
            if (value.get_number_type().get(numberType) == simdjson::SUCCESS &&
                numberType == od::number_type::signed_integer) {
                std::int64_t number;
                if (value.get_int64().get(number) != simdjson::SUCCESS) return false;
                *static_cast<std::int64_t*>(f.write(record)) = number;
                return true;
            }
            // 2^63 and above, or a number with a fraction or an exponent (or beyond 64 bits).
            err = typeMismatch(path, numberType == od::number_type::unsigned_integer
                                         ? "a 64-bit integer"
                                         : "an integer");
            return validate(value, 0);
        }
        case WireKind::record: {
            if (type != od::json_type::object) {
                err = notAnObject(*f.nested, path);
                return validate(value, 0);
            }
            od::object object;
            if (value.get_object().get(object) != simdjson::SUCCESS) return false;
            return readObject(object, *f.nested, f.write(record), path, err);
        }
    }
    err = typeMismatch(path, f.kind == WireKind::text      ? "a string"
                             : f.kind == WireKind::boolean ? "a boolean"
                                                           : "an integer");
    return validate(value, 0);
}

/// Reads an object into a record. The whole object is read before any verdict: a later
/// duplicate key replaces an earlier one, and a fault anywhere in the text takes precedence
/// over a mismatch. Then the first field, in declaration order, that is missing, null or
/// mismatched gives the error.
bool readObject(od::object object, const RecordSpec& spec, void* record, const JsonPath& path,
                std::optional<Error>& err) {
    enum class Seen : std::uint8_t { absent, null, value, mismatch };
    std::array<Seen, kMaxRecordFields> seen{};
    std::array<std::optional<Error>, kMaxRecordFields> errors;
    for (auto member : object) {
        std::string_view key;
        od::value value;
        if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
            member.value().get(value) != simdjson::SUCCESS)
            return false;
        std::size_t i = 0;
        while (i < spec.count && spec.fields[i].key != key) ++i;
        if (i == spec.count) {
            if (!validate(value, 0)) return false;
            continue;
        }
        const FieldSpec& f = spec.fields[i];
        od::json_type type;
        if (value.type().get(type) != simdjson::SUCCESS) return false;
        errors[i].reset();
        if (type == od::json_type::null) {
            if (!validate(value, 0)) return false;
            seen[i] = Seen::null;
            continue;
        }
        const JsonPath p{&path, f.key};
        if (!readValue(value, f, record, p, errors[i])) return false;
        seen[i] = errors[i] ? Seen::mismatch : Seen::value;
    }
    for (std::size_t i = 0; i < spec.count; ++i) {
        const FieldSpec& f = spec.fields[i];
        if (seen[i] == Seen::value) continue;
        if (seen[i] == Seen::mismatch) {
            err = std::move(errors[i]);
            return true;
        }
        if (f.optional) {
            f.clear(record);
            continue;
        }
        const JsonPath p{&path, f.key};
        const bool missing = seen[i] == Seen::absent;
        err = decodingFailure(
            missing ? DecodingErrorCode::keyNotFound : DecodingErrorCode::valueNotFound,
            std::string(missing ? "key not found: \"" : "null value for \"") +
                std::string(f.key) + "\" in " + spec.name + " (path: " + p.text() + ")");
        return true;
    }
    return true;
}

/// The streaming parser and a padded copy of texts that leave it no room, one of each per thread
/// (their buffers are kept from one answer to the next).
struct ReaderState {
    od::parser parser;
    std::vector<char> padded;
};

/// Texts up to this size reuse the thread's buffers; a larger one (the parser keeps several
/// times the text's size) gets buffers of its own, freed when it is read.
constexpr std::size_t kKeptTextSize = 64 * 1024;

ReaderState& readerState() {
    thread_local ReaderState state;
    return state;
}

/// A parse of one text, with the thread's buffers or its own.
class Reading {
public:
    Reading(const char* data, std::size_t size, std::size_t capacity)
        : state_(size <= kKeptTextSize ? readerState() : own_.emplace()) {
        // A NUL byte ends the text (one inside a string would be a fault in it anyway), and a
        // byte order mark before it is not part of it.
        if (const void* nul = size != 0 ? std::memchr(data, '\0', size) : nullptr) {
            size = static_cast<std::size_t>(static_cast<const char*>(nul) - data);
        }
        if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
            data += 3;
            size -= 3;
            capacity -= 3;
        }
        if (capacity < size + simdjson::SIMDJSON_PADDING) {
            state_.padded.resize(size + simdjson::SIMDJSON_PADDING);
            if (size != 0) std::memcpy(state_.padded.data(), data, size);
            data = state_.padded.data();
            capacity = state_.padded.size();
        }
        parsed_ = state_.parser.iterate(data, size, capacity).get(document_) == simdjson::SUCCESS;
    }

    /// The document, when the text could be parsed at all.
    od::document* document() { return parsed_ ? &document_ : nullptr; }

    /// Whether nothing but white space follows what was read.
    bool atEnd() { return document_.current_location().error() == simdjson::OUT_OF_BOUNDS; }

    /// Whether the text, which is not an object, is a JSON value.
    bool isJson() { return parsed_ && validate(document_, 0) && atEnd(); }

private:
    std::optional<ReaderState> own_;
    ReaderState& state_;
    od::document document_;
    bool parsed_ = false;
};

}  // namespace

std::optional<Error> readRecord(const char* data, std::size_t size, std::size_t capacity,
                                const RecordSpec& spec, void* record) {
    Reading reading(data, size, capacity);
    od::document* document = reading.document();
    if (document == nullptr) return notJson();
    od::json_type type;
    if (document->type().get(type) != simdjson::SUCCESS) return notJson();
    if (type != od::json_type::object) {
        if (!reading.isJson()) return notJson();
        return notAnObject(spec, JsonPath{});
    }
    od::object object;
    std::optional<Error> mismatch;
    if (document->get_object().get(object) != simdjson::SUCCESS ||
        !readObject(object, spec, record, JsonPath{}, mismatch) || !reading.atEnd())
        return notJson();
    return mismatch;
}

namespace {

/// The text at `path` in an object, the last one where a key repeats. False on a fault.
bool findText(od::object object, const std::string_view* key, const std::string_view* end,
              std::optional<std::string>& found) {
    for (auto member : object) {
        std::string_view name;
        od::value value;
        if (member.unescaped_key().get(name) != simdjson::SUCCESS ||
            member.value().get(value) != simdjson::SUCCESS)
            return false;
        od::json_type type;
        if (value.type().get(type) != simdjson::SUCCESS) return false;
        if (name != *key) {
            if (!validate(value, 0)) return false;
            continue;
        }
        found.reset();
        if (key + 1 == end && type == od::json_type::string) {
            std::string_view text;
            if (value.get_string().get(text) != simdjson::SUCCESS) return false;
            found.emplace(text);
        } else if (key + 1 != end && type == od::json_type::object) {
            od::object inner;
            if (value.get_object().get(inner) != simdjson::SUCCESS ||
                !findText(inner, key + 1, end, found))
                return false;
        } else if (!validate(value, 0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> textAt(const Bytes& body,
                                  std::initializer_list<std::string_view> path) {
    Reading reading(reinterpret_cast<const char*>(body.data()), body.size(), body.capacity());
    od::document* document = reading.document();
    od::object object;
    std::optional<std::string> found;
    if (path.size() == 0 || document == nullptr ||
        document->get_object().get(object) != simdjson::SUCCESS ||
        !findText(object, path.begin(), path.end(), found) || !reading.atEnd())
        return std::nullopt;
    return found;
}

Error decodingFailure(long code, const std::string& message) {
    return Error::decoding(static_cast<DecodingError>(code), message);
}

// ---- Diagnostic form ------------------------------------------------------------------------

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string describeValue(const std::optional<std::string>& text) {
    return text ? "Optional(" + quoted(*text) + ")" : "nil";
}

std::string describeRecord(const RecordSpec& spec, const void* record) {
    std::string out = spec.name;
    out += '(';
    for (std::size_t i = 0; i < spec.count; ++i) {
        const FieldSpec& f = spec.fields[i];
        if (i != 0) out += ", ";
        out += f.name;
        out += ": ";
        const void* value = f.read(record);
        if (value == nullptr) {
            out += "nil";
            continue;
        }
        if (f.optional) out += "Optional(";
        switch (f.kind) {
            case WireKind::text:
                out += quoted(*static_cast<const std::string*>(value));
                break;
            case WireKind::boolean:
                out += *static_cast<const bool*>(value) ? "true" : "false";
                break;
            case WireKind::integer:
                out += std::to_string(*static_cast<const std::int64_t*>(value));
                break;
            case WireKind::record:
                out += describeRecord(*f.nested, value);
                break;
        }
        if (f.optional) out += ')';
    }
    out += ')';
    return out;
}

}  // namespace tavi::detail
