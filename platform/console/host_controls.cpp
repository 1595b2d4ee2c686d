// The console host's windows and controls: the dialog, the status label, the progress bar, the
// image resource and the brushes and fonts the label paints with.

#include "platform/console/host.h"

#include <cstdio>
#include <cstring>

#include "platform/console/timeline.h"

namespace console {
namespace {

std::string ColourName(ColorRef colour) {
  if (colour == StatusBlue) {
    return "blue";
  }
  if (colour == StatusRed) {
    return "red";
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(colour));
  return hex;
}

}  // namespace

HostWindow* Host::Window(HWnd handle) {
  for (HostWindow* window : {&dialog, &label, &progressBar, &okButton, &cancelButton}) {
    if (Handle(*window) == handle) {
      return window;
    }
  }
  return nullptr;
}

HWnd Host::GetDlgItem(HWnd parent, int id) {
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

// The window procedures of the host's windows, with the default dialog processing.
LResult Host::Dispatch(HWnd handle, std::uint32_t message, WParam wParam, LParam lParam) {
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
    Note("progress " + std::to_string(progress));
    Render(true);
    return previous;
  }
  return 0;
}

bool Host::SetText(HWnd handle, const char* text) {
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
    Note("status " + ColourName(labelColour) + " " + Timeline::Quoted(label.text));
    Render(true);
  }
  return true;
}

bool Host::Redraw(HWnd handle, std::uint32_t flags) {
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
void Host::PaintLabel() {
  HostDc dc;
  dc.textColour = kWindowTextColour;
  const LResult brush = dialogProc == nullptr ? 0
                                              : dialogProc(Handle(dialog), WmCtlColorStatic,
                                                           reinterpret_cast<WParam>(&dc),
                                                           reinterpret_cast<LParam>(Handle(label)));
  labelColour = brush != 0 ? dc.textColour : kWindowTextColour;
  std::lock_guard lock(mutex);
  view.statusColour = labelColour;
  view.statusText = label.text;
  view.fontHeight = dc.font != nullptr ? dc.font->font.lfHeight : 0;
}

HRsrc Host::FindResource(int id, const char* type) {
  if (!options.hasImage || id != IdrFirmwareImage || type == nullptr ||
      std::strcmp(type, FirmwareResourceType) != 0) {
    return nullptr;
  }
  return reinterpret_cast<HRsrc>(&imageResource);
}

HGlobal Host::LoadResource(HRsrc resource) {
  return resource == reinterpret_cast<HRsrc>(&imageResource)
             ? reinterpret_cast<HGlobal>(&imageResource)
             : nullptr;
}

std::uint32_t Host::SizeofResource(HRsrc resource) {
  return resource == reinterpret_cast<HRsrc>(&imageResource)
             ? static_cast<std::uint32_t>(options.imageSize)
             : 0;
}

const void* Host::LockResource(HGlobal data) {
  return data == reinterpret_cast<HGlobal>(&imageResource) ? options.image : nullptr;
}

HGdiObj Host::NewGdi(const HostGdi& object) {
  std::lock_guard lock(mutex);
  ++view.liveGdiObjects;
  return reinterpret_cast<HGdiObj>(new HostGdi(object));
}

bool Host::DeleteGdi(HGdiObj handle) {
  auto* object = reinterpret_cast<HostGdi*>(handle);
  if (object == nullptr || object->stock) {
    return object != nullptr;
  }
  delete object;
  std::lock_guard lock(mutex);
  --view.liveGdiObjects;
  return true;
}

HGdiObj Host::StockObject(int index) {
  return index == DefaultGuiFont ? reinterpret_cast<HGdiObj>(&defaultGuiFont) : nullptr;
}

}  // namespace console
