#include "app/reflash_app.h"

#include "app/reflash_dlg.h"
#include "seams/windowing.h"

CReflashApp theApp;

bool CReflashApp::InitInstance() {
  Windowing()->initCommonControls(InitCommonControlsExSize, IccAllClasses);
  // In practice the run controller ends the process inside the modal run.
  CReflashDlg dialog;
  dialog.DoModal();
  return false;
}

int ReflashAppMain() {
  theApp.InitInstance();
  return 0;
}
