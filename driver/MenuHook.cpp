#include "driver/MenuHook.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "driver/Silo.h"
#include "driver/SiloTuneTarget.h"
#include "ui/MessageBoxSeam.h"
#include "ui/TuneParams.h"
#include "ui/TuneTexts.h"

// What ties one driver object to its menu item, its host window and its open
// dialog. It lives until both the driver object has been released and the
// subclass has been removed from the window, whichever comes last; while the
// driver object lives it is in the registry (Links), found by its driver.
struct MenuLink {
  TSilo* driver;      // null once the driver object is released
  HWND window;        // the subclassed window; null once it is destroyed
  DWORD thread;       // the window's thread
  HMENU parent;       // the "&Настройка" menu
  UINT command;       // the item's command identifier
  HWND dialog = nullptr;     // the open dialog's form
  bool dialog_open = false;  // from the click until the dialog has ended
  // Set when the release begins; from then on a click opens nothing.
  // kFreeAfterDialog: released on the dialog's own thread, the click handler
  // frees the object; kFreedByReleaser: the releasing thread frees it.
  enum { kKeep, kFreeAfterDialog, kFreedByReleaser } release = kKeep;
  HANDLE dialog_closed = nullptr;  // manual reset; set while no dialog is open
};

namespace lumo::driver {
namespace {

// Guards every MenuLink and the list of command identifiers in use.
class LinkLock {
 public:
  LinkLock() { EnterCriticalSection(Section()); }
  ~LinkLock() { LeaveCriticalSection(Section()); }
  LinkLock(const LinkLock&) = delete;
  LinkLock& operator=(const LinkLock&) = delete;

