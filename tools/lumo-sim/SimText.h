// Words, numbers and bytes as the simulated gauge reads and writes them in its
// description file, control commands and trace.
#ifndef LUMO_TOOLS_SIM_SIMTEXT_H
#define LUMO_TOOLS_SIM_SIMTEXT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lumo::sim {

std::string Trim(const std::string& s);
std::string Lower(std::string s);
std::vector<std::string> Words(const std::string& s);
// key=value words from index `from` on; bare words map to "".
std::map<std::string, std::string> KeyValues(const std::vector<std::string>& words, size_t from);

// Decimal or 0x-prefixed hexadecimal, up to 64 bits; a leading '-' only when
// allowed (two's complement).
bool ParseNumber(const std::string& text, uint64_t& value, bool allow_negative = false);
// A number 0..max.
bool ParseSmall(const std::string& text, uint64_t max, int& out);

// `digits` upper-case hex digits of v.
std::string HexString(uint64_t v, int digits);
// Upper-case hex pairs of the bytes.
std::string Hex(const std::vector<uint8_t>& data);
// Hex pairs (either case) to bytes; false on an odd count or a non-hex digit.
bool ParseHexBytes(const std::string& digits, std::vector<uint8_t>& out);
// Control characters and bytes outside ASCII escaped, for the trace.
std::string Printable(const std::string& bytes);

}  // namespace lumo::sim

#endif
