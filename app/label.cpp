#include "app/label.h"

#include <cstring>

CLabel::CLabel()
    : textColour(Windowing()->getSysColor(ColorWindowText)),
      faceBrush(Windowing()->createSolidBrush(Windowing()->getSysColor(ColorBtnFace))),
      fontSpec{},
      labelFont(nullptr) {
  const WindowingOps* ops = Windowing();
  ops->getObject(ops->getStockObject(DefaultGuiFont), sizeof fontSpec, &fontSpec);
  labelFont = ops->createFontIndirect(&fontSpec);
}

CLabel::~CLabel() {
  const WindowingOps* ops = Windowing();
  if (labelFont != nullptr) {
    ops->deleteObject(labelFont);
  }
  if (faceBrush != nullptr) {
    ops->deleteObject(faceBrush);
  }
}

void CLabel::ChangeFontHeight(int height) {
  const WindowingOps* ops = Windowing();
  fontSpec.lfHeight = -height;
  if (labelFont != nullptr) {
    ops->deleteObject(labelFont);
  }
  labelFont = ops->createFontIndirect(&fontSpec);
  RedrawNow();
}

void CLabel::ChangeTextColour(ColorRef colour) {
  textColour.store(colour);
  RedrawNow();
}

HGdiObj CLabel::OnCtlColor(HDc dc, int controlType) {
  if (controlType == CtlColorStatic) {
    const WindowingOps* ops = Windowing();
    ops->selectObject(dc, labelFont);
    ops->setTextColor(dc, textColour.load());
    ops->setBkMode(dc, BkModeTransparent);
  }
  return faceBrush;
}

void CLabel::RedrawNow() const {
  if (window != nullptr) {
    Windowing()->redrawWindow(window, RdwInvalidate | RdwErase | RdwUpdateNow);
  }
}
