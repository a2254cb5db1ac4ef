#include "ImportPatch.h"

#include <cstring>

namespace lumo_test {
namespace {

// Swaps the import's address; returns the previous one (0 when not found).
ULONG_PTR Swap(const char* name, ULONG_PTR address) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* nt =
      reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name;
       ++imp) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      const ULONG_PTR previous = slots->u1.Function;
      slots->u1.Function = address;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return previous;
    }
  }
  return 0;
}

}  // namespace

ImportPatch::ImportPatch(const char* name, const void* replacement)
    : name_(name), original_(Swap(name, reinterpret_cast<ULONG_PTR>(replacement))) {}

ImportPatch::~ImportPatch() {
  if (original_) Swap(name_, original_);
}

}  // namespace lumo_test
