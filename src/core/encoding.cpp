// Text forms shared by the whole library: UUID text, standard base64 (strict and lenient
// decoding) and UTF-8 validation.

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "core/internal.hpp"
#include "core/secret.hpp"

namespace tavi::detail {

namespace {

constexpr std::int8_t kNotInAlphabet = -1;

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table) entry = kNotInAlphabet;
    constexpr const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr std::array<std::int8_t, 256> kDecodeTable = makeDecodeTable();

std::int8_t sextet(char c) {
    return kDecodeTable[static_cast<unsigned char>(c)];
}

// Decodes alphabet characters only (no padding); `text` must not have a length of 1 modulo 4.
// None when a character is outside the alphabet.
template <class Out = Bytes>
std::optional<Out> decodeSextets(std::string_view text) {
    Out out(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1));
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t o = 0;
    std::size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
        const int a = kDecodeTable[in[i]];
        const int b = kDecodeTable[in[i + 1]];
        const int c = kDecodeTable[in[i + 2]];
        const int d = kDecodeTable[in[i + 3]];
        if ((a | b | c | d) < 0) return std::nullopt;
        const auto group = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
        out[o++] = static_cast<std::uint8_t>(group >> 16);
        out[o++] = static_cast<std::uint8_t>(group >> 8);
        out[o++] = static_cast<std::uint8_t>(group);
    }
    // A tail of two or three characters carries one or two bytes.
    std::uint32_t acc = 0;
    int bits = 0;
    for (; i < text.size(); ++i) {
        const int v = kDecodeTable[in[i]];
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[o++] = static_cast<std::uint8_t>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace

std::string newUUID() {
    std::array<std::uint8_t, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
        // The system source is the norm; this path only keeps identifiers unique if it fails.
        std::random_device device;
        for (auto& byte : b) byte = static_cast<std::uint8_t>(device());
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    constexpr const char* hex = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(hex[b[i] >> 4]);
        text.push_back(hex[b[i] & 0x0F]);
    }
    return text;
}

std::string base64Encode(const Bytes& data) {
    return base64Encode(std::span<const std::uint8_t>(data));
}

std::string base64Encode(std::span<const std::uint8_t> data) {
    if (data.empty()) return {};
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string base64Encode(std::string_view data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return base64Encode(std::span<const std::uint8_t>(bytes, data.size()));
}

namespace {

template <class Out>
std::optional<Out> decodeStrict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = 1;
        if (text[text.size() - 2] == '=') padding = 2;
    }
    return decodeSextets<Out>(text.substr(0, text.size() - padding));
}

// The text's alphabet characters go through a secret buffer: they are the secret, encoded.
template <class Out>
std::optional<Out> decodeLenient(std::string_view text) {
    SecretString body;
    bool padded = false;
    for (char c : text) {
        if (c == '=') {
            padded = true;
        } else if (sextet(c) != kNotInAlphabet) {
            // Data after padding means the text is not one base64 value.
            if (padded) return std::nullopt;
            body += c;
        }
    }
    // Missing padding is tolerated; a lone trailing character carries no whole byte.
    if (body.size() % 4 == 1) return std::nullopt;
    return decodeSextets<Out>(body.view());
}

}  // namespace

std::optional<Bytes> base64DecodeStrict(std::string_view text) {
    return decodeStrict<Bytes>(text);
}

std::optional<Bytes> base64DecodeLenient(std::string_view text) {
    return decodeLenient<Bytes>(text);
}

std::optional<SecretBytes> secretBase64DecodeStrict(std::string_view text) {
    return decodeStrict<SecretBytes>(text);
}

std::optional<SecretBytes> secretBase64DecodeLenient(std::string_view text) {
    return decodeLenient<SecretBytes>(text);
}

std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
    const std::size_t n = text.size();
    if (i >= n) return 0;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return 1;
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;  // continuation byte, overlong lead (C0/C1) or beyond U+10FFFF
    }
    if (n - i <= extra) return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return 0;  // overlong
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;                                // surrogate
    if (cp > 0x10FFFF) return 0;
    return extra + 1;
}

// isValidUTF8 is in record.cpp, beside the JSON reader whose validator it uses.

std::string escapeControlCharacters(std::string_view text) {
    // Fast path: plain printable ASCII passes unchanged.
    bool plain = true;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F) {
            plain = false;
            break;
        }
    }
    if (plain) return std::string(text);

    static constexpr char kHex[] = "0123456789abcdef";
    const auto escaped = [](std::string& out, const char* prefix, unsigned value) {
        out += prefix;
        out += kHex[(value >> 4) & 0x0F];
        out += kHex[value & 0x0F];
    };
    std::string out;
    out.reserve(text.size() + 16);
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            switch (c) {
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
                    escaped(out, "\\u00", c);
            }
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceAt(text, i);
        if (length == 0) {
            escaped(out, "\\x", c);  // a byte that is not part of any character
            ++i;
            continue;
        }
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (length == 2 && c == 0xC2 && next <= 0x9F) {
            escaped(out, "\\u00", next);  // C1 control, U+0080..U+009F
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

}  // namespace tavi::detail

namespace tavi {

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size > 0) OPENSSL_cleanse(data, size);
}

}  // namespace tavi
