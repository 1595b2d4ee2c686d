#include "platform/console/console_host.h"

#include <csignal>
#include <cstring>

#include "platform/console/host.h"

namespace console {

void Host::Install(const HostOptions& newOptions) {
  std::lock_guard lock(mutex);
  options = newOptions;
  dialogProc = nullptr;
  interfaceThread = std::thread::id{};
  running = false;
  closed = false;
  exitRequested = false;
  exitStatus = -1;
  timerArmed = false;
  events.clear();
  view = HostView{};
  label.text = StatusLabelInitialText;
  progress = 0;
  defaultGuiFont.stock = true;
  defaultGuiFont.isFont = true;
  defaultGuiFont.font = LogFontA{};
  defaultGuiFont.font.lfHeight = -11;
  defaultGuiFont.font.lfWeight = 400;
  std::strncpy(defaultGuiFont.font.lfFaceName, "Sans Serif",
               sizeof defaultGuiFont.font.lfFaceName - 1);
  lineOpen = false;
}

Host& TheHost() {
  static Host* host = new Host;
  return *host;
}

namespace {

const WindowingOps kConsoleWindowing = {
    [](std::uint32_t size, std::uint32_t classes) {
      std::lock_guard lock(TheHost().mutex);
      TheHost().view.commonControls = classes;
      return size == InitCommonControlsExSize;
    },
    [](int templateId, HWnd, DlgProc proc, LParam param) {
      return TheHost().DialogBox(templateId, proc, param);
    },
    [](HWnd dialog, int id) { return TheHost().GetDlgItem(dialog, id); },
    [](int id) -> HIcon {
      static int appIcon;
      return id == IdrMainFrame ? reinterpret_cast<HIcon>(&appIcon) : nullptr;
    },
    [](HWnd window, std::uint32_t message, WParam wParam, LParam lParam) {
      return TheHost().OnInterfaceThread(
          [&] { return TheHost().Dispatch(window, message, wParam, lParam); });
    },
    [](HWnd window, const char* text) {
      return TheHost().OnInterfaceThread(
                 [&]() -> LResult { return TheHost().SetText(window, text) ? 1 : 0; }) != 0;
    },
    [](HWnd window, std::uint32_t flags) {
      return TheHost().OnInterfaceThread(
                 [&]() -> LResult { return TheHost().Redraw(window, flags) ? 1 : 0; }) != 0;
    },
    [](HWnd window, TimerId id, std::uint32_t milliseconds) {
      return TheHost().SetTimer(window, id, milliseconds);
    },
    [](HWnd window, TimerId id) { return TheHost().KillTimer(window, id); },
    [](ThreadProc entry, void* parameter) { return TheHost().StartThread(entry, parameter); },
    [](std::uint32_t milliseconds) {
      TheHost().Note("sleep " + std::to_string(milliseconds));
      TheHost().Sleep(milliseconds);
    },
    [](int status) { TheHost().Exit(status); },
    [](int id, const char* type) { return TheHost().FindResource(id, type); },
    [](HRsrc resource) { return TheHost().LoadResource(resource); },
    [](HRsrc resource) { return TheHost().SizeofResource(resource); },
    [](HGlobal data) { return TheHost().LockResource(data); },
    [](int index) -> ColorRef {
      return index == ColorBtnFace ? kButtonFaceColour : kWindowTextColour;
    },
    [](ColorRef colour) {
      HostGdi brush;
      brush.colour = colour;
      return TheHost().NewGdi(brush);
    },
    [](int index) { return TheHost().StockObject(index); },
    [](HGdiObj object, int size, void* out) -> int {
      const auto* gdi = reinterpret_cast<const HostGdi*>(object);
      if (gdi == nullptr || !gdi->isFont || out == nullptr ||
          size < static_cast<int>(sizeof(LogFontA))) {
        return 0;
      }
      std::memcpy(out, &gdi->font, sizeof(LogFontA));
      return sizeof(LogFontA);
    },
    [](const LogFontA* font) -> HGdiObj {
      if (font == nullptr) {
        return nullptr;
      }
      HostGdi object;
      object.isFont = true;
      object.font = *font;
      return TheHost().NewGdi(object);
    },
    [](HGdiObj object) { return TheHost().DeleteGdi(object); },
    [](HDc dc, HGdiObj object) -> HGdiObj {
      auto* hostDc = reinterpret_cast<HostDc*>(dc);
      const HostGdi* previous = hostDc->font;
      hostDc->font = reinterpret_cast<const HostGdi*>(object);
      return reinterpret_cast<HGdiObj>(const_cast<HostGdi*>(previous));
    },
    [](HDc dc, ColorRef colour) {
      auto* hostDc = reinterpret_cast<HostDc*>(dc);
      const ColorRef previous = hostDc->textColour;
      hostDc->textColour = colour;
      return previous;
    },
    [](HDc dc, int mode) {
      auto* hostDc = reinterpret_cast<HostDc*>(dc);
      const int previous = hostDc->bkMode;
      hostDc->bkMode = mode;
      return previous;
    },
    [](const char16_t* text, char* out, int outSize) { return Utf16ToUtf8(text, out, outSize); },
};

}  // namespace

void InstallConsoleHost(const HostOptions& options) {
  TheHost().Install(options);
  InstallWindowing(&kConsoleWindowing);
}

int ExitStatus() {
  std::lock_guard lock(TheHost().mutex);
  return TheHost().exitStatus;
}

bool WaitForWorkers(std::chrono::milliseconds timeout) {
  return TheHost().WaitForWorkers(timeout);
}

std::vector<std::string> Events() {
  std::lock_guard lock(TheHost().mutex);
  return TheHost().events;
}

HostView View() {
  std::lock_guard lock(TheHost().mutex);
  return TheHost().view;
}

void PostToDialog(std::uint32_t message, WParam wParam, LParam lParam) {
  TheHost().Post(message, wParam, lParam);
}

void IgnoreInterrupts() {
  std::signal(SIGINT, SIG_IGN);
#ifdef SIGHUP
  std::signal(SIGHUP, SIG_IGN);
#endif
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace console
