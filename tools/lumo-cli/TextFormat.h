// printf-style formatting into a std::string, shared by lumo-cli's plain C++
// parts and its Windows ones.
#ifndef LUMO_TOOLS_CLI_TEXTFORMAT_H
#define LUMO_TOOLS_CLI_TEXTFORMAT_H

#include <cstdio>
#include <string>

namespace lumo_cli {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

}  // namespace lumo_cli

#endif
