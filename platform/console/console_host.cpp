#include "platform/console/console_host.h"

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "app/run_state.h"

namespace console {
namespace {

struct HostWindow {
  int id = 0;
  std::string text;
};

struct HostGdi {
  bool stock = false;
  bool isFont = false;
  ColorRef colour = 0;
  LogFontA font{};
};

// The device context handed to the control-colour request while the label paints.
struct HostDc {
  const HostGdi* font = nullptr;
  ColorRef textColour = 0;
  int bkMode = 0;
};

struct HostResource {
  int dummy = 0;
};

// A message for the interface thread; a sender waits for `done`, a poster does not.
struct Task {
  std::function<LResult()> run;
  bool posted = false;
  bool done = false;
  LResult result = 0;
};

constexpr ColorRef kWindowTextColour = 0x00000000;
constexpr ColorRef kButtonFaceColour = 0x00F0F0F0;

class Host {
 public:
  void Install(const HostOptions& newOptions) {
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

  // --- Windows ---
  HWnd Handle(HostWindow& window) { return reinterpret_cast<HWnd>(&window); }
  HostWindow* Window(HWnd handle) {
    for (HostWindow* window : {&dialog, &label, &progressBar, &okButton, &cancelButton}) {
      if (Handle(*window) == handle) {
        return window;
      }
    }
    return nullptr;
  }

  HWnd GetDlgItem(HWnd parent, int id) {
    if (Window(parent) != &dialog) {
      return nullptr;
    }
    for (HostWindow* window : {&label, &progressBar, &okButton, &cancelButton}) {
      if (window->id == id) {
        return Handle(*window);
      }
    }
    return nullptr;
  }

  // --- The interface thread ---
  LResult DialogBox(int templateId, DlgProc proc, LParam param) {
    if (templateId != IddReflashDialog || proc == nullptr) {
      return -1;
    }
    {
      std::lock_guard lock(mutex);
      dialogProc = proc;
      interfaceThread = std::this_thread::get_id();
      running = true;
      view.caption = DialogCaption;
    }
    ShowTitle();
    proc(Handle(dialog), WmInitDialog, 0, param);
    RunLoop();
    {
      std::lock_guard lock(mutex);
      running = false;
      closed = true;  // the window is gone: later sends return 0 at once
      for (Task* task : queue) {
        Finish(task, 0);
      }
      queue.clear();
    }
    changed.notify_all();
    EndScreenLine();
    return 0;
  }

  void RunLoop() {
    std::unique_lock lock(mutex);
    while (!exitRequested) {
      if (!queue.empty()) {
        Task* task = queue.front();
        queue.pop_front();
        lock.unlock();
        const LResult result = task->run();
        lock.lock();
        Finish(task, result);
        changed.notify_all();
        continue;
      }
      if (timerArmed && options.virtualTimers) {
        const std::uint32_t period = timerPeriod;
        lock.unlock();
        Sleep(period);
        FireTimer();
        lock.lock();
        continue;
      }
      if (timerArmed) {
        if (changed.wait_until(lock, timerDue) == std::cv_status::timeout && timerArmed) {
          timerDue += std::chrono::milliseconds(timerPeriod);
          lock.unlock();
          FireTimer();
          lock.lock();
        }
        continue;
      }
      changed.wait(lock);
    }
  }

  void FireTimer() { Dispatch(Handle(dialog), WmTimer, timerId, 0); }

  static void Finish(Task* task, LResult result) {
    if (task->posted) {
      delete task;
      return;
    }
    task->result = result;
    task->done = true;
  }

  // Runs `work` on the interface thread and returns its result: directly when called there (or
  // before any dialog runs), otherwise by queueing it and blocking until it has run.
  LResult OnInterfaceThread(const std::function<LResult()>& work) {
    std::unique_lock lock(mutex);
    if (closed) {
      return 0;
    }
    if (!running || std::this_thread::get_id() == interfaceThread) {
      lock.unlock();
      return work();
    }
    Task task;
    task.run = work;
    queue.push_back(&task);
    changed.notify_all();
    changed.wait(lock, [&] { return task.done; });
    return task.result;
  }

  void Post(std::uint32_t message, WParam wParam, LParam lParam) {
    auto* task = new Task;
    task->posted = true;
    task->run = [this, message, wParam, lParam] {
      return Dispatch(Handle(dialog), message, wParam, lParam);
    };
    std::lock_guard lock(mutex);
    if (closed) {
      delete task;
      return;
    }
    queue.push_back(task);
    changed.notify_all();
  }

  // The window procedures of the host's windows, with the default dialog processing.
  LResult Dispatch(HWnd handle, std::uint32_t message, WParam wParam, LParam lParam) {
    HostWindow* window = Window(handle);
    if (window == &dialog && dialogProc != nullptr) {
      const LResult handled = dialogProc(handle, message, wParam, lParam);
      if (handled == 0 && message == WmClose) {
        dialogProc(handle, WmCommand, IdCancel, 0);
      }
      if (message == WmSetIcon) {
        std::lock_guard lock(mutex);
        view.iconsSet.push_back(wParam);
      }
      return handled;
    }
    if (window == &progressBar && message == PbmSetPos) {
      const int previous = progress;
      progress = static_cast<int>(wParam);
      Record("progress " + std::to_string(progress));
      Render(true);
      return previous;
    }
    return 0;
  }

  bool SetText(HWnd handle, const char* text) {
    HostWindow* window = Window(handle);
    if (window == nullptr || text == nullptr) {
      return false;
    }
    window->text = text;
    if (window == &label) {
      PaintLabel();
      char line[32];
      std::snprintf(line, sizeof line, "status 0x%08X ", static_cast<unsigned>(labelColour));
      Record(line + label.text);
      Render(true);
    }
    return true;
  }

  bool Redraw(HWnd handle, std::uint32_t flags) {
    HostWindow* window = Window(handle);
    if (window == nullptr) {
      return false;
    }
    if (window == &label && (flags & RdwUpdateNow) != 0) {
      PaintLabel();
      Render(false);
    }
    return true;
  }

  // The label paints as a static control does: it asks its parent for colours and font.
  void PaintLabel() {
    HostDc dc;
    dc.textColour = kWindowTextColour;
    const LResult brush =
        dialogProc == nullptr
            ? 0
            : dialogProc(Handle(dialog), WmCtlColorStatic, reinterpret_cast<WParam>(&dc),
                         reinterpret_cast<LParam>(Handle(label)));
    labelColour = brush != 0 ? dc.textColour : kWindowTextColour;
    std::lock_guard lock(mutex);
    view.statusColour = labelColour;
    view.statusText = label.text;
    view.fontHeight = dc.font != nullptr ? dc.font->font.lfHeight : 0;
  }

  // --- Timers, threads, exit ---
  TimerId SetTimer(HWnd handle, TimerId id, std::uint32_t milliseconds) {
    if (Window(handle) != &dialog || id == 0) {
      return 0;
    }
    std::lock_guard lock(mutex);
    timerArmed = true;
    timerId = id;
    timerPeriod = milliseconds;
    timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    changed.notify_all();
    return id;
  }

  bool KillTimer(HWnd handle, TimerId id) {
    std::lock_guard lock(mutex);
    if (Window(handle) != &dialog || !timerArmed || id != timerId) {
      return false;
    }
    timerArmed = false;
    return true;
  }

  bool StartThread(ThreadProc entry, void* parameter) {
    {
      std::lock_guard lock(mutex);
      ++workers;
    }
    try {
      std::thread([this, entry, parameter] {
        entry(parameter);
        std::lock_guard lock(mutex);
        --workers;
        changed.notify_all();
      }).detach();
    } catch (...) {
      std::lock_guard lock(mutex);
      --workers;
      return false;
    }
    return true;
  }

  void Sleep(std::uint32_t milliseconds) {
    std::function<void(std::uint32_t)> sleep;
    {
      std::lock_guard lock(mutex);
      sleep = options.sleep;
    }
    if (sleep) {
      sleep(milliseconds);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
  }

  void Exit(int status) {
    if (options.exitEndsProcess) {
      EndScreenLine();
      if (options.beforeExit) {
        options.beforeExit(status);
      }
      std::fflush(nullptr);
      std::exit(status);
    }
    std::lock_guard lock(mutex);
    exitStatus = status;
    exitRequested = true;
    changed.notify_all();
  }

  bool WaitForWorkers(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return workers == 0; });
  }

