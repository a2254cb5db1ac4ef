// Texts that cross the binary interface as 8-bit strings: Windows-1251 bytes.
// Each is preceded by its reading in UTF-8.
#ifndef LUMO_PROTOCOL_TEXTS_H
#define LUMO_PROTOCOL_TEXTS_H

namespace lumo::text {

// v3.00#Протокол к уровнемеру ЛУМО (32 characters)
inline constexpr char kDriverName[] =
    "v3.00#\xCF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEA \xF3\xF0\xEE\xE2\xED\xE5\xEC\xE5\xF0\xF3 "
    "\xCB\xD3\xCC\xCE";

// Ошибка запроса конфигурации
inline constexpr char kConfigRequestFailed[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xEF\xF0\xEE\xF1\xE0 "
    "\xEA\xEE\xED\xF4\xE8\xE3\xF3\xF0\xE0\xF6\xE8\xE8";

// Ошибка запроса состояния
inline constexpr char kStateRequestFailed[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xEF\xF0\xEE\xF1\xE0 \xF1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xFF";

// Ошибка запроса уровня
inline constexpr char kLevelRequestFailed[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xEF\xF0\xEE\xF1\xE0 \xF3\xF0\xEE\xE2\xED\xFF";

// Ошибка запроса параметра
inline constexpr char kParameterRequestFailed[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xEF\xF0\xEE\xF1\xE0 \xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xE0";

// Не удается переключить RTS
inline constexpr char kRtsSwitchFailed[] =
    "\xCD\xE5 \xF3\xE4\xE0\xE5\xF2\xF1\xFF \xEF\xE5\xF0\xE5\xEA\xEB\xFE\xF7\xE8\xF2\xFC RTS";

// Невозможно открыть COM%d
inline constexpr char kCannotOpenComFmt[] =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xEE\xF2\xEA\xF0\xFB\xF2\xFC COM%d";

// Ошибка записи cnf.ini (код %lu)
inline constexpr char kConfigWriteFailedFmt[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xEF\xE8\xF1\xE8 cnf.ini (\xEA\xEE\xE4 %lu)";

}  // namespace lumo::text

#endif
