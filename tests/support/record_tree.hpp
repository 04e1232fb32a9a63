// A second, independent reading of the record declarations for checking the library against:
// each record encoded to and decoded from a nlohmann-json document, with the library's rules
// (members in JSON order, absent optionals left out, "/" escaped, strict decoding) and its
// error codes and messages. The fuzz target holds the library's writer and reader to it; the
// benchmark shows what the library's way saves. Never part of the library.
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/record.hpp"

namespace tavi::tree {

using Json = nlohmann::ordered_json;
using detail::IsOptional;
using detail::RecordTraits;
using detail::SpecOf;
using detail::WireRecord;

template <class T>
Json encodeValue(const T& value);

template <WireRecord R>
Json encodeRecord(const R& record) {
    Json object = Json::object();
    constexpr auto& order = SpecOf<R>::order;
    auto put = [&](const auto& f) {
        const auto& v = record.*(f.member);
        using V = std::remove_cvref_t<decltype(v)>;
        if constexpr (IsOptional<V>::value) {
            if (v) object[f.key] = encodeValue(*v);
        } else {
            object[f.key] = encodeValue(v);
        }
    };
    for (const std::size_t i : order) {
        std::size_t at = 0;
        std::apply([&](const auto&... f) { ((at++ == i ? put(f) : void()), ...); },
                   RecordTraits<R>::fields);
    }
    return object;
}

template <class T>
Json encodeValue(const T& value) {
    if constexpr (WireRecord<T>) {
        return encodeRecord(value);
    } else {
        return Json(value);
    }
}

inline std::string escapeSlashes(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

/// The record's JSON text; an error (EncodingError domain, code 1) for text that is not UTF-8.
template <WireRecord R>
Result<std::string> encodeWithTree(const R& record, bool pretty) {
    try {
        return escapeSlashes(encodeRecord(record).dump(pretty ? 2 : -1, ' ', false,
                                                        nlohmann::json::error_handler_t::strict));
    } catch (const nlohmann::json::exception& e) {
        return Error{ErrorDomain::encoding, 1, e.what(), nullptr, std::nullopt, std::nullopt};
    }
}

struct Path {
    const Path* parent = nullptr;
    const char* key = nullptr;

    std::string text() const {
        if (key == nullptr) return {};
        std::string above = parent != nullptr ? parent->text() : std::string();
        return above.empty() ? std::string(key) : above + "." + key;
    }
};

template <class T>
bool decodeValue(Json& j, T& out, const Path& path, std::optional<Error>& err);

template <WireRecord R>
bool decodeRecord(Json& j, R& out, const Path& path, std::optional<Error>& err) {
    using detail::DecodingErrorCode::keyNotFound;
    using detail::DecodingErrorCode::typeMismatch;
    using detail::DecodingErrorCode::valueNotFound;
    if (!j.is_object()) {
        const std::string where = path.text();
        err = detail::decodingFailure(typeMismatch, std::string("expected an object for ") +
                                                        RecordTraits<R>::name +
                                                        (where.empty() ? "" : " at " + where));
        return false;
    }
    bool ok = true;
    auto take = [&](const auto& f) {
        if (!ok) return;
        auto& v = out.*(f.member);
        using V = std::remove_cvref_t<decltype(v)>;
        const Path p{&path, f.key};
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
            const bool missing = it == j.end();
            if (missing || it->is_null()) {
                err = detail::decodingFailure(
                    missing ? keyNotFound : valueNotFound,
                    std::string(missing ? "key not found: \"" : "null value for \"") + f.key +
                        "\" in " + RecordTraits<R>::name + " (path: " + p.text() + ")");
                ok = false;
                return;
            }
            if (!decodeValue(*it, v, p, err)) ok = false;
        }
    };
    std::apply([&](const auto&... f) { (take(f), ...); }, RecordTraits<R>::fields);
    return ok;
}

template <class T>
bool decodeValue(Json& j, T& out, const Path& path, std::optional<Error>& err) {
    auto mismatch = [&](const char* expected) {
        err = detail::decodingFailure(
            detail::DecodingErrorCode::typeMismatch,
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
        if (!j.is_number_integer()) return mismatch("an integer");
        if (j.is_number_unsigned() &&
            j.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return mismatch("a 64-bit integer");
        out = j.get<std::int64_t>();
        return true;
    } else {
        if (!j.is_string()) return mismatch("a string");
        out = std::move(j.get_ref<std::string&>());
        return true;
    }
}

/// Parses and decodes text as record R, strictly.
template <WireRecord R, class Text>
Result<R> decodeWithTree(const Text& text) {
    Json json = Json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) {
        return detail::decodingFailure(detail::DecodingErrorCode::dataCorrupted,
                                       "The given data was not valid JSON.");
    }
    R out{};
    std::optional<Error> err;
    if (!decodeRecord(json, out, Path{}, err)) return *err;
    return out;
}

}  // namespace tavi::tree
