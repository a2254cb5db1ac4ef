// The Win32 calls through which the serial port meets a device that can fail,
// in one table holding Windows' own functions. Tests install wrappers (before
// any port opens) that make a call fail with a chosen code, complete short or
// complete as aborted, and pass everything else on to Windows.
#ifndef LUMO_SERIAL_SERIALAPI_H
#define LUMO_SERIAL_SERIALAPI_H

#include <windows.h>

namespace lumo::serial {

struct SerialApi {
  decltype(&::CreateFileA) CreateFileA = &::CreateFileA;
  decltype(&::SetupComm) SetupComm = &::SetupComm;
  decltype(&::SetCommState) SetCommState = &::SetCommState;
  decltype(&::WaitCommEvent) WaitCommEvent = &::WaitCommEvent;
  decltype(&::GetOverlappedResult) GetOverlappedResult = &::GetOverlappedResult;
  decltype(&::ClearCommError) ClearCommError = &::ClearCommError;
  decltype(&::ReadFile) ReadFile = &::ReadFile;
  decltype(&::WriteFile) WriteFile = &::WriteFile;
  decltype(&::SetCommMask) SetCommMask = &::SetCommMask;
};

// The table every port uses.
SerialApi& Api();

}  // namespace lumo::serial

#endif
