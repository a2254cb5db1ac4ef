// The Win32 calls through which the serial port meets a device that can fail,
// in one table holding Windows' own functions. Tests install wrappers (before
// any port opens) that make a call fail with a chosen code, complete short or
// complete as aborted, and pass everything else on to Windows.
//
// The gauge port's timed waits (the reply window, the pause between attempts)
// go through the same table, so that a test can end them early or round them
// to a coarse tick as Windows' own timer does.
#ifndef LUMO_SERIAL_SERIALAPI_H
#define LUMO_SERIAL_SERIALAPI_H

#include <windows.h>

namespace lumo::serial {

struct SerialApi {
  decltype(&::CreateFileA) CreateFileA = &::CreateFileA;
  decltype(&::SetupComm) SetupComm = &::SetupComm;
  decltype(&::GetCommState) GetCommState = &::GetCommState;
  decltype(&::SetCommState) SetCommState = &::SetCommState;
  decltype(&::SetCommTimeouts) SetCommTimeouts = &::SetCommTimeouts;
  decltype(&::WaitCommEvent) WaitCommEvent = &::WaitCommEvent;
  decltype(&::GetOverlappedResult) GetOverlappedResult = &::GetOverlappedResult;
  decltype(&::ClearCommError) ClearCommError = &::ClearCommError;
  decltype(&::PurgeComm) PurgeComm = &::PurgeComm;
  decltype(&::EscapeCommFunction) EscapeCommFunction = &::EscapeCommFunction;
  decltype(&::ReadFile) ReadFile = &::ReadFile;
  decltype(&::WriteFile) WriteFile = &::WriteFile;
  decltype(&::CancelIoEx) CancelIoEx = &::CancelIoEx;
  decltype(&::SetCommMask) SetCommMask = &::SetCommMask;
  // Timed waits of the exchange.
  decltype(&::Sleep) Sleep = &::Sleep;
  decltype(&::WaitForSingleObject) WaitForSingleObject = &::WaitForSingleObject;
};

// The table every port uses.
SerialApi& Api();

}  // namespace lumo::serial

#endif
