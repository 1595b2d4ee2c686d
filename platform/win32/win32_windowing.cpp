#include "platform/win32/win32_windowing.h"

#include <cstdlib>

#include <windows.h>
#include <commctrl.h>

namespace {

// The seam's handle types are never defined: each one is the Win32 handle itself.
template <typename To, typename From>
To Cast(From from) {
  return reinterpret_cast<To>(from);
}

// The portable dialog procedure; one modal dialog runs at a time.
DlgProc runningDialogProc = nullptr;

// A minimised dialog shows its icon centred in the client area on the icon-erased background,
// as the framework's dialogs do; the dialog's own procedure has no part in that painting.
bool PaintIconic(HWND dialog) {
  if (IsIconic(dialog) == FALSE) {
    return false;
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(dialog, &paint);
  SendMessageA(dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(dialog, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the icon handle travels as the message result.
  auto icon = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0));
  if (icon != nullptr) {
    DrawIcon(dc, x, y, icon);
  }
  EndPaint(dialog, &paint);
  return true;
}

INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (runningDialogProc == nullptr) {
    return FALSE;
  }
  const LResult handled = runningDialogProc(Cast<HWnd>(dialog), message, wParam, lParam);
  if (message == WM_PAINT && handled == 0 && PaintIconic(dialog)) {
    return TRUE;
  }
  return handled;
}

struct ThreadStart {
  ThreadProc entry;
  void* parameter;
};

DWORD WINAPI ThreadThunk(LPVOID start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return s.entry(s.parameter);
}

bool InitCommonControlsOp(std::uint32_t size, std::uint32_t classes) {
  INITCOMMONCONTROLSEX init{size, classes};
  return InitCommonControlsEx(&init) != FALSE;
}

LResult DialogBoxParamOp(int templateId, HWnd parent, DlgProc proc, LParam param) {
  runningDialogProc = proc;
  const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId),
                                         Cast<HWND>(parent), DialogThunk, param);
  runningDialogProc = nullptr;
  return result;
}

// A static control paints in its own font (the dialog's), selected after it asked its parent
// for colours; a font the parent's control-colour answer selects would be lost. Before each
// paint the bound static adopts that font, so the reflected answer decides font and colour alike.
void AdoptParentFont(HWND control) {
  HDC dc = GetDC(control);
  if (dc == nullptr) {
    return;
  }
  HGDIOBJ before = GetCurrentObject(dc, OBJ_FONT);
  SendMessageA(GetParent(control), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(control));
  HGDIOBJ chosen = GetCurrentObject(dc, OBJ_FONT);
  SelectObject(dc, before);
  ReleaseDC(control, dc);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the font handle travels as the message result.
  const auto current = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0));
  if (chosen != before && current != chosen) {
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), FALSE);
  }
}

LRESULT CALLBACK BoundStaticProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR) {
  if (message == WM_PAINT || message == WM_SETTEXT) {
    AdoptParentFont(control);
  }
  return DefSubclassProc(control, message, wParam, lParam);
}

// Binding a control subclasses it when it is a static text (the status label).
HWnd GetDlgItemOp(HWnd dialog, int id) {
  HWND control = GetDlgItem(Cast<HWND>(dialog), id);
  char className[16] = {};
  if (control != nullptr && GetClassNameA(control, className, sizeof className) > 0 &&
      lstrcmpiA(className, "Static") == 0) {
    SetWindowSubclass(control, BoundStaticProc, 1, 0);
  }
  return Cast<HWnd>(control);
}

HIcon LoadIconOp(int id) {
  return Cast<HIcon>(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id)));
}

LResult SendMessageOp(HWnd window, std::uint32_t message, WParam wParam, LParam lParam) {
  return SendMessageA(Cast<HWND>(window), message, wParam, lParam);
}

bool SetWindowTextOp(HWnd window, const char* text) {
  return SetWindowTextA(Cast<HWND>(window), text) != FALSE;
}

bool RedrawWindowOp(HWnd window, std::uint32_t flags) {
  return RedrawWindow(Cast<HWND>(window), nullptr, nullptr, flags) != FALSE;
}

