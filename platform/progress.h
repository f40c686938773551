// Long work and the one who waits for it. Staging a book, reading an archive and packing
// one report through a TProgress how far they have come and give its owner a turn between
// their steps (the window handles its pending events there, so it repaints and may ask to
// stop); the owner asks them to stop through the same object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lumbrella {

enum class TWorkStage : uint8_t { wsStaging, wsPacking };

class TProgress {
 public:
  // The owner's turn between steps of the work; none set: nothing happens.
  std::function<void()> OnStep;
  // How far a stage has come, 0 to 100 (staging by the chapter sources read, packing by
  // the bytes of the files packed), told as the work goes on.
  std::function<void(TWorkStage stage, int percent)> OnPercent;

  // Told when the work must wait for another conversion of this user that writes the same
  // file (waiting true, with the file's path, ANSI), and again when that wait is over (false).
  std::function<void(bool waiting, const std::string& path)> OnWait;

  void Step() {
    if (OnStep) OnStep();
  }
  void Wait(bool waiting, const std::string& path) {
    if (OnWait) OnWait(waiting, path);
  }
  void Percent(TWorkStage stage, int percent) {
    if (OnPercent) OnPercent(stage, percent);
  }

  // A request that the work stop, honoured at its next step: it then ends with its own
  // "canceled" failure.
  void RequestCancel() { cancelRequested_ = true; }
  // True when a request is pending; the answer spends it, so that it stops one piece of
  // work only.
  bool TakeCancel() {
    const bool requested = cancelRequested_;
    cancelRequested_ = false;
    return requested;
  }

 private:
  bool cancelRequested_ = false;
};

}  // namespace lumbrella
