#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace lumo_test {

std::wstring ProgramDir() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring dir(exe);
  dir.erase(dir.find_last_of(L'\\'));
  return dir;
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

ProgramRun RunProgram(const std::wstring& exe, const std::wstring& args, const std::wstring& dir,
                      DWORD timeout_ms, DWORD creation_flags,
                      const std::function<void(const PROCESS_INFORMATION&)>& while_running) {
  static int serial = 0;
  const std::wstring tag = std::to_wstring(++serial);
  const std::wstring out_path = TempPath((L"run" + tag + L".out").c_str());
  const std::wstring err_path = TempPath((L"run" + tag + L".err").c_str());
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + exe + L"\" " + args;
  ProgramRun run;
  const ULONGLONG start = GetTickCount64();
  if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, creation_flags, nullptr, dir.c_str(), &si, &pi)) {
    if (while_running) while_running(pi);
    if (WaitForSingleObject(pi.hProcess, timeout_ms) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "ended after the time-out: " << std::string(cmd.begin(), cmd.end());
      TerminateProcess(pi.hProcess, 99);
      WaitForSingleObject(pi.hProcess, 10000);
    }
    GetExitCodeProcess(pi.hProcess, &run.status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    ADD_FAILURE() << "cannot start the program, error " << GetLastError();
  }
  run.seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
  CloseHandle(out);
  CloseHandle(err);
  run.out = ReadFileBytes(out_path);
  run.err = ReadFileBytes(err_path);
  DeleteFileW(out_path.c_str());
  DeleteFileW(err_path.c_str());
  return run;
}

}  // namespace lumo_test
