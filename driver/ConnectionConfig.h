// The driver's entry in the host's cnf.ini: section "Lumo", keys
// "ConnectionType" and "FastReply", and the run-time switch of a driver
// object's connection type.
#ifndef LUMO_DRIVER_CONNECTIONCONFIG_H
#define LUMO_DRIVER_CONNECTIONCONFIG_H

#include <cstdint>
#include <string>

class TSilo;
class TKorvoComPort;

// The Windows directory followed by "\cnf.INI".
std::string ConfigFilePath();
// The stored connection type, low 8 bits, no range test; 0 when the file, the
// section or the key is missing or the value is not a number.
uint8_t ReadConnectionType();
// True when the stored FastReply is exactly 1: gauge ports then judge a reply
// as soon as a whole valid frame is in. Absent, 0 or anything else: off.
bool ReadFastReply();

// A new gauge port on COM(connection_type - 2), in the reply mode that
// cnf.ini asks for at this moment; raises the port's exceptions.
TKorvoComPort* OpenGaugePort(uint8_t connection_type);

// Writes new_type into an existing cnf.ini (never creates it), then switches
// the driver object. A failed write throws lumo::Exception and switches nothing.
void SaveConnectionType(TSilo& driver, int32_t new_type);

// Switches the driver object to new_type at once, under the driver lock:
// releases the old gauge port first, then sets up the unit line (types 0-2)
// or opens the new port (3 and above). Never throws: failures are answered
// with an error message box shown after the lock is released.
void SetConnectionType(TSilo& driver, int32_t new_type);

#endif
