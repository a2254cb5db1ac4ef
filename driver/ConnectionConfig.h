// The driver's entry in the host's cnf.ini: section "Lumo", key "ConnectionType".
#ifndef LUMO_DRIVER_CONNECTIONCONFIG_H
#define LUMO_DRIVER_CONNECTIONCONFIG_H

#include <cstdint>
#include <string>

// The Windows directory followed by "\cnf.INI".
std::string ConfigFilePath();
// The stored connection type, low 8 bits, no range test; 0 when the file, the
// section or the key is missing or the value is not a number.
uint8_t ReadConnectionType();

#endif
