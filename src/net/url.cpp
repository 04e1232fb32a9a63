// URL building: the request's URL from the configured base URL, its endpoint and its query, checked
// before anything is sent.
#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "net/net.hpp"

namespace tavi::detail {

namespace {

using UrlHandle = Handle<CURLU, curl_url_cleanup>;
using CurlString = Handle<char, curl_free>;


// ASCII only, whatever locale the host has set.
bool isAsciiDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHex(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUnreserved(unsigned char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// The offset of the first character a URL may not carry (anything but unreserved, reserved, or a
// well-formed %XX escape); npos when there is none.
std::size_t firstNonURLCharacter(std::string_view text) {
    static constexpr std::string_view kReserved = ":/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isUnreserved(c) || kReserved.find(static_cast<char>(c)) != std::string_view::npos)
            continue;
        if (c == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            i += 2;
            continue;
        }
        return i;
    }
    return std::string_view::npos;
}


std::string hexByte(unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("0x") + kHex[c >> 4] + kHex[c & 0x0F];
}

// Parses `text` as an absolute http(s) URL with a host; none otherwise, with `problem` saying why.
std::optional<ParsedURL> parseURL(const std::string& text, std::string& problem) {
    if (text.empty()) {
        problem = "the server URL is empty";
        return std::nullopt;
    }
    if (const auto at = firstNonURLCharacter(text); at != std::string_view::npos) {
        problem = "the URL text has a byte a URL cannot carry (" +
                  hexByte(static_cast<unsigned char>(text[at])) + " at offset " +
                  std::to_string(at) + ")";
        return std::nullopt;
    }
    // curl tolerates "https:/host" and "https:///host"; an authority must follow "://" here.
    const auto authority = text.find("://");
    if (authority == std::string::npos || authority + 3 >= text.size() ||
        std::string_view("/?#").find(text[authority + 3]) != std::string_view::npos ||
        text.find_first_of("/?#") < authority) {
        problem = "the server URL does not begin with \"scheme://host\"";
        return std::nullopt;
    }
    UrlHandle url(curl_url());
    if (!url) {
        problem = "no memory to parse the URL";
        return std::nullopt;
    }
    if (const CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0);
        code != CURLUE_OK) {
        problem = std::string("the URL does not parse: ") + curl_url_strerror(code);
        return std::nullopt;
    }
    char* raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) {
        problem = "the URL has no scheme";
        return std::nullopt;
    }
    CurlString scheme(raw);
    raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) {
        problem = "the URL has no host";
        return std::nullopt;
    }
    CurlString host(raw);
    raw = nullptr;
    ParsedURL parsed{scheme ? scheme.get() : "", host ? host.get() : "", 0};
    for (auto& ch : parsed.scheme) ch = asciiLower(ch);
    if (parsed.scheme != "http" && parsed.scheme != "https") {
        problem = "the scheme \"" + parsed.scheme + "\" is neither https nor http";
        return std::nullopt;
    }
    if (parsed.host.empty()) {
        problem = "the URL has no host";
        return std::nullopt;
    }
    if (curl_url_get(url.get(), CURLUPART_PORT, &raw, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        const CurlString port(raw);
        if (port) parsed.port = std::strtol(port.get(), nullptr, 10);
    }
    return parsed;
}

std::string queryValueText(const QueryValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* number = std::get_if<long long>(&value)) return std::to_string(*number);
    return std::get<bool>(value) ? "true" : "false";
}

// ---- The exchange --------------------------------------------------------------------------

}  // namespace

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The URL as the "url: " line shows it: credentials in the authority are never written out.
std::string loggableURL(const std::string& url) {
    const auto start = url.find("://");
    if (start == std::string::npos) return url;
    const auto authorityEnd = url.find_first_of("/?#", start + 3);
    const auto at = url.rfind('@', authorityEnd == std::string::npos ? url.size() : authorityEnd);
    if (at == std::string::npos || at < start + 3) return url;
    return url.substr(0, start + 3) + "***" + url.substr(at);
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool isLoopbackHost(std::string_view host) {
    std::string h(host);
    for (auto& c : h) c = asciiLower(c);
    // Exactly "localhost": "localhost." and other names go to the resolver, which may send them
    // anywhere. "localhost" itself is connected to loopback addresses only (see exchange()).
    if (h == "localhost") return true;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
    }
    return false;
}

