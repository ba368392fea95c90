/*
 * hex.cpp - hexadecimal text for byte strings and numbers.
 */
#include "hex.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace recnet {

namespace {

// Value of one hex digit, or -1.
int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hasHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

std::string toHex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0f]);
    }
    return out;
}

std::string toHex(const std::vector<uint8_t>& bytes) { return toHex(bytes.data(), bytes.size()); }

std::string hexWord(uint32_t v) {
    char b[11];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::optional<std::vector<uint8_t>> fromHex(std::string_view text) {
    if (hasHexPrefix(text)) text.remove_prefix(2);
    std::vector<uint8_t> out;
    int high = -1;  // first digit of the pair being read
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (high >= 0) return std::nullopt;  // a pair may not be split
            continue;
        }
        int v = digitValue(c);
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
    int base = 10;
    if (hasHexPrefix(text)) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

}  // namespace recnet
