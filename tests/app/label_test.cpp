// CLabel on the console host: construction defaults, font height, colour, and owned objects.

#include <cstdint>
#include <cstring>
#include <vector>

#include "app/label.h"
#include "app/run_state.h"
#include "tests/app/front_end_fixture.h"

namespace apptest {
namespace {

class LabelTest : public FrontEndTest {
 protected:
  void SetUp() override {
    FrontEndTest::SetUp();
    console::InstallConsoleHost(TestHostOptions());
  }

  static LogFontA DefaultGuiFontDescription() {
    LogFontA setup{};
    Windowing()->getObject(Windowing()->getStockObject(DefaultGuiFont), sizeof setup, &setup);
    return setup;
  }
};

// The console host answers these codes by the same header, so they are pinned to the platform's.
TEST_F(LabelTest, WindowingCodesAreThePlatformsOwn) {
  EXPECT_EQ(ColorWindowText, 8);      // COLOR_WINDOWTEXT
  EXPECT_EQ(ColorBtnFace, 15);        // COLOR_BTNFACE
  EXPECT_EQ(DefaultGuiFont, 17);      // DEFAULT_GUI_FONT
  EXPECT_EQ(RdwInvalidate, 0x0001u);  // RDW_INVALIDATE
  EXPECT_EQ(RdwErase, 0x0004u);       // RDW_ERASE
  EXPECT_EQ(RdwUpdateNow, 0x0100u);   // RDW_UPDATENOW
}

TEST_F(LabelTest, StartsInWindowTextColourWithTheDefaultGuiFont) {
  const CLabel label;
  EXPECT_EQ(label.textColour.load(), Windowing()->getSysColor(ColorWindowText));
  EXPECT_NE(label.faceBrush, nullptr);
  EXPECT_NE(label.labelFont, nullptr);
  const LogFontA expected = DefaultGuiFontDescription();
  EXPECT_EQ(label.fontSpec.lfHeight, expected.lfHeight);
  EXPECT_STREQ(label.fontSpec.lfFaceName, expected.lfFaceName);
  EXPECT_EQ(console::View().liveGdiObjects, 2);
}

TEST_F(LabelTest, FontHeightIsANegativeCharacterHeightInTheSameFace) {
  CLabel label;
  label.ChangeFontHeight(18);
  EXPECT_EQ(label.fontSpec.lfHeight, -18);
  EXPECT_STREQ(label.fontSpec.lfFaceName, DefaultGuiFontDescription().lfFaceName);
  LogFontA made{};
  Windowing()->getObject(label.labelFont, sizeof made, &made);
  EXPECT_EQ(made.lfHeight, -18);
  // The old font was deleted, not leaked: still one brush and one font.
  EXPECT_EQ(console::View().liveGdiObjects, 2);
}

// Both changes are on the screen when the call returns: each asks for an immediate whole redraw.
std::vector<std::uint32_t> redraws;

TEST_F(LabelTest, ColourAndFontChangesRedrawAtOnce) {
  WindowingOps ops = *Windowing();
  ops.redrawWindow = [](HWnd, std::uint32_t flags) {
    redraws.push_back(flags);
    return true;
  };
  InstallWindowing(&ops);
  redraws.clear();
  {
    struct ShownLabel : CLabel {
      ShownLabel() { window = reinterpret_cast<HWnd>(std::uintptr_t{0x1001}); }
    } label;
    label.ChangeTextColour(0x000000FF);
    EXPECT_EQ(label.textColour.load(), 0x000000FFu);
    label.ChangeFontHeight(18);
  }
  EXPECT_EQ(redraws, (std::vector<std::uint32_t>{0x0105, 0x0105}));
  console::InstallConsoleHost(TestHostOptions());
}

TEST_F(LabelTest, DestructionDeletesFontAndBrush) {
  {
    CLabel label;
    label.ChangeFontHeight(18);
  }
  EXPECT_EQ(console::View().liveGdiObjects, 0);
}

}  // namespace
}  // namespace apptest
