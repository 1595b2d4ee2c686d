#pragma once
// Thin window-framework roles (window, static text, progress bar, dialog) over the windowing seam.

#include "seams/windowing.h"

class CWnd {
 public:
  virtual ~CWnd() = default;

  // Binds this object to control `id` of `parent` (the dialog's data exchange).
  bool SubclassDlgItem(int id, const CWnd& parent);
  bool SetWindowText(const char* text) const;
  LResult SendMessage(std::uint32_t message, WParam wParam, LParam lParam) const;
  HWnd GetSafeHwnd() const { return window; }

 protected:
  HWnd window = nullptr;
  friend class CDialog;
};

class CStatic : public CWnd {};

class CProgressCtrl : public CWnd {
 public:
  // PBM_SETPOS, sent synchronously; the default range 0..100 is kept.
  LResult SetPos(int position) const;
};

class CDialog : public CWnd {
 public:
  explicit CDialog(int templateId) : templateId(templateId) {}
  // Runs the dialog modally on the calling thread; returns only if the dialog's run ends.
  LResult DoModal();

 protected:
  virtual void DoDataExchange() {}
  // Base initialisation: binds the controls.
  virtual bool OnInitDialog();
  // The dialog's window procedure; 0 hands the message on to default processing.
  virtual LResult WindowProc(std::uint32_t message, WParam wParam, LParam lParam) = 0;

 private:
  static LResult DialogProc(HWnd dialog, std::uint32_t message, WParam wParam, LParam lParam);

  int templateId;
};
