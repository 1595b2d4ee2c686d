#pragma once
// The windowing seam: the window-system calls the front end makes, one entry per Win32 call.

#include <cstdint>

// Opaque handles; each platform gives them its own meaning (the Win32 table casts its handles).
struct WinWindow;
struct WinGdiObject;
struct WinDc;
struct WinIcon;
struct WinResource;
struct WinGlobal;
using HWnd = WinWindow*;
using HGdiObj = WinGdiObject*;  // brushes and fonts
using HDc = WinDc*;
using HIcon = WinIcon*;
using HRsrc = WinResource*;
using HGlobal = WinGlobal*;

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using ColorRef = std::uint32_t;  // 0x00BBGGRR
using TimerId = std::uintptr_t;

// A dialog procedure (INT_PTR CALLBACK DlgProc): nonzero when handled, 0 for default processing.
using DlgProc = LResult (*)(HWnd dialog, std::uint32_t message, WParam wParam, LParam lParam);
// A thread entry (LPTHREAD_START_ROUTINE); the result is the thread's exit code.
using ThreadProc = std::uint32_t (*)(void* parameter);

// Window messages and their constants, with their Win32 values.
inline constexpr std::uint32_t WmClose = 0x0010;
inline constexpr std::uint32_t WmPaint = 0x000F;
inline constexpr std::uint32_t WmQueryDragIcon = 0x0037;
inline constexpr std::uint32_t WmSetIcon = 0x0080;
inline constexpr std::uint32_t WmInitDialog = 0x0110;
inline constexpr std::uint32_t WmCommand = 0x0111;
inline constexpr std::uint32_t WmTimer = 0x0113;
inline constexpr std::uint32_t WmCtlColorStatic = 0x0138;
inline constexpr std::uint32_t WmUser = 0x0400;
inline constexpr std::uint32_t PbmSetPos = WmUser + 2;
inline constexpr int IdOk = 1;
inline constexpr int IdCancel = 2;
inline constexpr WParam IconSmall = 0;
inline constexpr WParam IconBig = 1;
inline constexpr int CtlColorStatic = 6;
inline constexpr int ColorWindowText = 8;
inline constexpr int ColorBtnFace = 15;
inline constexpr int DefaultGuiFont = 17;
inline constexpr int BkModeTransparent = 1;
inline constexpr std::uint32_t RdwInvalidate = 0x0001;
inline constexpr std::uint32_t RdwErase = 0x0004;
inline constexpr std::uint32_t RdwUpdateNow = 0x0100;
inline constexpr std::uint32_t IccAllClasses = 0xFF;  // list view ... animation
inline constexpr std::uint32_t InitCommonControlsExSize = 8;

// LOGFONTA, field for field.
struct LogFontA {
  std::int32_t lfHeight;
  std::int32_t lfWidth;
  std::int32_t lfEscapement;
  std::int32_t lfOrientation;
  std::int32_t lfWeight;
  std::uint8_t lfItalic;
  std::uint8_t lfUnderline;
  std::uint8_t lfStrikeOut;
  std::uint8_t lfCharSet;
  std::uint8_t lfOutPrecision;
  std::uint8_t lfClipPrecision;
  std::uint8_t lfQuality;
  std::uint8_t lfPitchAndFamily;
  char lfFaceName[32];
};

struct WindowingOps {
  // InitCommonControlsEx({size, classes}).
  bool (*initCommonControls)(std::uint32_t size, std::uint32_t classes);
  // DialogBoxParamA(module, MAKEINTRESOURCE(templateId), parent, proc, param): runs the dialog's
  // message loop on the calling thread, which becomes the interface thread.
  LResult (*dialogBoxParam)(int templateId, HWnd parent, DlgProc proc, LParam param);
  // GetDlgItem(dialog, id).
  HWnd (*getDlgItem)(HWnd dialog, int id);
  // LoadIconA(module, MAKEINTRESOURCE(id)).
  HIcon (*loadIcon)(int id);
  // SendMessageA: the window's handler has run when it returns; a caller on another thread blocks
  // until the interface thread has handled the message.
  LResult (*sendMessage)(HWnd window, std::uint32_t message, WParam wParam, LParam lParam);
  // SetWindowTextA.
  bool (*setWindowText)(HWnd window, const char* text);
  // RedrawWindow(window, nullptr, nullptr, flags); with RdwUpdateNow the paint is done on return.
  bool (*redrawWindow)(HWnd window, std::uint32_t flags);
  // SetTimer(window, id, milliseconds, nullptr) -> id, 0 on failure; KillTimer(window, id).
  TimerId (*setTimer)(HWnd window, TimerId id, std::uint32_t milliseconds);
  bool (*killTimer)(HWnd window, TimerId id);
  // CreateThread(nullptr, 0, entry, parameter, 0, nullptr): runs at once; nobody waits for it,
  // so the handle is closed by the platform. False when no thread could be started.
  bool (*createThread)(ThreadProc entry, void* parameter);
  // Sleep(milliseconds).
  void (*sleep)(std::uint32_t milliseconds);
  // exit(status): the runtime's normal exit. A host for tests may instead end the dialog's run,
  // record the status and return; the caller then returns without touching anything else.
  void (*exit)(int status);
  // FindResourceA(module, MAKEINTRESOURCE(id), type), LoadResource, SizeofResource, LockResource.
  HRsrc (*findResource)(int id, const char* type);
  HGlobal (*loadResource)(HRsrc resource);
  std::uint32_t (*sizeofResource)(HRsrc resource);
  const void* (*lockResource)(HGlobal data);
  // GetSysColor, CreateSolidBrush, GetStockObject, GetObjectA, CreateFontIndirectA, DeleteObject.
  ColorRef (*getSysColor)(int index);
  HGdiObj (*createSolidBrush)(ColorRef colour);
  HGdiObj (*getStockObject)(int index);
  int (*getObject)(HGdiObj object, int size, void* out);
  HGdiObj (*createFontIndirect)(const LogFontA* font);
  bool (*deleteObject)(HGdiObj object);
  // SelectObject, SetTextColor, SetBkMode on the device context of a control-colour request.
  HGdiObj (*selectObject)(HDc dc, HGdiObj object);
  ColorRef (*setTextColor)(HDc dc, ColorRef colour);
  int (*setBkMode)(HDc dc, int mode);
  // WideCharToMultiByte(CP_ACP, 0, text, -1, out, outSize, nullptr, nullptr): bytes written with
  // the terminating 0, or 0 when out is too small (out may then hold a part, unterminated).
  int (*wideCharToMultiByte)(const char16_t* text, char* out, int outSize);
};

// Installed once at start-up by the platform, before the application object runs.
void InstallWindowing(const WindowingOps* ops);
const WindowingOps* Windowing();

// A WideCharToMultiByte for platforms whose multibyte code page is UTF-8.
int Utf16ToUtf8(const char16_t* text, char* out, int outSize);
