// Declaring a wire record's fields once, and deriving from that declaration its JSON encoding,
// its strict decoding and its one-line diagnostic form.
//
// A field is (name, JSON key, member pointer). The encoding rule and the decoding rule follow from
// the member's type: a std::optional member is written only when present and may be missing or
// null when decoding; any other member is always written and is required, with the right JSON type.
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
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

/// Compact JSON text of a record (request bodies).
template <WireRecord R>
Result<std::string> encodeCompact(const R& record) {
    return dumpJson(encodeRecord(record), false);
}

/// Pretty-printed JSON text of a record (payloads before encryption).
template <WireRecord R>
Result<std::string> encodePretty(const R& record) {
    return dumpJson(encodeRecord(record), true);
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

/// Decodes a body (bytes of JSON text) as record R, strictly. Errors are in the DecodingError
/// domain and name the member.
template <WireRecord R>
Result<R> decodeBody(const Bytes& data) {
    auto json = parseJson(data);
    if (!json) {
        return decodingFailure(DecodingErrorCode::dataCorrupted,
                               "The given data was not valid JSON.");
    }
    return decodeDocument<R>(*json);
}

template <WireRecord R>
Result<R> decodeText(const std::string& text) {
    auto json = parseJson(text);
    if (!json) {
        return decodingFailure(DecodingErrorCode::dataCorrupted,
                               "The given data was not valid JSON.");
    }
    return decodeDocument<R>(*json);
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
