#pragma once
// CReflashDlg: the one dialog, its run controller, and the update sequence one attempt runs.

#include <cstdint>

#include "app/label.h"
#include "app/wnd.h"

inline constexpr int DevicePathCount = 10;
inline constexpr int DevicePathLength = 256;

class CReflashDlg : public CDialog {
 public:
  CReflashDlg();
  ~CReflashDlg() override = default;
  CReflashDlg(const CReflashDlg&) = delete;
  CReflashDlg& operator=(const CReflashDlg&) = delete;

  char16_t DevicePathsW[DevicePathCount][DevicePathLength];
  char DevicePathsA[DevicePathCount][DevicePathLength];
  HIcon appIcon;
  CLabel statusLabel;
  CProgressCtrl progressBar;

  // The run controller: the handling of WM_UPDATE_NEXT.
  LResult OnUpdateNext();
  // Copies resource "BYTE" 131 into FirmwareImage; false (image unchanged) unless it is whole.
  bool LoadFirmwareImage();

  // One attempt, on a worker thread started by the run controller; the parameter is the dialog.
  static std::uint32_t UpdateWorker(void* dialog);
  bool CheckHardware();
  void ChooseDevice();
  void RunUpdate();
  int VerifyFirmware();

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  LResult WindowProc(std::uint32_t message, WParam wParam, LParam lParam) override;

 private:
  void ShowStatus(ColorRef colour, const char* text);
  void OnTimer();
  // Ends the process after the final verdict: status 2 when it could not be written.
  static void EndRun(bool verdictWritten);
};
