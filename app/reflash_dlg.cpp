#include "app/reflash_dlg.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "app/result_log.h"
#include "app/run_state.h"

namespace {
constexpr TimerId kStartTimer = 1;
constexpr std::uint32_t kStartDelayMs = 3000;
constexpr int kStatusFontHeight = 18;
}  // namespace

CReflashDlg::CReflashDlg()
    : CDialog(IddReflashDialog), appIcon(Windowing()->loadIcon(IdrMainFrame)) {}

void CReflashDlg::DoDataExchange() {
  statusLabel.SubclassDlgItem(IdcStatusLabel, *this);
  progressBar.SubclassDlgItem(IdcProgressBar, *this);
}

bool CReflashDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessage(WmSetIcon, IconBig, reinterpret_cast<LParam>(appIcon));
  SendMessage(WmSetIcon, IconSmall, reinterpret_cast<LParam>(appIcon));

  FirmwareImage.reset(new std::uint8_t[FirmwareImageSize]());
  FirmwareImageLoaded = LoadFirmwareImage();
  MainWindowHandle = GetSafeHwnd();

  statusLabel.ChangeFontHeight(kStatusFontHeight);
  if (FirmwareImageLoaded) {
    ShowStatus(StatusBlue, "Detect Device!!!");
  } else {
    ShowStatus(StatusRed, "Firmware image missing!!!");
  }
  Windowing()->setTimer(GetSafeHwnd(), kStartTimer, kStartDelayMs);
  return true;
}

bool CReflashDlg::LoadFirmwareImage() {
  const WindowingOps* ops = Windowing();
  HRsrc resource = ops->findResource(IdrFirmwareImage, FirmwareResourceType);
  if (resource == nullptr) {
    return false;
  }
  HGlobal data = ops->loadResource(resource);
  if (data == nullptr) {
    return false;
  }
  const std::uint32_t size = ops->sizeofResource(resource);
  const void* bytes = ops->lockResource(data);
  // Every user reads exactly one whole flash; any other size would be read past or left short.
  if (bytes == nullptr || size != FirmwareImageSize) {
    return false;
  }
  std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[FirmwareImageSize]);
  if (image == nullptr) {
    return false;
  }
  std::memcpy(image.get(), bytes, FirmwareImageSize);
  FirmwareImage = std::move(image);
  return true;
}

LResult CReflashDlg::WindowProc(std::uint32_t message, WParam wParam, LParam lParam) {
  switch (message) {
    case WM_UPDATE_NEXT:
      return OnUpdateNext();
    case WmInitDialog:
      return OnInitDialog() ? 1 : 0;
    case WmTimer:
      OnTimer();
      return 0;
    case WmCommand:
      // Enter and Escape do nothing: the run controller alone ends the program.
      return (wParam & 0xFFFF) == IdOk || (wParam & 0xFFFF) == IdCancel ? 1 : 0;
    case WmCtlColorStatic: {
      // The message carries its handles in its integer parameters, as the window system sends it.
      const auto control = reinterpret_cast<HWnd>(lParam);  // NOLINT(performance-no-int-to-ptr)
      const auto dc = reinterpret_cast<HDc>(wParam);        // NOLINT(performance-no-int-to-ptr)
      if (control == statusLabel.GetSafeHwnd()) {
        return reinterpret_cast<LResult>(statusLabel.OnCtlColor(dc, CtlColorStatic));
      }
      return 0;
    }
    case WmQueryDragIcon:
      return reinterpret_cast<LResult>(appIcon);
    default:
      // WM_CLOSE included: default processing turns it into the Cancel command.
      return 0;
  }
}

void CReflashDlg::OnTimer() {
  Windowing()->killTimer(GetSafeHwnd(), kStartTimer);
  Windowing()->sendMessage(MainWindowHandle, WM_UPDATE_NEXT, 0, 0);
}

LResult CReflashDlg::OnUpdateNext() {
  if (!FirmwareImageLoaded) {
    // Without the whole image an attempt would write zeros over the camera's firmware.
    EndRun(WriteResultLog(ResultFailText));
    return 0;
  }
  if (UpdatePassed != 0) {
    EndRun(WriteResultLog(ResultPassText));
    return 0;
  }
  while (AttemptCount < MaxAttempts) {
    // A worker that cannot start counts as a failed attempt, so the run still ends.
    const bool started = Windowing()->createThread(&CReflashDlg::UpdateWorker, this);
    ++AttemptCount;
    if (started) {
      return 0;
    }
  }
  EndRun(WriteResultLog(ResultFailText));
  return 0;
}

void CReflashDlg::EndRun(bool verdictWritten) {
  // A stale Result.log from an earlier run must not pass for this run's verdict.
  Windowing()->exit(verdictWritten ? 0 : 2);
}

void CReflashDlg::ShowStatus(ColorRef colour, const char* text) {
  statusLabel.ChangeTextColour(colour);
  statusLabel.SetWindowText(text);
}
