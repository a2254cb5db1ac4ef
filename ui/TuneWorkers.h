// The tuning dialog's workers: TGetThread reads a channel's program code and
// sensor parameters, TSetThread writes the parameters. Each runs once on a
// thread of its own, hands its first and last steps to the dialog's thread,
// and destroys itself when its thread ends.
#ifndef LUMO_UI_TUNEWORKERS_H
#define LUMO_UI_TUNEWORKERS_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/TuneParams.h"

namespace lumo::ui {

// A worker thread: created not running, started once, freed when Execute
// returns. The dialog counts it from Start until its thread has ended.
class TWorkerThread {
 public:
  explicit TWorkerThread(TfmTuneParams* dialog) : Dialog(dialog) {}
  virtual ~TWorkerThread() = default;
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;

  // Starts the thread; on failure the worker is freed and false returned.
  bool Start();

 protected:
  virtual void Execute() = 0;
  // Runs one of the worker's steps on the dialog's thread and waits for it.
  template <typename Worker>
  void Synchronize(void (Worker::*step)()) {
    Dialog->RunOnUiThread([this, step] { (static_cast<Worker*>(this)->*step)(); });
  }

  TfmTuneParams* Dialog;

 private:
  static DWORD WINAPI ThreadEntry(void* self);
};

class TGetThread : public TWorkerThread {
 public:
  using TWorkerThread::TWorkerThread;

  uint8_t Channel = 0;
  // Values as the gauge sent them (a height is never cut to 16 bits), and
  // for each field whether its request brought a valid reply. Index 1 to 11.
  int64_t Heights[kSensorRows + 1] = {};
  int64_t Idents[kSensorRows + 1] = {};
  FieldState HeightStates[kSensorRows + 1] = {};
  FieldState IdentStates[kSensorRows + 1] = {};
  std::string ProgramCode;
  FieldState CodeState = FieldState::kNotRead;
  // Non-zero selects the "absent gauge" form of AfterRead: set when the
  // program code request failed or brought no valid reply and no parameter
  // came back either, so there is nothing of the gauge's to show or write.
  uint32_t Absent = 0;

 protected:
  void Execute() override;

 private:
  void BeforeRead();
  void AfterRead();
};

class TSetThread : public TWorkerThread {
 public:
  using TWorkerThread::TWorkerThread;

  uint8_t Channel = 0;
  uint16_t Heights[kSensorRows + 1] = {};
  int64_t Idents[kSensorRows + 1] = {};
  // A parameter whose write brought no valid reply, or was not sent.
  struct NotLanded {
    int row;
    bool ident;
    FieldState reason;  // kNoReply, kBadReply, or kNotRead for "not sent"
  };
  std::vector<NotLanded> Failed;

 protected:
  void Execute() override;

 private:
  void BeforeWrite();
  void AfterWrite();
};

}  // namespace lumo::ui

#endif
