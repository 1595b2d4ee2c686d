// Writes the update dialog's template as the window system reads it (an extended dialog
// template), so the progress bar keeps its class name exactly as written; the resource
// compiler would upper-case it (usage: dialog_template_generator OUT.bin).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t WsPopup = 0x80000000;
constexpr std::uint32_t WsChild = 0x40000000;
constexpr std::uint32_t WsVisible = 0x10000000;
constexpr std::uint32_t WsCaption = 0x00C00000;
constexpr std::uint32_t WsGroup = 0x00020000;
constexpr std::uint32_t WsTabStop = 0x00010000;
constexpr std::uint32_t DsSetFont = 0x00000040;
constexpr std::uint32_t DsModalFrame = 0x00000080;
constexpr std::uint32_t WsExAppWindow = 0x00040000;
constexpr std::uint32_t PbsSmooth = 0x00000001;
constexpr std::uint32_t SsCenter = 0x00000001;
constexpr std::uint32_t SsCenterImage = 0x00000200;
constexpr std::uint32_t BsPushButton = 0x00000000;
constexpr std::uint16_t ButtonAtom = 0x0080;
constexpr std::uint16_t StaticAtom = 0x0082;

class Writer {
 public:
  void Word(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void Dword(std::uint32_t v) {
    Word(static_cast<std::uint16_t>(v));
    Word(static_cast<std::uint16_t>(v >> 16));
  }
  void Byte(std::uint8_t v) { bytes_.push_back(v); }
  // A zero-terminated text of 16-bit characters (the texts here are ASCII).
  void Text(const std::string& text) {
    for (char c : text) {
      Word(static_cast<std::uint8_t>(c));
    }
    Word(0);
  }
  void Atom(std::uint16_t atom) {
    Word(0xFFFF);
    Word(atom);
  }
  void AlignDword() {
    while (bytes_.size() % 4 != 0) {
      bytes_.push_back(0);
    }
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct Control {
  std::uint32_t id;
  std::uint32_t style;
  std::int16_t x, y, cx, cy;
  const char* className;  // null: the predefined class given by `atom`
  std::uint16_t atom;
  const char* text;
};

void WriteControl(Writer& out, const Control& c) {
  out.AlignDword();
  out.Dword(0);  // help id
  out.Dword(0);  // extended style
  out.Dword(c.style);
  out.Word(static_cast<std::uint16_t>(c.x));
  out.Word(static_cast<std::uint16_t>(c.y));
  out.Word(static_cast<std::uint16_t>(c.cx));
  out.Word(static_cast<std::uint16_t>(c.cy));
  out.Dword(c.id);
  if (c.className != nullptr) {
    out.Text(c.className);
  } else {
    out.Atom(c.atom);
  }
  out.Text(c.text);
  out.Word(0);  // no creation data
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.bin\n", argv[0]);
    return 2;
  }
  const Control controls[] = {
      {1000, WsChild | WsVisible | PbsSmooth, 7, 30, 305, 14, "msctls_progress32", 0, ""},
      {1001, WsChild | WsVisible | WsGroup | SsCenter | SsCenterImage, 7, 7, 305, 16, nullptr,
       StaticAtom, "Test"},
      {2, WsChild | WsTabStop | BsPushButton, 248, 17, 50, 14, nullptr, ButtonAtom, "Cancel"},
      {1, WsChild | WsTabStop | BsPushButton, 176, 22, 50, 14, nullptr, ButtonAtom, "OK"},
  };

  Writer out;
  out.Word(1);       // template version
  out.Word(0xFFFF);  // extended template
  out.Dword(0);      // help id
  out.Dword(WsExAppWindow);
  out.Dword(DsSetFont | DsModalFrame | WsPopup | WsVisible | WsCaption);
  out.Word(static_cast<std::uint16_t>(sizeof controls / sizeof controls[0]));
  out.Word(0);  // x
  out.Word(0);  // y
  out.Word(319);
  out.Word(52);
  out.Word(0);  // no menu
  out.Word(0);  // the system's dialog class
  out.Text("Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7");
  out.Word(9);    // point size
  out.Word(400);  // weight
  out.Byte(0);    // not italic
  out.Byte(0);    // character set
  out.Text("Arial");
  for (const Control& c : controls) {
    WriteControl(out, c);
  }

  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const auto& bytes = out.Bytes();
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return (std::fclose(file) == 0 && ok) ? 0 : 1;
}