TimerId SetTimerOp(HWnd window, TimerId id, std::uint32_t milliseconds) {
  return SetTimer(Cast<HWND>(window), id, milliseconds, nullptr);
}

bool KillTimerOp(HWnd window, TimerId id) {
  return KillTimer(Cast<HWND>(window), id) != FALSE;
}

// A plain Win32 thread that nobody joins: the process may end while it waits in a send.
bool CreateThreadOp(ThreadProc entry, void* parameter) {
  auto* start = new ThreadStart{entry, parameter};
  HANDLE thread = CreateThread(nullptr, 0, ThreadThunk, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

void SleepOp(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

void ExitOp(int status) {
  std::exit(status);
}

HRsrc FindResourceOp(int id, const char* type) {
  return Cast<HRsrc>(FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), type));
}

HGlobal LoadResourceOp(HRsrc resource) {
  return Cast<HGlobal>(LoadResource(GetModuleHandleA(nullptr), Cast<HRSRC>(resource)));
}

std::uint32_t SizeofResourceOp(HRsrc resource) {
  return SizeofResource(GetModuleHandleA(nullptr), Cast<HRSRC>(resource));
}

const void* LockResourceOp(HGlobal data) {
  return LockResource(Cast<HGLOBAL>(data));
}

ColorRef GetSysColorOp(int index) {
  return GetSysColor(index);
}

HGdiObj CreateSolidBrushOp(ColorRef colour) {
  return Cast<HGdiObj>(CreateSolidBrush(colour));
}

HGdiObj GetStockObjectOp(int index) {
  return Cast<HGdiObj>(GetStockObject(index));
}

int GetObjectOp(HGdiObj object, int size, void* out) {
  return GetObjectA(Cast<HGDIOBJ>(object), size, out);
}

HGdiObj CreateFontIndirectOp(const LogFontA* font) {
  static_assert(sizeof(LogFontA) == sizeof(LOGFONTA));
  return Cast<HGdiObj>(CreateFontIndirectA(reinterpret_cast<const LOGFONTA*>(font)));
}

bool DeleteObjectOp(HGdiObj object) {
  return DeleteObject(Cast<HGDIOBJ>(object)) != FALSE;
}

HGdiObj SelectObjectOp(HDc dc, HGdiObj object) {
  return Cast<HGdiObj>(SelectObject(Cast<HDC>(dc), Cast<HGDIOBJ>(object)));
}

ColorRef SetTextColorOp(HDc dc, ColorRef colour) {
  return SetTextColor(Cast<HDC>(dc), colour);
}

int SetBkModeOp(HDc dc, int mode) {
  return SetBkMode(Cast<HDC>(dc), mode);
}

int WideCharToMultiByteOp(const char16_t* text, char* out, int outSize) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(text), -1, out, outSize,
                             nullptr, nullptr);
}

const WindowingOps win32Windowing{
    .initCommonControls = InitCommonControlsOp,
    .dialogBoxParam = DialogBoxParamOp,
    .getDlgItem = GetDlgItemOp,
    .loadIcon = LoadIconOp,
    .sendMessage = SendMessageOp,
    .setWindowText = SetWindowTextOp,
    .redrawWindow = RedrawWindowOp,
    .setTimer = SetTimerOp,
    .killTimer = KillTimerOp,
    .createThread = CreateThreadOp,
    .sleep = SleepOp,
    .exit = ExitOp,
    .findResource = FindResourceOp,
    .loadResource = LoadResourceOp,
    .sizeofResource = SizeofResourceOp,
    .lockResource = LockResourceOp,
    .getSysColor = GetSysColorOp,
    .createSolidBrush = CreateSolidBrushOp,
    .getStockObject = GetStockObjectOp,
    .getObject = GetObjectOp,
    .createFontIndirect = CreateFontIndirectOp,
    .deleteObject = DeleteObjectOp,
    .selectObject = SelectObjectOp,
    .setTextColor = SetTextColorOp,
    .setBkMode = SetBkModeOp,
    .wideCharToMultiByte = WideCharToMultiByteOp,
};

}  // namespace

const WindowingOps* Win32WindowingOps() {
  return &win32Windowing;
}
