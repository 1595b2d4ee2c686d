// The interface thread of the console host: its message loop, synchronous sends, the one-shot
// timer, worker threads, sleep and exit.

#include "platform/console/host.h"

#include <cstdio>
#include <cstdlib>

namespace console {

LResult Host::DialogBox(int templateId, DlgProc proc, LParam param) {
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

void Host::RunLoop() {
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

void Host::Finish(Task* task, LResult result) {
  if (task->posted) {
    delete task;
    return;
  }
  task->result = result;
  task->done = true;
}

// Runs `work` on the interface thread and returns its result: directly when called there (or
// before any dialog runs), otherwise by queueing it and blocking until it has run.
LResult Host::OnInterfaceThread(const std::function<LResult()>& work) {
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

void Host::Post(std::uint32_t message, WParam wParam, LParam lParam) {
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

TimerId Host::SetTimer(HWnd handle, TimerId id, std::uint32_t milliseconds) {
  if (Window(handle) != &dialog || id == 0) {
    return 0;
  }
  Note("timer " + std::to_string(milliseconds));
  std::lock_guard lock(mutex);
  timerArmed = true;
  timerId = id;
  timerPeriod = milliseconds;
  timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  changed.notify_all();
  return id;
}

bool Host::KillTimer(HWnd handle, TimerId id) {
  std::lock_guard lock(mutex);
  if (Window(handle) != &dialog || !timerArmed || id != timerId) {
    return false;
  }
  timerArmed = false;
  return true;
}

bool Host::StartThread(ThreadProc entry, void* parameter) {
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

void Host::Sleep(std::uint32_t milliseconds) {
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

void Host::Exit(int status) {
  Note("exit " + std::to_string(status));
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

bool Host::WaitForWorkers(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] { return workers == 0; });
}

}  // namespace console
