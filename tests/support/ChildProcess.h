// Runs a program the way a user does from a console, with its standard output
// and standard error captured, for tests of the command-line programs.
#ifndef LUMO_TESTS_CHILDPROCESS_H
#define LUMO_TESTS_CHILDPROCESS_H

#include <windows.h>

#include <functional>
#include <string>

namespace lumo_test {

struct ProgramRun {
  DWORD status = ~0u;  // exit status; 99 when it had to be ended after the time-out
  std::string out, err;
  double seconds = 0;  // wall time from start to exit
};

// The folder of the running test program (no trailing backslash).
std::wstring ProgramDir();
// A per-process file name in the temporary folder.
std::wstring TempPath(const wchar_t* name);
std::string ReadFileBytes(const std::wstring& path);
std::wstring WideFromUtf8(const std::string& text);

// Runs "exe" args with dir as current folder. while_running, when given, is
// called with the started process before the wait.
ProgramRun RunProgram(const std::wstring& exe, const std::wstring& args, const std::wstring& dir,
                      DWORD timeout_ms = 60000, DWORD creation_flags = 0,
                      const std::function<void(const PROCESS_INFORMATION&)>& while_running = {});

}  // namespace lumo_test

#endif
