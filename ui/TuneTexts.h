// Texts of the tuning dialog and its menu item (shown through the wide API).
#ifndef LUMO_UI_TUNETEXTS_H
#define LUMO_UI_TUNETEXTS_H

namespace lumo::ui::text {

inline constexpr wchar_t kFormCaption[] = L"Параметры уровнемера ЛУМО";
inline constexpr wchar_t kPageDriver[] = L"Настройки драйвера";
inline constexpr wchar_t kPageParams[] = L"Настроечные параметры";
inline constexpr wchar_t kConnectedTo[] = L"Лумо подключена к:";
// The connection list, whose item index is the connection type: the three
// communication units, then "Порт COM1" to "Порт COM32" (USB adapters often
// get numbers above 8).
inline constexpr const wchar_t* kUnitConnections[3] = {L"Блок связи №1", L"Блок связи №2",
                                                       L"Блок связи №3"};
inline constexpr wchar_t kComPortItem[] = L"Порт COM";  // followed by the number
inline constexpr int kListedComPorts = 32;
inline constexpr wchar_t kSave[] = L"Сохранить";
inline constexpr wchar_t kAddress[] = L"Адрес :";
inline constexpr wchar_t kProgramCode[] = L"Код программы:";
inline constexpr wchar_t kHeightHeader[] = L"Высота, мм";
inline constexpr wchar_t kIdentHeader[] = L"Идентификатор";
inline constexpr wchar_t kWrite[] = L"Записать в Лумо";
inline constexpr wchar_t kRead[] = L"Считать из Лумо";
inline constexpr wchar_t kCancel[] = L"Отмена";
inline constexpr wchar_t kPleaseWait[] = L"Подождите, пожалуйста...";
inline constexpr wchar_t kDeviceAbsent[] = L"Устройство отсутствует";
inline constexpr wchar_t kChooseChannel[] = L"Выберите номер канала!";
inline constexpr wchar_t kBadIdent[] = L"Введен некорректный идентификатор";
inline constexpr wchar_t kBadHeight[] = L"Введена некорректная высота (допустимо от 0 до 65535)";
inline constexpr wchar_t kInfoCaption[] = L"Информация";
inline constexpr wchar_t kWarningCaption[] = L"Внимание";

// Fields the gauge did not give: the reasons, the field names, the boxes.
inline constexpr wchar_t kNoReply[] = L"нет ответа";
inline constexpr wchar_t kBadReply[] = L"ошибка ответа";
inline constexpr wchar_t kOutOfRange[] = L"вне диапазона";
inline constexpr wchar_t kNotSent[] = L"не отправлено";
inline constexpr wchar_t kNotReadYet[] = L"не считано";
inline constexpr wchar_t kHeightField[] = L"высота";
inline constexpr wchar_t kIdentField[] = L"идентификатор";
inline constexpr wchar_t kMoreMarked[] = L" (и ещё ";  // followed by a count and ")"
inline constexpr wchar_t kWriteRefused[] =
    L"Ничего не записано: эти значения не получены от Лумо и не введены вручную:";
inline constexpr wchar_t kOfferReread[] =
    L"Считать канал заново? Введённые значения будут заменены.\n"
    L"«Нет» — ввести значения в отмеченные поля и записать снова.";
inline constexpr wchar_t kNotLanded[] = L"Не записано в Лумо (уровнемер не подтвердил запись):";
inline constexpr wchar_t kNotLandedHint[] =
    L"Что хранит уровнемер для этих полей, покажет повторное считывание.";
inline constexpr wchar_t kUnknownError[] = L"Неизвестная ошибка";

// A save that could not write cnf.ini: kConfigNotWritten, the file's path,
// kWindowsError, the code and "):"; then the reason (kConfigAccessDenied for
// access denied, else the system's text), kConnectionUnchanged, and for access
// denied kConfigAccessHint, each on a line of its own.
inline constexpr wchar_t kConfigNotWritten[] = L"Не удалось записать тип подключения в файл ";
inline constexpr wchar_t kWindowsError[] = L" (ошибка Windows ";
inline constexpr wchar_t kConfigAccessDenied[] = L"Нет прав на запись в этот файл.";
inline constexpr wchar_t kNoSystemText[] = L"Описание ошибки недоступно.";
inline constexpr wchar_t kConnectionUnchanged[] = L"Подключение не изменено.";
inline constexpr wchar_t kConfigAccessHint[] =
    L"Запустите программу от имени администратора или дайте пользователям право "
    L"на изменение этого файла (это может сделать программа установки). Если у файла "
    L"установлен атрибут «Только чтение», снимите его.";

// The menu item: caption prefix (its final space included) and hint.
inline constexpr wchar_t kMenuParent[] = L"&Настройка";
inline constexpr wchar_t kMenuItemPrefix[] = L"Настройка уровнемера Лумо ";
inline constexpr wchar_t kMenuHint[] = L"Настройка Лумо";

}  // namespace lumo::ui::text

#endif
