// The capture dialog as its caller sees it: run it modally, then take the rows of the last decode.
#pragma once

#include <memory>

#include "kvdataio.h"
#include "kvgroup.h"

/// Runs the modal capture dialog in its constructor and returns when the dialog has ended and
/// been destroyed (which ends the capture thread and waits for it). Afterwards retOK() tells
/// whether the user left with OK, and the three pointers hold the views of the last decode that
/// succeeded (empty vectors when there was none); the caller takes them over. GUI thread only.
class TcaptureDialog {
 public:
  TcaptureDialog();
  ~TcaptureDialog();
  TcaptureDialog(const TcaptureDialog&) = delete;
  TcaptureDialog& operator=(const TcaptureDialog&) = delete;

  bool retOK() const { return ok; }

  bool ok = false;
  std::shared_ptr<TrowVec> evtVec;      ///< event rows
  std::shared_ptr<TrowVec> treeVec;     ///< tree roots
  std::shared_ptr<TlinRowVec> linVec;   ///< flat row list
};
