// lumo-cli's channel settings: the program code and the eleven sensors'
// heights and identifiers. These have no slot in the host interface, so this
// part links the library's own code and opens the COM port through the
// library's own gauge port, with its exchange, retries, link states and reply
// rules: what the tuning dialog does, without the dialog.
#ifndef LUMO_TOOLS_CLI_PARAMS_H
#define LUMO_TOOLS_CLI_PARAMS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CliOutput.h"

namespace lumo_cli {

struct ParamsOptions {
  uint32_t com = 0;
  uint32_t channel = 0;
  OutputFormat format = OutputFormat::kTable;
  std::string save;  // --save FILE
  std::string load;  // --load FILE
  std::string diff;  // --diff FILE
  bool dry_run = false;
};

int RunParams(const ParamsOptions& o);

// Program codes of the given channels, read through the linked library
// (scan's second pass); a channel whose request fails is left out.
std::map<uint32_t, std::string> ReadProgramCodes(uint32_t com, const std::vector<uint32_t>& channels);

}  // namespace lumo_cli

#endif
