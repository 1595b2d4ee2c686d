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
    .initCommonControls =
        [](std::uint32_t size, std::uint32_t classes) {
          std::lock_guard lock(TheHost().mutex);
          TheHost().view.commonControls = classes;
          return size == InitCommonControlsExSize;
        },
    .dialogBoxParam = [](int templateId, HWnd, DlgProc proc,
                         LParam param) { return TheHost().DialogBox(templateId, proc, param); },
    .getDlgItem = [](HWnd dialog, int id) { return TheHost().GetDlgItem(dialog, id); },
    .loadIcon = [](int id) -> HIcon {
      static int appIcon;
      return id == IdrMainFrame ? reinterpret_cast<HIcon>(&appIcon) : nullptr;
    },
    .sendMessage =
        [](HWnd window, std::uint32_t message, WParam wParam, LParam lParam) {
          return TheHost().OnInterfaceThread(
              [&] { return TheHost().Dispatch(window, message, wParam, lParam); });
        },
    .setWindowText =
        [](HWnd window, const char* text) {
          return TheHost().OnInterfaceThread(
                     [&]() -> LResult { return TheHost().SetText(window, text) ? 1 : 0; }) != 0;
        },
    .redrawWindow =
        [](HWnd window, std::uint32_t flags) {
          return TheHost().OnInterfaceThread(
                     [&]() -> LResult { return TheHost().Redraw(window, flags) ? 1 : 0; }) != 0;
        },
    .setTimer =
        [](HWnd window, TimerId id, std::uint32_t milliseconds) {
          return TheHost().SetTimer(window, id, milliseconds);
        },
    .killTimer = [](HWnd window, TimerId id) { return TheHost().KillTimer(window, id); },
    .createThread = [](ThreadProc entry,
                       void* parameter) { return TheHost().StartThread(entry, parameter); },
    .sleep =
        [](std::uint32_t milliseconds) {
          TheHost().Note("sleep " + std::to_string(milliseconds));
          TheHost().Sleep(milliseconds);
        },
    .exit = [](int status) { TheHost().Exit(status); },
    .findResource = [](int id, const char* type) { return TheHost().FindResource(id, type); },
    .loadResource = [](HRsrc resource) { return TheHost().LoadResource(resource); },
    .sizeofResource = [](HRsrc resource) { return TheHost().SizeofResource(resource); },
    .lockResource = [](HGlobal data) { return TheHost().LockResource(data); },
    .getSysColor = [](int index) -> ColorRef {
      return index == ColorBtnFace ? kButtonFaceColour : kWindowTextColour;
    },
    .createSolidBrush =
        [](ColorRef colour) {
          HostGdi brush;
          brush.colour = colour;
          return TheHost().NewGdi(brush);
        },
    .getStockObject = [](int index) { return TheHost().StockObject(index); },
    .getObject = [](HGdiObj object, int size, void* out) -> int {
      const auto* gdi = reinterpret_cast<const HostGdi*>(object);
      if (gdi == nullptr || !gdi->isFont || out == nullptr ||
          size < static_cast<int>(sizeof(LogFontA))) {
        return 0;
      }
      std::memcpy(out, &gdi->font, sizeof(LogFontA));
      return sizeof(LogFontA);
    },
    .createFontIndirect = [](const LogFontA* font) -> HGdiObj {
      if (font == nullptr) {
        return nullptr;
      }
      HostGdi object;
      object.isFont = true;
      object.font = *font;
      return TheHost().NewGdi(object);
    },
    .deleteObject = [](HGdiObj object) { return TheHost().DeleteGdi(object); },
    .selectObject = [](HDc dc, HGdiObj object) -> HGdiObj {
      auto* hostDc = reinterpret_cast<HostDc*>(dc);
      const HostGdi* previous = hostDc->font;
      hostDc->font = reinterpret_cast<const HostGdi*>(object);
      return reinterpret_cast<HGdiObj>(const_cast<HostGdi*>(previous));
    },
    .setTextColor =
        [](HDc dc, ColorRef colour) {
          auto* hostDc = reinterpret_cast<HostDc*>(dc);
          const ColorRef previous = hostDc->textColour;
          hostDc->textColour = colour;
          return previous;
        },
    .setBkMode =
        [](HDc dc, int mode) {
          auto* hostDc = reinterpret_cast<HostDc*>(dc);
          const int previous = hostDc->bkMode;
          hostDc->bkMode = mode;
          return previous;
        },
    .wideCharToMultiByte = [](const char16_t* text, char* out,
                              int outSize) { return Utf16ToUtf8(text, out, outSize); },
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