  // --- Resources and GDI ---
  HRsrc FindResource(int id, const char* type) {
    if (!options.hasImage || id != IdrFirmwareImage || type == nullptr ||
        std::strcmp(type, FirmwareResourceType) != 0) {
      return nullptr;
    }
    return reinterpret_cast<HRsrc>(&imageResource);
  }
  HGlobal LoadResource(HRsrc resource) {
    return resource == reinterpret_cast<HRsrc>(&imageResource)
               ? reinterpret_cast<HGlobal>(&imageResource)
               : nullptr;
  }
  std::uint32_t SizeofResource(HRsrc resource) {
    return resource == reinterpret_cast<HRsrc>(&imageResource)
               ? static_cast<std::uint32_t>(options.imageSize)
               : 0;
  }
  const void* LockResource(HGlobal data) {
    return data == reinterpret_cast<HGlobal>(&imageResource) ? options.image : nullptr;
  }

  HGdiObj NewGdi(const HostGdi& object) {
    std::lock_guard lock(mutex);
    ++view.liveGdiObjects;
    return reinterpret_cast<HGdiObj>(new HostGdi(object));
  }
  bool DeleteGdi(HGdiObj handle) {
    auto* object = reinterpret_cast<HostGdi*>(handle);
    if (object == nullptr || object->stock) {
      return object != nullptr;
    }
    delete object;
    std::lock_guard lock(mutex);
    --view.liveGdiObjects;
    return true;
  }
  HGdiObj StockObject(int index) {
    return index == DefaultGuiFont ? reinterpret_cast<HGdiObj>(&defaultGuiFont) : nullptr;
  }

