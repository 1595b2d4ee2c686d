#include "app/wnd.h"

#include <atomic>

namespace {
// The one modal dialog; the dialog procedure has no other way to find its object.
std::atomic<CDialog*> modalDialog{nullptr};
}  // namespace

bool CWnd::SubclassDlgItem(int id, const CWnd& parent) {
  window = Windowing()->getDlgItem(parent.window, id);
  return window != nullptr;
}

bool CWnd::SetWindowText(const char* text) const {
  return Windowing()->setWindowText(window, text);
}

LResult CWnd::SendMessage(std::uint32_t message, WParam wParam, LParam lParam) const {
  return Windowing()->sendMessage(window, message, wParam, lParam);
}

LResult CProgressCtrl::SetPos(int position) const {
  return SendMessage(PbmSetPos, static_cast<WParam>(position), 0);
}

LResult CDialog::DoModal() {
  modalDialog.store(this);
  const LResult result = Windowing()->dialogBoxParam(templateId, nullptr, &CDialog::DialogProc,
                                                     reinterpret_cast<LParam>(this));
  modalDialog.store(nullptr);
  window = nullptr;
  return result;
}

bool CDialog::OnInitDialog() {
  DoDataExchange();
  return true;
}

LResult CDialog::DialogProc(HWnd dialog, std::uint32_t message, WParam wParam, LParam lParam) {
  CDialog* self = modalDialog.load();
  if (self == nullptr) {
    return 0;
  }
  if (message == WmInitDialog) {
    self->window = dialog;
  }
  return self->WindowProc(message, wParam, lParam);
}
