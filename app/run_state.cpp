#include "app/run_state.h"

std::unique_ptr<std::uint8_t[]> FirmwareImage;
bool FirmwareImageLoaded = false;
int UpdatePassed = 0;
int AttemptCount = 0;
HWnd MainWindowHandle = nullptr;
int ChosenDevice = -1;

void ResetFrontEndState() {
  FirmwareImage.reset();
  FirmwareImageLoaded = false;
  UpdatePassed = 0;
  AttemptCount = 0;
  MainWindowHandle = nullptr;
  ChosenDevice = -1;
}
