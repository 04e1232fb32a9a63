#include "core/record.hpp"

#include <cstdio>

namespace tavi::detail {

std::string escapeSlashes(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 8);
    std::size_t from = 0;
    for (auto slash = text.find('/'); slash != std::string::npos; slash = text.find('/', from)) {
        out.append(text, from, slash - from);
        out += "\\/";
        from = slash + 1;
    }
    out.append(text, from);
    return out;
}

Result<std::string> dumpJson(const Json& json, bool pretty) {
    try {
        return escapeSlashes(
            json.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::strict));
    } catch (const nlohmann::json::exception& e) {
        return Error{
            ErrorDomain::encoding, 1,           std::string("invalid value: ") + e.what(), nullptr,
            std::nullopt,          std::nullopt};
    }
}

Error decodingFailure(long code, const std::string& message) {
    return Error{ErrorDomain::decoding, code, message, nullptr, std::nullopt, std::nullopt};
}

std::optional<Json> parseJson(const Bytes& data) {
    Json j = Json::parse(data.begin(), data.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::optional<Json> parseJson(const std::string& text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

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

}  // namespace tavi::detail
