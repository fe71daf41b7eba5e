// The capture dialog as its caller sees it: run it modally, then take the rows of the last decode.
#include "kvcapture.h"

#include "wxsGui.h"

TcaptureDialog::TcaptureDialog() {
  auto* dialog = new TcaptureDialogInner();
  ok = dialog->ShowModal() == wxID_OK;
  evtVec = dialog->pevtVec();
  treeVec = dialog->ptreeVec();
  linVec = dialog->plinVec();
  // At once, not deferred: this destroys the control page, and with it the decode pipeline and
  // then the capture thread object, which ends the capture thread and waits for it.
  delete dialog;
}

TcaptureDialog::~TcaptureDialog() {
  linVec.reset();
  treeVec.reset();
  evtVec.reset();
}