 private:
  static CRITICAL_SECTION* Section() {
    static CRITICAL_SECTION* section = [] {
      static CRITICAL_SECTION storage;
      InitializeCriticalSection(&storage);
      return &storage;
    }();
    return section;
  }
};

// The registry: the links of the driver objects that have an item.
std::vector<MenuLink*>& Links() {
  static std::vector<MenuLink*> links;
  return links;
}

// The registered link of a driver object; null when it has no item. Called
// under the lock.
MenuLink* FindLink(const TSilo* driver) {
  for (MenuLink* link : Links())
    if (link->driver == driver) return link;
  return nullptr;
}

UINT RemoveMessage() {
  static const UINT message = RegisterWindowMessageW(L"Lumo.MenuLink.Remove");
  return message;
}

// The lowest identifier of the reserved range not used by a live item; 0
// when all are taken. Called under the lock.
UINT AllocateCommand() {
  for (UINT id = lumo::kMenuCommandFirst; id <= lumo::kMenuCommandLast; ++id) {
    const auto& links = Links();
    if (std::none_of(links.begin(), links.end(), [id](MenuLink* l) { return l->command == id; }))
      return id;
  }
  return 0;
}

void DeleteLink(MenuLink* link) {
  if (link->dialog_closed) CloseHandle(link->dialog_closed);
  delete link;
}

LRESULT CALLBACK MenuSubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                  DWORD_PTR ref) {
  auto* link = reinterpret_cast<MenuLink*>(ref);
  // Nothing below touches link after a call that may free it (the click
  // handler, DefSubclassProc): the host may release the driver meanwhile.
  std::shared_ptr<lumo::Trace> trace;
  try {
    if (msg == WM_COMMAND && HIWORD(wp) == 0 && lp == 0 && LOWORD(wp) == link->command) {
      TSilo* driver = nullptr;
      {
        LinkLock lock;
        if (link->driver && !link->dialog_open && link->release == MenuLink::kKeep) {
          driver = link->driver;
          trace = driver->TraceLog();
          link->dialog_open = true;
          ResetEvent(link->dialog_closed);
        }
      }
      if (driver) driver->TuneMenuClick(nullptr);
      return 0;
    }
    if (msg == RemoveMessage() && reinterpret_cast<MenuLink*>(lp) == link) {
      RemoveWindowSubclass(hwnd, &MenuSubclassProc, id);
      DeleteLink(link);
      return 0;
    }
    if (msg == WM_NCDESTROY) {
      RemoveWindowSubclass(hwnd, &MenuSubclassProc, id);
      bool orphan;
      {
        LinkLock lock;
        link->window = nullptr;
        orphan = link->driver == nullptr;
      }
      if (orphan) DeleteLink(link);
    }
  } catch (...) {
    lumo::TraceCaught(trace, "menu");
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

struct WindowSearch {
  HMENU menu;
  HWND found;
};

BOOL CALLBACK MatchMenuOwner(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  if (GetMenu(hwnd) != search->menu) return TRUE;
  search->found = hwnd;
  return FALSE;
}

// The first top-level item of root captioned exactly "&Настройка"; null when
// there is none or it has no sub-menu.
HMENU FindSettingsMenu(HMENU root) {
  const int count = GetMenuItemCount(root);
  for (int i = 0; i < count; ++i) {
    wchar_t caption[64] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STRING | MIIM_SUBMENU;
    info.dwTypeData = caption;
    info.cch = 63;
    if (!GetMenuItemInfoW(root, static_cast<UINT>(i), TRUE, &info)) continue;
    if (lstrcmpW(caption, lumo::ui::text::kMenuParent) == 0) return info.hSubMenu;
  }
  return nullptr;
}

// Builds one item in parent, appended when index is negative. Win32 menu
// items have no hint, help context or shortcut of their own: a shortcut of 0
// and help context 0 need nothing, and the hint is not shown.
bool CreateMenuItem(const std::wstring& caption, const wchar_t* /*hint*/, int /*help_context*/,
                    uint16_t /*shortcut*/, MenuLink* click, HMENU parent, int index) {
  MENUITEMINFOW item = {};
  item.cbSize = sizeof item;
  item.fMask = MIIM_ID | MIIM_STRING | MIIM_DATA | MIIM_FTYPE;
  item.fType = MFT_STRING;
  item.wID = click->command;
  item.dwItemData = reinterpret_cast<ULONG_PTR>(click);
  item.dwTypeData = const_cast<wchar_t*>(caption.c_str());
  const UINT position = index < 0 ? static_cast<UINT>(GetMenuItemCount(parent)) : static_cast<UINT>(index);
  return InsertMenuItemW(parent, position, TRUE, &item) != FALSE;
}

}  // namespace

std::wstring MenuItemCaption(uint8_t connection_type) {
  std::wstring caption = lumo::ui::text::kMenuItemPrefix;
  if (connection_type <= 2)
    caption += L"(БС №" + std::to_wstring(connection_type + 1) + L")";
  else
    caption += L"(COM №" + std::to_wstring(connection_type - 2) + L")";
  return caption;
}

void AddMenuItems(TSilo& driver, HMENU root) {
  if (!driver.TakeMenuPending()) return;
  if (!root || !IsMenu(root)) return;
  HMENU settings = FindSettingsMenu(root);
  if (!settings) return;
  // The click reaches the window whose menu bar this is; without one on this
  // thread an item could never be answered, so none is added.
  WindowSearch search = {root, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &MatchMenuOwner, reinterpret_cast<LPARAM>(&search));
  if (!search.found) return;

  LinkLock lock;
  const UINT command = AllocateCommand();
  if (!command) return;
  auto* link = new MenuLink{&driver, search.found, GetCurrentThreadId(), settings, command};
  link->dialog_closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (!link->dialog_closed ||
      !SetWindowSubclass(search.found, &MenuSubclassProc, reinterpret_cast<UINT_PTR>(link),
                         reinterpret_cast<DWORD_PTR>(link))) {
    DeleteLink(link);
    return;
  }
  if (!CreateMenuItem(MenuItemCaption(driver.ConnectionType()), lumo::ui::text::kMenuHint, 0, 0,
                      link, settings, -1)) {
    RemoveWindowSubclass(search.found, &MenuSubclassProc, reinterpret_cast<UINT_PTR>(link));
    DeleteLink(link);
    return;
  }
  Links().push_back(link);
}

void RemoveMenuItem(TSilo& driver) {
  LinkLock lock;
  MenuLink* link = FindLink(&driver);
  if (!link) return;
  link->driver = nullptr;
  auto& links = Links();
  links.erase(std::remove(links.begin(), links.end(), link), links.end());
  DeleteMenu(link->parent, link->command, MF_BYCOMMAND);
  if (!link->window) {
    DeleteLink(link);  // the window, and so the subclass, is gone already
  } else if (GetCurrentThreadId() == link->thread) {
    RemoveWindowSubclass(link->window, &MenuSubclassProc, reinterpret_cast<UINT_PTR>(link));
    DeleteLink(link);
  } else {
    // A subclass can only be removed on its window's thread.
    PostMessageW(link->window, RemoveMessage(), 0, reinterpret_cast<LPARAM>(link));
  }
}

void ReleaseDriver(TSilo* driver) {
  // The link stays registered (and so alive) until RemoveMenuItem below.
  HANDLE dialog_closed = nullptr;
  {
    LinkLock lock;
    if (MenuLink* link = FindLink(driver)) {
      // Released from within the dialog's own message loop: the click
      // handler frees the object once the dialog has ended.
      const bool from_dialog = link->dialog_open && GetCurrentThreadId() == link->thread;
      link->release = from_dialog ? MenuLink::kFreeAfterDialog : MenuLink::kFreedByReleaser;
      if (link->dialog_open && link->dialog) PostMessageW(link->dialog, WM_CLOSE, 0, 0);
      if (from_dialog) return;
      if (link->dialog_open) dialog_closed = link->dialog_closed;
    }
  }
  if (dialog_closed) WaitForSingleObject(dialog_closed, INFINITE);
  // First, so that no click reaches the object while it goes.
  RemoveMenuItem(*driver);
  delete driver;
}

}  // namespace lumo::driver

void TSilo::TuneMenuClick(void* /*sender*/) {
  MenuLink* link;
  {
    lumo::driver::LinkLock lock;
    link = lumo::driver::FindLink(this);
  }
  if (!link) return;
  // The dialog reaches this driver object through the adapter only; it
  // outlives the form and so every worker of the form.
  lumo::driver::SiloTuneTarget target(*this);
  try {
    lumo::ui::TfmTuneParams form(link->window);
    form.Driver = &target;
    {
      lumo::driver::LinkLock lock;
      link->dialog = form.Handle();
      if (link->release != MenuLink::kKeep) form.RequestClose();
    }
    form.ShowModal();
    // Before the form's window goes, so that no release posts to its handle.
    lumo::driver::LinkLock lock;
    link->dialog = nullptr;
  } catch (...) {
    lumo::TraceCaught(TraceLog(), "dialog");
    lumo::ui::ShowErrorBox(link->window, lumo::ui::CurrentErrorText().c_str());
  }
  bool free_now;
  {
    lumo::driver::LinkLock lock;
    link->dialog = nullptr;
    link->dialog_open = false;
    free_now = link->release == MenuLink::kFreeAfterDialog;
    SetEvent(link->dialog_closed);
  }
  if (free_now) {
    lumo::driver::RemoveMenuItem(*this);
    delete this;
  }
}
