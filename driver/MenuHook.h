// The driver object's item in the host's "&Настройка" menu (slot 15) and the
// release of a driver object, which must take its item and dialog with it.
#ifndef LUMO_DRIVER_MENUHOOK_H
#define LUMO_DRIVER_MENUHOOK_H

#include <windows.h>

#include <cstdint>
#include <string>

class TSilo;

namespace lumo::driver {

// Slot 15: on the first call only, appends the item to the first top-level
// menu of root captioned exactly "&Настройка" and subclasses the calling
// thread's window whose menu bar root is, to receive the item's click.
void AddMenuItems(TSilo& driver, HMENU root);

// "Настройка уровнемера Лумо (БС №n)" for types 0 to 2, "(COM №n)" above.
std::wstring MenuItemCaption(uint8_t connection_type);

// The release slot: closes the driver object's dialog if one is open, then
// frees the object (on the dialog's own thread, once the dialog has ended).
void ReleaseDriver(TSilo* driver);

// Called by the driver object's destructor: removes its menu item and stops
// its subclass from reaching it.
void RemoveMenuItem(TSilo& driver);

}  // namespace lumo::driver

#endif
