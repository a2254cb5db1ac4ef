// Changing a running driver object's connection type: the save the tuning
// dialog asks for (cnf.ini first, then the switch) and the switch itself.
#ifndef LUMO_DRIVER_CONNECTIONSWITCH_H
#define LUMO_DRIVER_CONNECTIONSWITCH_H

#include <windows.h>

#include <cstdint>

class TSilo;

// Writes new_type into an existing cnf.ini (never creates it), then switches
// the driver object. A failed write throws ConfigWriteError (ConnectionConfig.h)
// and switches nothing.
// owner: the window the switch's boxes belong to (null: the active window).
void SaveConnectionType(TSilo& driver, int32_t new_type, HWND owner = nullptr);

// Switches the driver object to new_type at once, under the driver lock:
// releases the old gauge port first, then sets up the unit line (types 0-2)
// or opens the new port (3 and above). Never throws: failures are answered
// with an error message box, owned by owner, shown after the lock is released.
void SetConnectionType(TSilo& driver, int32_t new_type, HWND owner = nullptr);

#endif
