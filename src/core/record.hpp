// Declaring a wire record's fields once, and deriving from that declaration its JSON encoding,
// its strict decoding and its one-line diagnostic form.
//
// A field is (member name, JSON key, member pointer); the key is the member's name unless the
// declaration gives another. The encoding rule and the decoding rule follow from the member's
// type: a std::optional member is written only when present and may be missing or null when
// decoding; any other member is always written and is required, with the right JSON type.
//
// The declarations become one table per record (RecordSpec). The writer makes text straight from
// a record through it, and the reader fills a record from a streaming parse of the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/internal.hpp"
#include "tavi/result.hpp"

namespace tavi::detail {

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
/// fields` (declaration order) and, where the JSON order differs, `static constexpr std::array
/// encodeOrder` (the indices of `fields` in JSON order).
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

// ---- The declarations as a table ------------------------------------------------------------

enum class WireKind : std::uint8_t { text, boolean, integer, record };

struct RecordSpec;

/// One field, type-erased: its names, its kind and how to reach the member of a record.
struct FieldSpec {
    std::string_view name;  ///< the member's name (diagnostic form)
    std::string_view key;   ///< the JSON key
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

template <class R, std::size_t I>
struct FieldAccess {
    static constexpr auto member = std::get<I>(RecordTraits<R>::fields).member;
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

template <class R, std::size_t I>
constexpr FieldSpec fieldSpec() {
    using Access = FieldAccess<R, I>;
    using M = typename Access::M;
    constexpr bool optional = IsOptional<M>::value;
    using V = typename std::conditional_t<optional, M, std::optional<M>>::value_type;
    constexpr const auto& f = std::get<I>(RecordTraits<R>::fields);
    static_assert(plainKey(f.key), "a key must be a plain identifier");
    const RecordSpec* nested = nullptr;
    if constexpr (WireRecord<V>) nested = &SpecOf<V>::spec;
    return FieldSpec{f.name,   f.key,          wireKindOf<V>(), optional,
                     nested,   &Access::read, &Access::write,  &Access::clear};
}

template <class R, std::size_t... I>
constexpr auto fieldSpecs(std::index_sequence<I...>) {
    return std::array<FieldSpec, sizeof...(I)>{fieldSpec<R, I>()...};
}

/// The indices of a record's fields in JSON order.
template <class R, std::size_t N>
constexpr std::array<std::size_t, N> encodeOrderOf() {
    std::array<std::size_t, N> order{};
    if constexpr (requires { RecordTraits<R>::encodeOrder; }) {
        static_assert(RecordTraits<R>::encodeOrder.size() == N, "encodeOrder names every field");
        order = RecordTraits<R>::encodeOrder;
    } else {
        for (std::size_t i = 0; i < N; ++i) order[i] = i;
    }
    return order;
}

template <std::size_t N>
constexpr bool isPermutation(const std::array<std::size_t, N>& order) {
    std::array<bool, N> seen{};
    for (const std::size_t i : order) {
        if (i >= N || seen[i]) return false;
        seen[i] = true;
    }
    return true;
}

template <class R>
struct SpecOf {
    static constexpr std::size_t count =
        std::tuple_size_v<std::remove_cvref_t<decltype(RecordTraits<R>::fields)>>;
    static_assert(count <= kMaxRecordFields, "raise kMaxRecordFields");
    static constexpr auto fields = fieldSpecs<R>(std::make_index_sequence<count>());
    static constexpr auto order = encodeOrderOf<R, count>();
    static_assert(isPermutation(order), "encodeOrder lists each field once");
    static constexpr auto encodeFields = [] {
        std::array<FieldSpec, count> out{};
        for (std::size_t i = 0; i < count; ++i) out[i] = fields[order[i]];
        return out;
    }();
    static constexpr RecordSpec spec{RecordTraits<R>::name, fields.data(), count,
                                     encodeFields.data()};
};

// ---- Encoding ----------------------------------------------------------------------------------

/// JSON text of a record: members in JSON order, absent optionals left out, "/" written as "\/"
/// as the platform encoder does; compact (request bodies) or pretty-printed with two spaces
/// (payloads before encryption). An error (EncodingError domain) naming the member when a text
/// is not valid UTF-8.
Result<std::string> writeRecord(const RecordSpec& spec, const void* record, bool pretty);

template <WireRecord R>
Result<std::string> encodeCompact(const R& record) {
    return writeRecord(SpecOf<R>::spec, &record, false);
}

template <WireRecord R>
Result<std::string> encodePretty(const R& record) {
    return writeRecord(SpecOf<R>::spec, &record, true);
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

/// Reads JSON text (`size` bytes at `data`, `capacity` of them readable) into a record,
/// strictly: none when the record is filled in, else the error (DecodingError domain, naming the
/// member and its path). Text with too little room after it for the parser's look-ahead is
/// copied first.
std::optional<Error> readRecord(const char* data, std::size_t size, std::size_t capacity,
                                const RecordSpec& spec, void* record);

template <WireRecord R, class Text>
Result<R> decodeFrom(const Text& text) {
    R out{};
    if (auto err = readRecord(reinterpret_cast<const char*>(text.data()), text.size(),
                              text.capacity(), SpecOf<R>::spec, &out))
        return std::move(*err);
    return out;
}

/// Decodes a body (bytes of JSON text) as record R, strictly.
template <WireRecord R>
Result<R> decodeBody(const Bytes& data) {
    return decodeFrom<R>(data);
}

template <WireRecord R>
Result<R> decodeText(const std::string& text) {
    return decodeFrom<R>(text);
}

/// The text at `path` (keys from the top) of a document that is a JSON object; none when the
/// body is not JSON, or holds no text there. For answers no record describes.
std::optional<std::string> textAt(const Bytes& body, std::initializer_list<std::string_view> path);

// ---- Diagnostic form ------------------------------------------------------------------------

/// A text as the diagnostic form writes it: in double quotation marks, with \, " and control
/// characters escaped.
std::string quoted(const std::string& text);

/// An optional text as a field of the diagnostic form shows it: nil or Optional("...").
std::string describeValue(const std::optional<std::string>& text);

/// `TypeName(field: value, ...)` in declaration order.
std::string describeRecord(const RecordSpec& spec, const void* record);

template <WireRecord R>
std::string describe(const R& record) {
    return describeRecord(SpecOf<R>::spec, &record);
}

/// Writes the record's one-line form as a diagnostic line, built only when someone listens.
template <WireRecord R>
void diagRecord(const R& record) {
    if (diagnosticsOn()) diag(describe(record));
}

}  // namespace tavi::detail
