// The unpacked release package (tests/package/check_package.sh unpacks it and
// names the folders): Lumo.dll's version resource, and the package's programs
// run from their own folder against the simulated gauge, so that a run-time
// DLL missing from the package fails here.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "SimGauge.h"

using lumo_test::ProgramRun;

namespace {

std::wstring Folder(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? lumo_test::WideFromUtf8(value) : std::wstring();
}

std::string Version() {
  const char* value = std::getenv("LUMO_PACKAGE_VERSION");
  return value ? value : "";
}

class VersionInfo {
 public:
  explicit VersionInfo(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    data_.resize(size);
    ok_ = size != 0 && GetFileVersionInfoW(path.c_str(), 0, size, data_.data());
  }
  bool ok() const { return ok_; }
  const VS_FIXEDFILEINFO* Fixed() {
    void* p = nullptr;
    UINT n = 0;
    return ok_ && VerQueryValueW(data_.data(), L"\\", &p, &n) ? static_cast<VS_FIXEDFILEINFO*>(p) : nullptr;
  }
  std::wstring String(const wchar_t* table, const wchar_t* name) {
    void* p = nullptr;
    UINT n = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + name;
    if (!ok_ || !VerQueryValueW(data_.data(), key.c_str(), &p, &n) || n == 0) return L"<none>";
    return std::wstring(static_cast<const wchar_t*>(p));
  }
  std::vector<DWORD> Translations() {
    void* p = nullptr;
    UINT n = 0;
    std::vector<DWORD> out;
    if (!ok_ || !VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &p, &n)) return out;
    const WORD* words = static_cast<const WORD*>(p);
    for (UINT i = 0; i + 1 < n / sizeof(WORD); i += 2) out.push_back(MAKELONG(words[i + 1], words[i]));
    return out;
  }

 private:
  std::vector<char> data_;
  bool ok_ = false;
};

ProgramRun RunFrom(const std::wstring& dir, const std::wstring& program, const std::wstring& args) {
  return lumo_test::RunProgram(dir + L"\\" + program, args, dir, 60000);
}

}  // namespace

TEST(Package, LumoDllVersionResource) {
  const std::string version = Version();
  ASSERT_FALSE(version.empty());
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch), 3) << version;
  const std::wstring wversion = lumo_test::WideFromUtf8(version);

  // The shipped 32-bit DLL, and the one this machine runs when that differs.
  for (const char* variable : {"LUMO_PACKAGE_DIR", "LUMO_RUN_PACKAGE_DIR"}) {
    SCOPED_TRACE(variable);
    VersionInfo info(Folder(variable) + L"\\Lumo.dll");
    ASSERT_TRUE(info.ok());
    const VS_FIXEDFILEINFO* fixed = info.Fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(minor, major));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, patch));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(info.Translations(), (std::vector<DWORD>{MAKELONG(1251, 0x0419), MAKELONG(1252, 0x0409)}));

    struct Table {
      const wchar_t* id;
      const wchar_t* description;
    } const tables[] = {{L"041904E3", L"Драйвер уровнемера Лумо"}, {L"040904E4", L"Lumo tank level gauge driver"}};
    for (const Table& t : tables) {
      EXPECT_EQ(info.String(t.id, L"FileDescription"), t.description);
      EXPECT_EQ(info.String(t.id, L"FileVersion"), wversion);
      EXPECT_EQ(info.String(t.id, L"ProductVersion"), wversion);
      EXPECT_EQ(info.String(t.id, L"OriginalFilename"), L"Lumo.dll");
      EXPECT_EQ(info.String(t.id, L"CompanyName"), L"Lumo");
      EXPECT_EQ(info.String(t.id, L"ProductName"), L"Lumo");
    }
  }
}

TEST(Package, ProgramsRunFromTheUnpackedFolder) {
  SimGauge sim;
  const std::wstring dir = Folder("LUMO_RUN_PACKAGE_DIR");
  ASSERT_FALSE(dir.empty());
  const std::string com = std::to_string(SimGauge::Com());

  const ProgramRun version = RunFrom(dir, L"lumo-cli.exe", L"--version");
  EXPECT_EQ(version.status, 0u) << version.err;
  EXPECT_EQ(version.out, "lumo-cli " + Version() + "\r\n");  // a console program's text mode

  sim.Ok("set state=5");
  const ProgramRun info = RunFrom(dir, L"lumo-cli.exe", lumo_test::WideFromUtf8("info --com " + com));
  EXPECT_EQ(info.status, 0u) << info.err;
  EXPECT_NE(info.out.find("v3.00#Протокол к уровнемеру ЛУМО"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("'5' (53)"), std::string::npos) << info.out;
  // The library it loaded is the package's, and shows the package's version.
  std::string folder;
  for (wchar_t c : dir) folder += static_cast<char>(c);
  EXPECT_NE(info.out.find(folder + "\\Lumo.dll " + Version()), std::string::npos) << info.out;

  const ProgramRun demo = RunFrom(dir, L"lumo-demo.exe", lumo_test::WideFromUtf8(com + " 0"));
  EXPECT_EQ(demo.status, 0u) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("driver released"), std::string::npos) << demo.out;
  // Arguments it does not understand are refused, not read as a port number.
  for (const char* args : {"--com 3", "300", "5 x"}) {
    const ProgramRun bad = RunFrom(dir, L"lumo-demo.exe", lumo_test::WideFromUtf8(args));
    EXPECT_EQ(bad.status, 2u) << args;
    EXPECT_EQ(bad.out, "") << args;
  }
}

TEST(Package, AMissingRunTimeDllStopsTheProgram) {
  const std::wstring broken = Folder("LUMO_BROKEN_PACKAGE_DIR");
  ASSERT_FALSE(broken.empty());
  const ProgramRun run = RunFrom(broken, L"lumo-cli.exe", L"--version");
  EXPECT_NE(run.status, 0u);
  EXPECT_EQ(run.out, "");
}
