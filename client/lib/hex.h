/*
 * hex.h - hexadecimal text for byte strings and numbers on the command line.
 */
#ifndef RECNET_CLIENT_HEX_H
#define RECNET_CLIENT_HEX_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recnet {

// Lower-case hex digits, two per byte, no separators ("" for no bytes).
std::string toHex(const uint8_t* data, size_t size);
std::string toHex(const std::vector<uint8_t>& bytes);

// "0x" and eight lower-case hex digits ("0x0000ff00").
std::string hexWord(uint32_t v);

// Parses pairs of hex digits (either case); white space between pairs is
// skipped and a leading "0x" is allowed. nullopt on an odd digit count or any
// other character.
std::optional<std::vector<uint8_t>> fromHex(std::string_view text);

// Parses an unsigned number written in decimal or with a 0x prefix in hex.
// nullopt when the text is not entirely such a number or exceeds `max`.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max);

}  // namespace recnet

#endif