std::string headersText(const std::map<std::string, std::string>& headers) {
    if (headers.empty()) return "[:]";
    std::string out = "[";
    bool first = true;
    for (const auto& [key, value] : headers) {
        if (!first) out += ", ";
        first = false;
        out += "\"" + key + "\": \"" + value + "\"";
    }
    out += "]";
    return out;
}

namespace {

// The scheme, host and port of `baseURL + endPoint`. An endpoint that is empty or starts a path
// leaves the base URL's authority as it is (the authority ends at the first "/", "?" or "#" after
// "://", in the base URL or at the endpoint's first character), so the base URL's own parts
// serve, parsed once per thread while the configured URL stays the same; the endpoint is still
// checked for bytes a URL cannot carry. Anything else is parsed whole.
std::optional<ParsedURL> partsOf(const std::string& baseURL, std::string_view endPoint,
                                 const std::string& joined, std::string& problem) {
    if (!endPoint.empty() && endPoint.front() != '/') return parseURL(joined, problem);
    struct LastBase {
        std::string text;
        ParsedURL parts;
    };
    thread_local std::optional<LastBase> last;
    if (!last || last->text != baseURL) {
        std::string ignored;
        auto parts = parseURL(baseURL, ignored);
        if (!parts) return parseURL(joined, problem);  // worded for the whole URL
        last = LastBase{baseURL, std::move(*parts)};
    }
    if (const auto at = firstNonURLCharacter(endPoint); at != std::string_view::npos) {
        problem = "the URL text has a byte a URL cannot carry (" +
                  hexByte(static_cast<unsigned char>(endPoint[at])) + " at offset " +
                  std::to_string(baseURL.size() + at) + ")";
        return std::nullopt;
    }
    return last->parts;
}

}  // namespace

std::optional<JoinedURL> joinAndParse(const std::string& baseURL, const std::string& endPoint,
                                      const std::map<std::string, QueryValue>& queryParams,
                                      std::string& problem) {
    std::string joined = baseURL + endPoint;
    auto parts = partsOf(baseURL, endPoint, joined, problem);
    if (!parts) return std::nullopt;

    const std::string_view whole(joined);
    std::string_view prefix = whole;
    std::string_view fragment;
    if (const auto hash = prefix.find('#'); hash != std::string_view::npos) {
        fragment = prefix.substr(hash);
        prefix = prefix.substr(0, hash);
    }
    std::optional<std::string_view> query;
    if (const auto mark = prefix.find('?'); mark != std::string_view::npos) {
        query = prefix.substr(mark + 1);
        prefix = prefix.substr(0, mark);
    }
    std::string items;
    if (!queryParams.empty()) {
        for (const auto& [name, value] : queryParams) {
            if (!items.empty()) items += '&';
            items += percentEncode(name) + "=" + percentEncode(queryValueText(value));
        }
        query = items;
    }
    // As sent: a "+" in the query is a plus sign, not a space.
    const bool rewritten = !queryParams.empty() ||
                           (query && query->find('+') != std::string_view::npos);
    if (!rewritten) return JoinedURL{std::move(joined), std::move(*parts)};
    std::string url(prefix);
    if (query) {
        url += '?';
        for (char c : *query) {
            if (c == '+')
                url += "%2B";
            else
                url += c;
        }
    }
    url += fragment;
    if (url != joined) {
        parts = parseURL(url, problem);
        if (!parts) return std::nullopt;
    }
    return JoinedURL{std::move(url), std::move(*parts)};
}

std::optional<std::string> joinURL(const std::string& baseURL, const std::string& endPoint,
                                   const std::map<std::string, QueryValue>& queryParams) {
    std::string problem;
    auto joined = joinAndParse(baseURL, endPoint, queryParams, problem);
    if (!joined) return std::nullopt;
    return std::move(joined->url);
}

}  // namespace tavi::detail
