// printf-style formatting into a std::string, shared by lumo-cli's plain C++
// parts and its Windows ones.
#ifndef LUMO_TOOLS_CLI_TEXTFORMAT_H
#define LUMO_TOOLS_CLI_TEXTFORMAT_H

#include <cstdio>
#include <string>

namespace lumo_cli {

// The whole text, however long: a fixed buffer would cut a row of a long
// channel name or file name short, counts and all.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  const int length = std::snprintf(nullptr, 0, format, args...);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(&text[0], text.size(), format, args...);
  text.resize(static_cast<size_t>(length));
  return text;
}

}  // namespace lumo_cli

#endif
