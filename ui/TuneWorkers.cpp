#include "ui/TuneWorkers.h"

#include <exception>
#include <stdexcept>
#include <vector>

#include "driver/Silo.h"
#include "ui/MessageBoxSeam.h"
#include "ui/TuneTexts.h"

namespace lumo::ui {

bool TWorkerThread::Start() {
  const HANDLE thread = CreateThread(nullptr, 0, &ThreadEntry, this, CREATE_SUSPENDED, nullptr);
  if (!thread) {
    delete this;
    return false;
  }
  Dialog->WorkerStarting(thread);  // the dialog owns the handle from here
  ResumeThread(thread);
  return true;
}

DWORD WINAPI TWorkerThread::ThreadEntry(void* self_pointer) {
  auto* self = static_cast<TWorkerThread*>(self_pointer);
  TfmTuneParams* dialog = self->Dialog;
  // Nothing may unwind out of a thread entry.
  try {
    self->Execute();
  } catch (...) {
  }
  delete self;
  // The dialog outlives its workers: it ends only after this has run.
  try {
    dialog->RunOnUiThread([dialog] { dialog->WorkerEnded(); });
  } catch (...) {
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Read worker

void TGetThread::Execute() {
  Synchronize(&TGetThread::BeforeRead);
  TSilo& driver = *Dialog->Driver;
  // Error texts of the batch, shown once the driver lock is free again so
  // that host requests are not held up behind a box waiting for a person.
  std::vector<std::wstring> errors;
  bool code_failed = false;
  bool any_valid = false;
  {
    // One uninterrupted batch: the host's requests wait until it ends.
    DriverLockGuard lock(driver);
    try {
      driver.ReadProgramCode(Channel, ProgramCode);
      code_failed = driver.GetLinkState() != lumo::kLinkValidReply;
      for (int i = 1; i <= kSensorRows; ++i) {
        try {
          Heights[i] = static_cast<uint16_t>(driver.ReadChannelParameter(Channel, static_cast<uint8_t>(i)));
          any_valid |= driver.GetLinkState() == lumo::kLinkValidReply;
          Idents[i] = driver.ReadChannelParameter(Channel, static_cast<uint8_t>(i + 128));
          any_valid |= driver.GetLinkState() == lumo::kLinkValidReply;
        } catch (...) {
          errors.push_back(CurrentErrorText());
        }
      }
    } catch (...) {
      // A failed program code request ends the batch quietly.
      code_failed = true;
    }
  }
  if (code_failed && !any_valid) Absent = 1;
  for (const std::wstring& message : errors) ShowErrorBox(message.c_str());
  Synchronize(&TGetThread::AfterRead);
}

void TGetThread::BeforeRead() {
  Dialog->AccessOnOff(false);
  Dialog->SetStatus(text::kPleaseWait, true);
  UpdateWindow(Dialog->cbSiloNum);
  Channel = static_cast<uint8_t>(Dialog->SelectedChannel());
}

void TGetThread::AfterRead() {
  if (Absent) {
    for (int row = 1; row <= kSensorRows; ++row) {
      Dialog->SetLevelValue(row, 0);
      Dialog->SetIdentValue(row, 0);
    }
    ShowWindow(Dialog->lbVers, SW_HIDE);
    ShowWindow(Dialog->lbVers2, SW_HIDE);
    EnableWindow(Dialog->cbSiloNum, TRUE);
    Dialog->SetStatus(text::kDeviceAbsent, false);
  } else {
    Dialog->AccessOnOff(true);
    for (int row = 1; row <= kSensorRows; ++row) Dialog->SetLevelValue(row, Heights[row]);
    for (int row = 1; row <= kSensorRows; ++row) Dialog->SetIdentValue(row, Idents[row]);
    Dialog->SetStatus(L"", false);
    ShowWindow(Dialog->lbVers, SW_SHOW);
    ShowWindow(Dialog->lbVers2, SW_SHOW);
    Dialog->ShowProgramCode(WideFromCp1251(ProgramCode.c_str()));
  }
  EnableWindow(Dialog->bbtWrite, FALSE);
  EnableWindow(Dialog->bbtRead, TRUE);
  RedrawWindow(Dialog->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

// ---------------------------------------------------------------------------
// Write worker

void TSetThread::Execute() {
  try {
    Synchronize(&TSetThread::BeforeWrite);
  } catch (...) {
    // A value that does not convert: nothing is sent, the dialog is usable again.
    Synchronize(&TSetThread::AfterWrite);
    return;
  }
  TSilo& driver = *Dialog->Driver;
  for (int i = 1; i <= kSensorRows; ++i) {
    try {
      driver.WriteChannelParameter(Channel, static_cast<uint8_t>(i), static_cast<int64_t>(Heights[i]));
      driver.WriteChannelParameter(Channel, static_cast<uint8_t>(i + 128), Idents[i]);
    } catch (...) {
      ShowErrorBox(CurrentErrorText().c_str());
    }
  }
  Synchronize(&TSetThread::AfterWrite);
}

void TSetThread::BeforeWrite() {
  Dialog->SetStatus(text::kPleaseWait, true);
  Channel = static_cast<uint8_t>(Dialog->SelectedChannel());
  for (int row = 1; row <= kSensorRows; ++row) {
    if (!Dialog->LevelValue(row, Heights[row])) throw std::invalid_argument("height");
  }
  for (int row = 1; row <= kSensorRows; ++row) {
    if (!Dialog->IdentValue(row, Idents[row])) throw std::invalid_argument("identifier");
  }
  Dialog->AccessOnOff(false);
}

void TSetThread::AfterWrite() {
  Dialog->SetStatus(L"", false);
  Dialog->AccessOnOff(true);
  EnableWindow(Dialog->bbtWrite, FALSE);
  EnableWindow(Dialog->bbtRead, TRUE);
}

}  // namespace lumo::ui
