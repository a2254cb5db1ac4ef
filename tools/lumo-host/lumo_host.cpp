// The reference host: loads Lumo.dll the way a supervision host does, creates
// one driver per gauge named on the command line, lets each driver add its
// tuning item to the "Настройка" menu (slot 15) and polls every gauge on a
// thread of its own, showing the results in a list.
//
//   lumo-host [--poll-ms N] [--screenshot-after-ms N [--screenshot-file F]] GAUGE...
//   GAUGE: com:N | unit:N | ini                                  (default com:5)
//
// A gauge whose driver cannot be created (say its COM port does not open) is
// shown as a row with the factory's error; exit status 1 only when no gauge
// could be created at all.
//
// A GUI program; it prints its errors to stderr (the console it was started
// from, or whatever its standard error is redirected to).
#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostSide.h"
#include "HostWindow.h"
#include "lumo.h"

namespace {

using lumo_tools::Export;
using lumo_tools::Utf8From1251;
using lumo_tools::WideFrom;

// A GUI program started from a console on Windows has no standard handles;
// borrow the parent's console then. Under Wine, and whenever the output is
// redirected, the handles are already there.
void AttachParentConsole() {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::freopen("CONOUT$", "w", stdout);
  std::freopen("CONOUT$", "w", stderr);
}

struct GaugeArg {
  enum Kind { kCom, kUnit, kIni } kind;
  uint32_t number;
  std::string text;
};

// "com:N" (COM1..COM255), "unit:N" (communication unit 1..3) or "ini".
bool ParseGauge(const std::string& text, GaugeArg* arg) {
  arg->text = text;
  if (text == "ini") {
    arg->kind = GaugeArg::kIni;
    arg->number = 0;
    return true;
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long n = std::strtoul(digits.c_str(), nullptr, 10);
  if (kind == "com" && n >= 1 && n <= 255) {
    arg->kind = GaugeArg::kCom;
  } else if (kind == "unit" && n >= 1 && n <= 3) {
    arg->kind = GaugeArg::kUnit;
  } else {
    return false;
  }
  arg->number = static_cast<uint32_t>(n);
  return true;
}

std::wstring Label(const GaugeArg& arg) {
  switch (arg.kind) {
    case GaugeArg::kCom: return L"COM" + std::to_wstring(arg.number);
    case GaugeArg::kUnit: return L"unit " + std::to_wstring(arg.number);
    case GaugeArg::kIni: break;
  }
  return L"cnf.ini";
}

}  // namespace

int main(int argc, char** argv) {
  AttachParentConsole();

  CLI::App app{"Reference host of Lumo.dll: polls gauges and shows them in a window.\n"
               "A gauge whose driver cannot be created (its COM port does not open) becomes a row\n"
               "showing the factory's error, and the host runs on with the others. Exit status:\n"
               "2 for a bad gauge argument, 1 when no gauge could be created (or Lumo.dll not\n"
               "loaded), else the window's."};
  unsigned poll_ms = 1000;
  unsigned screenshot_after_ms = 0;
  std::string screenshot_file = "lumo-host.bmp";
  std::vector<std::string> gauge_args;
  app.add_option("--poll-ms", poll_ms, "pause between poll rounds of a gauge, ms (0: continuously)")
      ->capture_default_str();
  auto* after = app.add_option("--screenshot-after-ms", screenshot_after_ms,
                               "after N ms (and a poll round of every gauge) save a screenshot "
                               "of the window and exit");
  app.add_option("--screenshot-file", screenshot_file, "BMP file for --screenshot-after-ms")
      ->capture_default_str()
      ->needs(after);
  app.add_option("gauges", gauge_args, "com:N (COM port), unit:N (communication unit, none here) or ini "
                                       "(cnf.ini); default com:5");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "lumo-host: %s (lumo-host --help)\n", e.what());
    return 2;
  }
  if (gauge_args.empty()) gauge_args.push_back("com:5");

  std::vector<GaugeArg> parsed;
  for (const std::string& text : gauge_args) {
    GaugeArg arg;
    if (!ParseGauge(text, &arg)) {
      std::fprintf(stderr, "lumo-host: bad gauge '%s' (com:1..255, unit:1..3 or ini)\n", text.c_str());
      return 2;
    }
    parsed.push_back(arg);
  }

  HMODULE dll = LoadLibraryA("Lumo.dll");
  if (!dll) {
    std::fprintf(stderr, "lumo-host: cannot load Lumo.dll (error %lu)\n", GetLastError());
    return 1;
  }
  auto get_silo_ex3 = Export<lumo::GetSiloEx3Fn>(dll, lumo::kGetSiloEx3Name);
  auto get_silo_ex = Export<lumo::GetSiloExFn>(dll, lumo::kGetSiloExName);
  if (!get_silo_ex3 || !get_silo_ex) {
    std::fprintf(stderr, "lumo-host: Lumo.dll lacks %s or %s\n", lumo::kGetSiloEx3Name, lumo::kGetSiloExName);
    return 1;
  }

  // A gauge whose factory fails becomes a row with the factory's error; the
  // host runs on with the others, and gives up only when none was created.
  std::vector<lumo_host::Gauge> gauges;
  bool any_created = false;
  for (const GaugeArg& arg : parsed) {
    lumo::Driver* driver = nullptr;
    std::string error;
    try {
      switch (arg.kind) {
        case GaugeArg::kCom: driver = get_silo_ex3(nullptr, arg.number, 0); break;
        case GaugeArg::kUnit: driver = get_silo_ex3(nullptr, arg.number, 1); break;
        case GaugeArg::kIni: driver = get_silo_ex(nullptr, 0); break;
      }
    } catch (const std::exception& e) {
      error = e.what();
    } catch (...) {
      error = "unknown exception";
    }
    if (!driver) {
      if (error.empty()) error = "no driver";
      std::fprintf(stderr, "lumo-host: %s: %s\n", arg.text.c_str(), Utf8From1251(error).c_str());
      gauges.push_back({nullptr, Label(arg), WideFrom(1251, error)});
      continue;
    }
    any_created = true;
    gauges.push_back({driver, Label(arg)});
  }
  if (!any_created) return 1;

  lumo_host::HostOptions options;
  options.poll_interval_ms = poll_ms;
  int status = 0;
  {
    lumo_host::HostWindow window(std::move(gauges), options);
    if (!window.Create()) {
      std::fprintf(stderr, "lumo-host: cannot create the main window (error %lu)\n", GetLastError());
      return 1;
    }
    bool shot_failed = false;
    if (*after) {
      window.CloseAfter(screenshot_after_ms, [&window, &screenshot_file, &shot_failed] {
        if (window.SaveScreenshot(WideFrom(CP_ACP, screenshot_file))) {
          std::printf("lumo-host: screenshot %s\n", screenshot_file.c_str());
          std::fflush(stdout);
        } else {
          std::fprintf(stderr, "lumo-host: cannot write %s (error %lu)\n", screenshot_file.c_str(),
                       GetLastError());
          shot_failed = true;
        }
      });
    }
    status = window.RunMessageLoop();
    if (shot_failed) status = 1;
  }
  // The drivers are released; their menu items and subclasses are gone.
  FreeLibrary(dll);
  return status;
}
