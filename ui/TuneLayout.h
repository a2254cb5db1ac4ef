// The tuning dialog's look: the table of its sensor rows, its window classes
// and its colours. TuneLayout.cpp builds the form and every control at its
// place from these; TuneParams.cpp holds what the dialog does.
#ifndef LUMO_UI_TUNELAYOUT_H
#define LUMO_UI_TUNELAYOUT_H

#include <windows.h>

namespace lumo::ui {

constexpr int kSensorRows = 11;

// One sensor row as laid out on the parameters page (pixels at 96 dpi).
struct SensorRowLayout {
  const wchar_t* caption;
  int caption_left, caption_top;
  const char* level_name;
  int level_top;
  const char* ident_name;
  int ident_top;
};
extern const SensorRowLayout kSensorRowLayout[kSensorRows];

// The window classes of the form and of its two pages.
inline constexpr wchar_t kFormClass[] = L"LumoTfmTuneParams";
inline constexpr wchar_t kPageClass[] = L"LumoTuneParamsPage";

inline constexpr COLORREF kVersionColor = RGB(0, 128, 128);     // teal
inline constexpr COLORREF kStatusColor = RGB(0, 0, 255);        // blue
inline constexpr COLORREF kMarkColor = RGB(255, 214, 153);      // background of a marked field
inline constexpr COLORREF kUnknownCodeColor = RGB(192, 0, 0);  // the reason in place of the code

}  // namespace lumo::ui

#endif
