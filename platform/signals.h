// The signals that ask a program to end: SIGINT (Ctrl-C), SIGTERM, and SIGHUP when its
// terminal goes away.
#pragma once

namespace lumbrella {

// While one of these lives, the three are caught instead of ending the program at once, so
// that the work in progress can stop at its next step (a cancel request), remove what it
// has half written, and the program then end with the status 128 + the signal's number
// (ExitStatus). A second signal of the same kind ends the program at once, as if none were
// caught. One at a time.
class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // The first signal caught; 0 while none has come.
  static int Received();
  // 128 + Received().
  static int ExitStatus() { return 128 + Received(); }
  // Becomes readable when a signal arrives, for an event loop to watch.
  int Descriptor() const { return pipe_[0]; }

 private:
  int pipe_[2] = {-1, -1};
};

}  // namespace lumbrella
