// Replaces one Win32 import of the test program for a scope. Programs that
// link the library's internals call Windows through their own import table,
// so a patch there reaches the library's calls too.
#ifndef LUMO_TESTS_IMPORTPATCH_H
#define LUMO_TESTS_IMPORTPATCH_H

#include <windows.h>

namespace lumo_test {

class ImportPatch {
 public:
  // name: the imported function; replacement: a function of the same type.
  ImportPatch(const char* name, const void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // False when the program does not import name (nothing was patched).
  bool Patched() const { return original_ != 0; }
  // The function the import led to before the patch.
  template <typename Fn>
  Fn Original() const {
    return reinterpret_cast<Fn>(original_);
  }

 private:
  const char* name_;
  ULONG_PTR original_;
};

}  // namespace lumo_test

#endif
