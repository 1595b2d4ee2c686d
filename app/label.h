#pragma once
// CLabel: the status line, a static control painted in its own font and text colour.

#include <atomic>

#include "app/wnd.h"

class CLabel : public CStatic {
 public:
  // Window-text colour, a button-face brush and the default GUI font's description and font.
  CLabel();
  ~CLabel() override;
  CLabel(const CLabel&) = delete;
  CLabel& operator=(const CLabel&) = delete;

  // A character height of `height` (the font's height field becomes -height); redraws at once.
  void ChangeFontHeight(int height);
  // Publishes the colour for the painting thread and redraws at once.
  void ChangeTextColour(ColorRef colour);
  // The reflected control-colour request: font, colour and transparent text for a static
  // control; the background brush whatever the request's type.
  HGdiObj OnCtlColor(HDc dc, int controlType);

  // Written by the worker, read when the interface thread paints: one atomic 32-bit value.
  std::atomic<ColorRef> textColour;
  HGdiObj faceBrush;
  LogFontA fontSpec;
  HGdiObj labelFont;

 private:
  void RedrawNow() const;
};
