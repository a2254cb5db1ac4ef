// The driver object's item in the host's "&Настройка" menu (slot 15) and the
// release of a driver object, which must take its item and dialog with it.
//
// The hook keeps its own registry of the driver objects that have an item
// (with the item's window, command and open dialog); the driver object knows
// nothing of it. So a driver object that has a menu item must be freed
// through the release slot (ReleaseDriver), which takes it out of the
// registry; deleting it directly would leave the registry pointing at it.
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

// The release slot: closes the driver object's dialog if one is open, removes
// its menu item, then frees the object (on the dialog's own thread, once the
// dialog has ended).
void ReleaseDriver(TSilo* driver);

// Removes the driver object's menu item, if it has one, from the menu and the
// registry and stops its subclass from reaching it. The release path calls it
// just before the object is freed.
void RemoveMenuItem(TSilo& driver);

}  // namespace lumo::driver

#endif
