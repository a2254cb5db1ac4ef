#include "ui/TuneWorkers.h"

#include <exception>
#include <stdexcept>
#include <vector>

#include "lumo.h"
#include "serial/Trace.h"
#include "ui/MessageBoxSeam.h"
#include "ui/TuneTexts.h"

namespace lumo::ui {

namespace {

// A request that raised an error: without a reply when the link state says
// so, otherwise its reply was bad or did not convert (the link state stays 1
// for a conversion error).
FieldState FailedOutcome(uint8_t link_state) {
  return link_state == lumo::kLinkNoReply ? FieldState::kNoReply : FieldState::kBadReply;
}

// The outcome of a request from the link state it left: a valid reply, none
// (no reply, no transport), or a bad one.
FieldState Outcome(uint8_t link_state) {
  return link_state == lumo::kLinkValidReply ? FieldState::kKnown : FailedOutcome(link_state);
}

const char* OutcomeName(FieldState state) {
  switch (state) {
    case FieldState::kKnown: return "ok";
    case FieldState::kNoReply: return "no-reply";
    case FieldState::kBadReply: return "bad-reply";
    case FieldState::kOutOfRange: return "out-of-range";
    default: return "not-sent";
  }
}

// One row of a batch: row 0 is the program code, 1 to 11 the sensors.
void TraceRow(const std::shared_ptr<lumo::Trace>& trace, const char* event, uint8_t channel,
              int row, const char* field, const char* result, uint8_t link) {
  if (trace)
    trace->Event(event, "channel=%u row=%d field=%s result=%s link=%u",
                 static_cast<unsigned>(channel), row, field, result, static_cast<unsigned>(link));
}

}  // namespace

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
  TuneTarget& driver = *Dialog->Driver;
  // Error texts of the batch, shown once the driver lock is free again so
  // that host requests are not held up behind a box waiting for a person.
  std::vector<std::wstring> errors;
  bool any_valid = false;
  {
    // One uninterrupted batch: the host's requests wait until it ends, and
    // the link state read after each request is that request's own.
    TuneTargetLock lock(driver);
    const std::shared_ptr<lumo::Trace> trace = driver.TraceLog();
    const auto traced = [&](int row, const char* field, FieldState state) {
      TraceRow(trace, "dialog-read", Channel, row, field, OutcomeName(state), driver.GetLinkState());
    };
    try {
      driver.ReadProgramCode(Channel, ProgramCode);
      CodeState = Outcome(driver.GetLinkState());
      traced(0, "code", CodeState);
      for (int i = 1; i <= kSensorRows; ++i) {
        bool height_done = false;
        try {
          Heights[i] = driver.ReadChannelParameter(Channel, static_cast<uint8_t>(i));
          HeightStates[i] = Outcome(driver.GetLinkState());
          traced(i, "height", HeightStates[i]);
          height_done = true;
          Idents[i] = driver.ReadChannelParameter(Channel, static_cast<uint8_t>(i + 128));
          IdentStates[i] = Outcome(driver.GetLinkState());
          traced(i, "ident", IdentStates[i]);
        } catch (...) {
          lumo::TraceCaught(trace, "dialog-read");
          TraceRow(trace, "dialog-read", Channel, i, height_done ? "ident" : "height", "error",
                   driver.GetLinkState());
          errors.push_back(CurrentErrorText());
          // After a failed height the identifier is not asked for: it is
          // unknown for the same reason.
          const FieldState failed = FailedOutcome(driver.GetLinkState());
          if (!height_done) HeightStates[i] = failed;
          IdentStates[i] = failed;
        }
        any_valid |= HeightStates[i] == FieldState::kKnown || IdentStates[i] == FieldState::kKnown;
      }
    } catch (...) {
      // A failed program code request ends the batch quietly; nothing of the
      // channel is known.
      lumo::TraceCaught(trace, "dialog-read");
      TraceRow(trace, "dialog-read", Channel, 0, "code", "error", driver.GetLinkState());
      const FieldState failed = FailedOutcome(driver.GetLinkState());
      CodeState = failed;
      for (int i = 1; i <= kSensorRows; ++i) HeightStates[i] = IdentStates[i] = failed;
    }
  }
  if (CodeState != FieldState::kKnown && !any_valid) Absent = 1;
  // The workers' boxes belong to the dialog, so that they open in front of
  // it. MessageBoxW then disables the dialog by a message to the dialog's
  // thread and waits for it to be taken: the lock is free by now, so that
  // thread is never stuck waiting for it (as for the last step below).
  for (const std::wstring& message : errors) ShowErrorBox(Dialog->Handle(), message.c_str());
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
    // Nothing of the gauge's: every field empty and marked, and disabled.
    for (int row = 1; row <= kSensorRows; ++row) {
      Dialog->ShowReadLevel(row, HeightStates[row], 0);
      Dialog->ShowReadIdent(row, IdentStates[row], 0);
    }
    ShowWindow(Dialog->lbVers, SW_HIDE);
    ShowWindow(Dialog->lbVers2, SW_HIDE);
    EnableWindow(Dialog->cbSiloNum, TRUE);
    Dialog->SetStatus(text::kDeviceAbsent, false);
  } else {
    Dialog->AccessOnOff(true);
    for (int row = 1; row <= kSensorRows; ++row) Dialog->ShowReadLevel(row, HeightStates[row], Heights[row]);
    for (int row = 1; row <= kSensorRows; ++row) Dialog->ShowReadIdent(row, IdentStates[row], Idents[row]);
    Dialog->ShowMarkSummary();
    ShowWindow(Dialog->lbVers, SW_SHOW);
    ShowWindow(Dialog->lbVers2, SW_SHOW);
    if (CodeState == FieldState::kKnown)
      Dialog->ShowProgramCode(WideFromCp1251(ProgramCode.c_str()));
    else
      Dialog->ShowProgramCodeUnknown(CodeState);
  }
  Dialog->DisableButton(Dialog->bbtWrite);
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
  TuneTarget& driver = *Dialog->Driver;
  // One request with the link state it left, under the driver lock so that
  // no host request falls between them; host requests still fall between
  // the parameters.
  const auto write = [&](int row, bool ident) {
    TuneTargetLock lock(driver);
    const std::shared_ptr<lumo::Trace> trace = driver.TraceLog();
    const char* field = ident ? "ident" : "height";
    const uint8_t parameter = static_cast<uint8_t>(ident ? row + 128 : row);
    const int64_t value = ident ? Idents[row] : static_cast<int64_t>(Heights[row]);
    try {
      driver.WriteChannelParameter(Channel, parameter, value);
    } catch (...) {
      lumo::TraceCaught(trace, "dialog-write");
      TraceRow(trace, "dialog-write", Channel, row, field, "error", driver.GetLinkState());
      Failed.push_back({row, ident, FailedOutcome(driver.GetLinkState())});
      throw;
    }
    const FieldState outcome = Outcome(driver.GetLinkState());
    TraceRow(trace, "dialog-write", Channel, row, field, OutcomeName(outcome), driver.GetLinkState());
    if (outcome != FieldState::kKnown) Failed.push_back({row, ident, outcome});
  };
  for (int i = 1; i <= kSensorRows; ++i) {
    bool height_done = false;
    try {
      write(i, false);
      height_done = true;
      write(i, true);
    } catch (...) {
      // Off the lock, which write() has left: the box waits for the dialog's thread.
      ShowErrorBox(Dialog->Handle(), CurrentErrorText().c_str());
      // After a failed height the identifier is not sent.
      if (!height_done) Failed.push_back({i, true, FieldState::kNotRead});
    }
  }
  if (!Failed.empty()) {
    // One box for everything that did not land, shown off the lock.
    std::wstring message = std::wstring(text::kNotLanded) + L"\n";
    for (const NotLanded& failed : Failed)
      message += TfmTuneParams::FieldName(failed.row, failed.ident) + L": " +
                 (failed.reason == FieldState::kNotRead ? text::kNotSent
                                                        : TfmTuneParams::ReasonText(failed.reason)) +
                 L"\n";
    message += text::kNotLandedHint;
    ShowErrorBox(Dialog->Handle(), message.c_str());
  }
  Synchronize(&TSetThread::AfterWrite);
}

void TSetThread::BeforeWrite() {
  Dialog->SetStatus(text::kPleaseWait, true);
  Channel = static_cast<uint8_t>(Dialog->SelectedChannel());
  // Write's click refuses marked fields already; this holds whatever path
  // leads here.
  for (int row = 1; row <= kSensorRows; ++row) {
    if (Dialog->LevelState(row) != FieldState::kKnown || Dialog->IdentState(row) != FieldState::kKnown)
      throw std::invalid_argument("a field the gauge did not give");
  }
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
  // Write stays on when something did not land, so that it can be repeated.
  if (Failed.empty()) Dialog->DisableButton(Dialog->bbtWrite);
  EnableWindow(Dialog->bbtRead, TRUE);
}

}  // namespace lumo::ui