  // --- Output ---
  void Record(const std::string& line) {
    std::FILE* trace = nullptr;
    {
      std::lock_guard lock(mutex);
      events.push_back(line);
      view.progress = progress;
      trace = options.uiTrace;
    }
    if (trace != nullptr) {
      std::fprintf(trace, "%s\n", line.c_str());
      std::fflush(trace);
    }
  }

  void ShowTitle() {
    if (options.screen == nullptr) {
      return;
    }
    if (options.terminal) {
      std::fprintf(options.screen, "\x1b[1m%s\x1b[0m\n", DialogCaption);
    } else {
      std::fprintf(options.screen, "%s\n", DialogCaption);
    }
    std::fflush(options.screen);
  }

  // A terminal line is redrawn on every paint; a plain line is written for each text or position
  // set (`set`), not for the redraws in between.
  void Render(bool set) {
    std::FILE* screen = options.screen;
    if (screen == nullptr) {
      return;
    }
    if (!options.terminal) {
      if (!set) {
        return;
      }
      char line[320];
      std::snprintf(line, sizeof line, "[%3d%%] %s\n", progress, label.text.c_str());
      // Setting a position or text to what it already shows is no change to report.
      if (lastPlainLine != line) {
        lastPlainLine = line;
        std::fputs(line, screen);
        std::fflush(screen);
      }
      return;
    }
    constexpr int kBarWidth = 30;
    const int filled = progress * kBarWidth / 100;
    std::string bar(static_cast<std::size_t>(filled < 0           ? 0
                                             : filled > kBarWidth ? kBarWidth
                                                                  : filled),
                    '#');
    bar.resize(kBarWidth, '.');
    const char* colour = labelColour == StatusRed    ? "\x1b[31m"
                         : labelColour == StatusBlue ? "\x1b[34m"
                                                     : "";
    std::fprintf(screen, "\r\x1b[2K%s%-28s\x1b[0m [%s] %3d%%", colour, label.text.c_str(),
                 bar.c_str(), progress);
    std::fflush(screen);
    lineOpen = true;
  }

  void EndScreenLine() {
    if (options.screen != nullptr && options.terminal && lineOpen) {
      std::fputc('\n', options.screen);
      std::fflush(options.screen);
      lineOpen = false;
    }
  }

  std::mutex mutex;
  std::condition_variable changed;
  HostOptions options;
  DlgProc dialogProc = nullptr;
  std::thread::id interfaceThread;
  bool running = false;
  bool closed = false;
  bool exitRequested = false;
  int exitStatus = -1;
  std::deque<Task*> queue;
  bool timerArmed = false;
  TimerId timerId = 0;
  std::uint32_t timerPeriod = 0;
  std::chrono::steady_clock::time_point timerDue;
  int workers = 0;
  std::vector<std::string> events;
  HostView view;

  // Touched on the interface thread only.
  HostWindow dialog{IddReflashDialog, DialogCaption};
  HostWindow label{IdcStatusLabel, StatusLabelInitialText};
  HostWindow progressBar{IdcProgressBar, ""};
  HostWindow okButton{IdOk, "OK"};
  HostWindow cancelButton{IdCancel, "Cancel"};
  int progress = 0;
  ColorRef labelColour = kWindowTextColour;
  bool lineOpen = false;
  std::string lastPlainLine;
  HostGdi defaultGuiFont;
  HostResource imageResource;
};

// Never destroyed: a detached worker may still be leaving its last send at process exit.
Host& TheHost() {
  static Host* host = new Host;
  return *host;
}

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
    [](std::uint32_t milliseconds) { TheHost().Sleep(milliseconds); },
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
