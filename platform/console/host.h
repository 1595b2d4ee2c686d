#pragma once
// The console host's model of the dialog: its windows, message queue, timer, workers and output,
// shared by the files that implement the windowing seam on it.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "product/product.h"
#include "product/resource_ids.h"
#include "platform/console/console_host.h"

namespace console {

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
  void Install(const HostOptions& newOptions);

  // --- Windows ---
  HWnd Handle(HostWindow& window) { return reinterpret_cast<HWnd>(&window); }
  HostWindow* Window(HWnd handle);

  HWnd GetDlgItem(HWnd parent, int id);

  // --- The interface thread ---
  LResult DialogBox(int templateId, DlgProc proc, LParam param);

  void RunLoop();

  void FireTimer() {
    Note("timer fired");
    Dispatch(Handle(dialog), WmTimer, timerId, 0);
  }

  static void Finish(Task* task, LResult result);

  // Runs `work` on the interface thread and returns its result: directly when called there (or
  // before any dialog runs), otherwise by queueing it and blocking until it has run.
  LResult OnInterfaceThread(const std::function<LResult()>& work);

  void Post(std::uint32_t message, WParam wParam, LParam lParam);

  // The window procedures of the host's windows, with the default dialog processing.
  LResult Dispatch(HWnd handle, std::uint32_t message, WParam wParam, LParam lParam);

  bool SetText(HWnd handle, const char* text);

  bool Redraw(HWnd handle, std::uint32_t flags);

  // The label paints as a static control does: it asks its parent for colours and font.
  void PaintLabel();

  // --- Timers, threads, exit ---
  TimerId SetTimer(HWnd handle, TimerId id, std::uint32_t milliseconds);

  bool KillTimer(HWnd handle, TimerId id);

  bool StartThread(ThreadProc entry, void* parameter);

  void Sleep(std::uint32_t milliseconds);

  void Exit(int status);

  bool WaitForWorkers(std::chrono::milliseconds timeout);

  // --- Resources and GDI ---
  HRsrc FindResource(int id, const char* type);
  HGlobal LoadResource(HRsrc resource);
  std::uint32_t SizeofResource(HRsrc resource);
  const void* LockResource(HGlobal data);

  HGdiObj NewGdi(const HostGdi& object);
  bool DeleteGdi(HGdiObj handle);
  HGdiObj StockObject(int index);

  // --- Output ---
  void Record(const std::string& line);
  // One event for the timeline.
  void Note(const std::string& event);

  void ShowTitle();

  // A terminal line is redrawn on every paint; a plain line is written for each text or position
  // set (`set`), not for the redraws in between.
  void Render(bool set);

  void EndScreenLine();

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

// The one host; never destroyed, because a detached worker may still be leaving its last send at
// process exit.
Host& TheHost();

}  // namespace console
