#include "app/run_state.h"

std::uint8_t* FirmwareImage = nullptr;
bool FirmwareImageLoaded = false;
int UpdatePassed = 0;
int AttemptCount = 0;
HWnd MainWindowHandle = nullptr;
int ChosenDevice = -1;

void ResetFrontEndState() {
  delete[] FirmwareImage;
  FirmwareImage = nullptr;
  FirmwareImageLoaded = false;
  UpdatePassed = 0;
  AttemptCount = 0;
  MainWindowHandle = nullptr;
  ChosenDevice = -1;
}
