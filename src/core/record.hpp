// Declaring a wire record's fields once, and deriving from that declaration its JSON encoding,
// its strict decoding and its one-line diagnostic form.
//
// A field is (name, JSON key, member pointer). The encoding rule and the decoding rule follow from
// the member's type: a std::optional member is written only when present and may be missing or
// null when decoding; any other member is always written and is required, with the right JSON type.
//
// Two implementations share the declarations. The hot path (encodeCompact, encodePretty,
// decodeBody, decodeText) writes text straight from a record and reads it with a streaming parser,
// through a table made from the declarations (RecordSpec). The tree path (encodeRecord,
// decodeDocument) builds a nlohmann document; it gives the verdict whenever the hot path cannot:
// text the hot path's parser refuses (the tree parser accepts a few forms it does not), and text
// that is not UTF-8 for the encoder, so every outcome and every message is the tree path's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/internal.hpp"
#include "tavi/result.hpp"

namespace tavi::detail {

using Json = nlohmann::ordered_json;

template <class R, class M>
struct Field {
    const char* name;
    const char* key;
    M R::*member;
};

template <class R, class M>
constexpr Field<R, M> field(const char* name, const char* key, M R::*member) {
    return {name, key, member};
}

/// Specialise for every record: `static constexpr const char* name`, `static constexpr auto
/// fields` (declaration order) and, where the JSON order differs, `static constexpr auto
/// encodeFields` (encoding order).
template <class R>
struct RecordTraits;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
concept WireRecord = requires {
    RecordTraits<T>::fields;
};

template <class R>
constexpr const auto& encodeFieldsOf() {
    if constexpr (requires { RecordTraits<R>::encodeFields; }) {
        return RecordTraits<R>::encodeFields;
    } else {
        return RecordTraits<R>::fields;
    }
}

// ---- Encoding ----------------------------------------------------------------------------------

template <class T>
Json encodeValue(const T& value);

template <WireRecord R>
Json encodeRecord(const R& record) {
    Json object = Json::object();
    std::apply(
        [&](const auto&... f) {
            (
                [&] {
                    const auto& v = record.*(f.member);
                    using V = std::remove_cvref_t<decltype(v)>;
                    if constexpr (IsOptional<V>::value) {
                        if (v) object[f.key] = encodeValue(*v);
                    } else {
                        object[f.key] = encodeValue(v);
                    }
                }(),
                ...);
        },
        encodeFieldsOf<R>());
    return object;
}

template <class T>
Json encodeValue(const T& value) {
    if constexpr (WireRecord<T>) {
        return encodeRecord(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return Json(value);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return Json(value);
    } else {
        static_assert(std::is_same_v<T, std::string>, "unsupported wire type");
        return Json(value);
    }
}

/// JSON text with "/" written as "\/", as the platform encoder does. A slash can only occur inside
/// a string in JSON text, so escaping every slash of the dump is exact.
std::string escapeSlashes(const std::string& text);

/// Serialises a JSON value; an error (EncodingError domain) for text that is not valid UTF-8.
Result<std::string> dumpJson(const Json& json, bool pretty);

/// JSON text of a record through the tree: compact (request bodies) or pretty (payloads).
template <WireRecord R>
Result<std::string> encodeWithTree(const R& record, bool pretty) {
    return dumpJson(encodeRecord(record), pretty);
}

// ---- The declarations as a table, for the direct writer and the streaming reader -------------

enum class WireKind : std::uint8_t { text, boolean, integer, record };

struct RecordSpec;

/// One field, type-erased: its key, its kind and how to reach the member of a record.
struct FieldSpec {
    std::string_view key;
    WireKind kind;
    bool optional;
    const RecordSpec* nested;                  ///< the member's record, for WireKind::record
    const void* (*read)(const void* record);   ///< the value; null when an optional is absent
    void* (*write)(void* record);              ///< the value to fill in (an optional is engaged)
    void (*clear)(void* record);               ///< empties an optional member
};

struct RecordSpec {
    const char* name;
    const FieldSpec* fields;  ///< declaration order (decoding, diagnostics)
    std::size_t count;
    const FieldSpec* encodeFields;  ///< JSON order (encoding)
    std::size_t encodeCount;
};

/// The most fields a record declares (the reader keeps one state per field on the stack).
inline constexpr std::size_t kMaxRecordFields = 12;

template <class T>
constexpr WireKind wireKindOf() {
    if constexpr (WireRecord<T>) {
        return WireKind::record;
    } else if constexpr (std::is_same_v<T, bool>) {
        return WireKind::boolean;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return WireKind::integer;
    } else {
        static_assert(std::is_same_v<T, std::string>, "unsupported wire type");
        return WireKind::text;
    }
}

/// Keys are written as they are, unescaped: they must be plain identifiers.
constexpr bool plainKey(const char* key) {
    if (key[0] == '\0') return false;
    for (const char* c = key; *c != '\0'; ++c) {
        const bool alnum = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                           (*c >= '0' && *c <= '9') || *c == '_';
        if (!alnum) return false;
    }
    return true;
}

template <class R>
struct SpecOf;

template <class R, const auto& Fields, std::size_t I>
struct FieldAccess {
    static constexpr auto member = std::get<I>(Fields).member;
    using M = std::remove_cvref_t<decltype(std::declval<R&>().*member)>;

    static const void* read(const void* record) {
        const auto& v = static_cast<const R*>(record)->*member;
        if constexpr (IsOptional<M>::value) {
            return v ? static_cast<const void*>(&*v) : nullptr;
        } else {
            return &v;
        }
    }
    static void* write(void* record) {
        auto& v = static_cast<R*>(record)->*member;
        if constexpr (IsOptional<M>::value) {
            if (!v) v.emplace();
            return &*v;
        } else {
            return &v;
        }
    }
    static void clear(void* record) {
        if constexpr (IsOptional<M>::value) (static_cast<R*>(record)->*member).reset();
    }
};

template <class R, const auto& Fields, std::size_t I>
constexpr FieldSpec fieldSpec() {
    using Access = FieldAccess<R, Fields, I>;
    using M = typename Access::M;
    constexpr bool optional = IsOptional<M>::value;
    using V = typename std::conditional_t<optional, M, std::optional<M>>::value_type;
    static_assert(plainKey(std::get<I>(Fields).key), "a key must be a plain identifier");
    const RecordSpec* nested = nullptr;
    if constexpr (WireRecord<V>) nested = &SpecOf<V>::spec;
    return FieldSpec{std::get<I>(Fields).key, wireKindOf<V>(), optional, nested, &Access::read,
                     &Access::write, &Access::clear};
}

template <class R, const auto& Fields, std::size_t... I>
constexpr auto fieldSpecs(std::index_sequence<I...>) {
    return std::array<FieldSpec, sizeof...(I)>{fieldSpec<R, Fields, I>()...};
}

template <class R>
struct SpecOf {
    static constexpr const auto& declared = RecordTraits<R>::fields;
    static constexpr const auto& encoded = encodeFieldsOf<R>();
    static constexpr auto fields = fieldSpecs<R, declared>(
        std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(declared)>>>());
    static constexpr auto encodeFields = fieldSpecs<R, encoded>(
        std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(encoded)>>>());
    static_assert(fields.size() <= kMaxRecordFields, "raise kMaxRecordFields");
    static constexpr RecordSpec spec{RecordTraits<R>::name, fields.data(), fields.size(),
                                     encodeFields.data(), encodeFields.size()};
};

/// Appends the record's JSON text to `out`, byte for byte what the tree path writes (slashes
/// escaped); false, with `out` unspecified, when a text is not valid UTF-8.
bool writeRecord(std::string& out, const RecordSpec& spec, const void* record, bool pretty);

/// Compact JSON text of a record (request bodies).
template <WireRecord R>
Result<std::string> encodeCompact(const R& record) {
    std::string out;
    if (writeRecord(out, SpecOf<R>::spec, &record, false)) return out;
    return encodeWithTree(record, false);  // the refusal, worded by the tree path
}

/// Pretty-printed JSON text of a record (payloads before encryption).
template <WireRecord R>
Result<std::string> encodePretty(const R& record) {
    std::string out;
    if (writeRecord(out, SpecOf<R>::spec, &record, true)) return out;
    return encodeWithTree(record, true);
}

// ---- Decoding ----------------------------------------------------------------------------------

/// DecodingError codes.
namespace DecodingErrorCode {
inline constexpr long dataCorrupted = 1;  ///< not JSON at all
inline constexpr long keyNotFound = 2;    ///< a required member is missing
inline constexpr long valueNotFound = 3;  ///< a required member is null
inline constexpr long typeMismatch = 4;   ///< a member has another JSON type
}  // namespace DecodingErrorCode

Error decodingFailure(long code, const std::string& message);

/// Where a value sits in the document ("commonResponse.success"), as a chain of keys on the
/// stack: the text is only made for an error message.
struct JsonPath {
    const JsonPath* parent = nullptr;
    const char* key = nullptr;  ///< none at the root

    std::string text() const {
        if (key == nullptr) return {};
        std::string above = parent != nullptr ? parent->text() : std::string();
        return above.empty() ? std::string(key) : above + "." + key;
    }
};

// The document is decoded in place: texts are moved out of it, not copied.
template <class T>
bool decodeValue(Json& j, T& out, const JsonPath& path, std::optional<Error>& err);

template <WireRecord R>
bool decodeRecord(Json& j, R& out, const JsonPath& path, std::optional<Error>& err) {
    if (!j.is_object()) {
        const std::string where = path.text();
        err = decodingFailure(DecodingErrorCode::typeMismatch,
                              std::string("expected an object for ") + RecordTraits<R>::name +
                                  (where.empty() ? "" : " at " + where));
        return false;
    }
    bool ok = true;
    std::apply(
        [&](const auto&... f) {
            (
                [&] {
                    if (!ok) return;
                    auto& v = out.*(f.member);
                    using V = std::remove_cvref_t<decltype(v)>;
                    const JsonPath p{&path, f.key};
                    auto it = j.find(f.key);
                    if constexpr (IsOptional<V>::value) {
                        if (it == j.end() || it->is_null()) {
                            v.reset();
                            return;
                        }
                        typename V::value_type inner{};
                        if (!decodeValue(*it, inner, p, err)) {
                            ok = false;
                            return;
                        }
                        v = std::move(inner);
                    } else {
                        if (it == j.end()) {
                            err = decodingFailure(DecodingErrorCode::keyNotFound,
                                                  "key not found: \"" + std::string(f.key) +
                                                      "\" in " + RecordTraits<R>::name +
                                                      " (path: " + p.text() + ")");
                            ok = false;
                            return;
                        }
                        if (it->is_null()) {
                            err = decodingFailure(DecodingErrorCode::valueNotFound,
                                                  "null value for \"" + std::string(f.key) +
                                                      "\" in " + RecordTraits<R>::name +
                                                      " (path: " + p.text() + ")");
                            ok = false;
                            return;
                        }
                        if (!decodeValue(*it, v, p, err)) ok = false;
                    }
                }(),
                ...);
        },
        RecordTraits<R>::fields);
    return ok;
}

template <class T>
bool decodeValue(Json& j, T& out, const JsonPath& path, std::optional<Error>& err) {
    auto mismatch = [&](const char* expected) {
        err = decodingFailure(
            DecodingErrorCode::typeMismatch,
            std::string("type mismatch at ") + path.text() + ": expected " + expected);
        return false;
    };
    if constexpr (WireRecord<T>) {
        return decodeRecord(j, out, path, err);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!j.is_boolean()) return mismatch("a boolean");
        out = j.get<bool>();
        return true;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        if (j.is_number_integer()) {
            if (j.is_number_unsigned() &&
                j.get<std::uint64_t>() >
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return mismatch("a 64-bit integer");
            out = j.get<std::int64_t>();
            return true;
        }
        return mismatch("an integer");
    } else {
        static_assert(std::is_same_v<T, std::string>, "unsupported wire type");
        if (!j.is_string()) return mismatch("a string");
        out = std::move(j.get_ref<std::string&>());
        return true;
    }
}

/// Parses JSON text; none when it is not JSON.
std::optional<Json> parseJson(const Bytes& data);
std::optional<Json> parseJson(const std::string& text);

/// Decodes a parsed document as record R, strictly, moving its texts out.
template <WireRecord R>
Result<R> decodeDocument(Json& json) {
    R out{};
    std::optional<Error> err;
    if (!decodeRecord(json, out, JsonPath{}, err)) return *err;
    return out;
}

/// Parses and decodes text as record R through the tree.
template <WireRecord R, class Text>
Result<R> decodeWithTree(const Text& text) {
    auto json = parseJson(text);
    if (!json) {
        return decodingFailure(DecodingErrorCode::dataCorrupted,
                               "The given data was not valid JSON.");
    }
    return decodeDocument<R>(*json);
}

/// What the streaming reader made of a text.
enum class ReadOutcome {
    decoded,    ///< the record is filled in
    refused,    ///< valid JSON that does not match the record: the error is set
    undecided,  ///< the reader's parser refused the text: the tree path decides
};

/// Reads JSON text (`size` bytes at `data`, `capacity` of them readable) into a record,
/// strictly, with the tree path's errors. Text with too little room after it for the parser's
/// look-ahead is copied first.
ReadOutcome readRecord(const char* data, std::size_t size, std::size_t capacity,
                       const RecordSpec& spec, void* record, std::optional<Error>& err);

template <WireRecord R, class Text>
Result<R> decodeStreaming(const Text& text) {
    R out{};
    std::optional<Error> err;
    switch (readRecord(reinterpret_cast<const char*>(text.data()), text.size(), text.capacity(),
                       SpecOf<R>::spec, &out, err)) {
        case ReadOutcome::decoded:
            return out;
        case ReadOutcome::refused:
            return std::move(*err);
        case ReadOutcome::undecided:
            break;
    }
    return decodeWithTree<R>(text);
}

/// Decodes a body (bytes of JSON text) as record R, strictly. Errors are in the DecodingError
/// domain and name the member.
template <WireRecord R>
Result<R> decodeBody(const Bytes& data) {
    return decodeStreaming<R>(data);
}

template <WireRecord R>
Result<R> decodeText(const std::string& text) {
    return decodeStreaming<R>(text);
}

// ---- Diagnostic form ------------------------------------------------------------------------

/// A text as the diagnostic form writes it: in double quotation marks, with \, " and control
/// characters escaped.
std::string quoted(const std::string& text);

template <class T>
std::string describeValue(const T& value);

/// `TypeName(field: value, ...)` in declaration order.
template <WireRecord R>
std::string describe(const R& record) {
    std::string out = RecordTraits<R>::name;
    out += '(';
    bool first = true;
    std::apply(
        [&](const auto&... f) {
            (
                [&] {
                    if (!first) out += ", ";
                    first = false;
                    out += f.name;
                    out += ": ";
                    out += describeValue(record.*(f.member));
                }(),
                ...);
        },
        RecordTraits<R>::fields);
    out += ')';
    return out;
}

/// Writes the record's one-line form as a diagnostic line, built only when someone listens.
template <WireRecord R>
void diagRecord(const R& record) {
    if (diagnosticsOn()) diag(describe(record));
}

template <class T>
std::string describeValue(const T& value) {
    if constexpr (IsOptional<T>::value) {
        if (!value) return "nil";
        return "Optional(" + describeValue(*value) + ")";
    } else if constexpr (WireRecord<T>) {
        return describe(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return std::to_string(value);
    } else {
        return quoted(value);
    }
}

}  // namespace tavi::detail
