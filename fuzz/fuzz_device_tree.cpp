// CheckDevicePresent over a device tree whose shape and property bytes come from the fuzz
// input, checked against the walk worked out independently here.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/check_device_present.h"
#include "seams/device_tree.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kNoSuchValue = 0x25;
constexpr std::uint32_t kBufferSmall = 0x1A;

struct Property {
  std::uint32_t result = kNoSuchValue;
  std::string bytes;          // written as they are: terminated or not, one text or several
  std::uint32_t claimed = 0;  // the length reported back, which may be more than was written
  bool truncates = false;     // a value too long is cut to the buffer and reported as read
};

struct Node {
  int parent = -1;
  std::vector<int> children;
  Property klass;
  Property hardwareIds;
  int visits = 0;
};

std::vector<Node> tree;
bool rootMissing = false;

Node* At(DevNode node) {
  return node >= 1 && node <= tree.size() ? &tree[node - 1] : nullptr;
}

ConfigRet LocateRoot(DevNode* node) {
  *node = 1;
  return rootMissing ? 0x13 : kSuccess;
}

ConfigRet GetChild(DevNode* child, DevNode node) {
  const Node* n = At(node);
  FUZZ_REQUIRE(n != nullptr);
  if (n->children.empty()) {
    return 0x0D;
  }
  *child = static_cast<DevNode>(n->children.front() + 1);
  return kSuccess;
}

ConfigRet GetSibling(DevNode* sibling, DevNode node) {
  const Node* n = At(node);
  FUZZ_REQUIRE(n != nullptr);
  if (n->parent < 0) {
    return 0x0D;
  }
  const std::vector<int>& row = tree[n->parent].children;
  for (std::size_t i = 0; i + 1 < row.size(); ++i) {
    if (row[i] + 1 == static_cast<int>(node)) {
      *sibling = static_cast<DevNode>(row[i + 1] + 1);
      return kSuccess;
    }
  }
  return 0x0D;
}

ConfigRet GetParent(DevNode* parent, DevNode node) {
  const Node* n = At(node);
  FUZZ_REQUIRE(n != nullptr);
  if (n->parent < 0) {
    return 0x0D;
  }
  *parent = static_cast<DevNode>(n->parent + 1);
  return kSuccess;
}

// Writes no more than the caller's length; a value that does not fit is refused as the
// platform refuses it, unless the property is set to claim success all the same.
ConfigRet GetProperty(DevNode node, std::uint32_t property, void* buffer, std::uint32_t* length) {
  Node* n = At(node);
  FUZZ_REQUIRE(n != nullptr && buffer != nullptr && length != nullptr);
  FUZZ_REQUIRE(property == 8 || property == 2);
  if (property == 8) {
    ++n->visits;
  }
  const Property& p = property == 8 ? n->klass : n->hardwareIds;
  if (p.result == kSuccess && p.bytes.size() > *length && !p.truncates) {
    *length = static_cast<std::uint32_t>(p.bytes.size());
    return kBufferSmall;
  }
  std::memcpy(buffer, p.bytes.data(), std::min<std::size_t>(p.bytes.size(), *length));
  *length = p.claimed;
  return p.result;
}

constexpr DeviceTreeOps kTree{LocateRoot, GetChild, GetSibling, GetParent, GetProperty};

// A property: a byte of result and length claim, a length byte (0-255, or 256-300 with the
// claim's top bit), then its bytes; a few fixed texts make the interesting values easy to reach.
Property ReadProperty(fuzz::Input& in) {
  Property p;
  const std::uint8_t kind = in.ByteOr(0xFF);
  p.result = (kind & 3) == 3 ? kNoSuchValue : kSuccess;
  std::size_t length = in.ByteOr(0);
  if (kind & 0x80) {
    length = 256 + length % 45;
  }
  for (std::size_t i = 0; i < length && in.Left() > 0; ++i) {
    p.bytes.push_back(static_cast<char>(in.ByteOr(0)));
  }
  p.truncates = kind & 0x20;
  p.claimed = (kind & 0x40) ? 0xFFFFFFFFu : static_cast<std::uint32_t>(p.bytes.size());
  return p;
}

bool Delivered(const Property& p) {
  return p.result == kSuccess && (p.bytes.size() <= 260 || p.truncates);
}

// The text the walk sees, or nothing when the read fails or ends in no terminator.
bool Readable(const Property& p, std::string& text) {
  const std::string seen = p.bytes.substr(0, 260);
  if (!Delivered(p) || seen.find('\0') == std::string::npos) {
    return false;
  }
  text = seen.substr(0, seen.find('\0'));
  return true;
}

bool WellFormed() {
  for (const Node& n : tree) {
    for (const Property* p : {&n.klass, &n.hardwareIds}) {
      // Short and unterminated: what follows in the caller's buffer decides.
      if (Delivered(*p) && p->bytes.size() < 260 && p->bytes.find('\0') == std::string::npos) {
        return false;
      }
    }
  }
  return true;
}

// Pre-order over the tree: the root, then each child's subtree in sibling order.
int Expected(int node, const std::string& prefix, bool& imageSeen) {
  std::string text;
  if (Readable(tree[node].klass, text) && text == "Image") {
    imageSeen = true;
    std::string ids;
    if (Readable(tree[node].hardwareIds, ids) && ids.size() >= prefix.size()) {
      bool same = true;
      for (std::size_t i = 0; same && i < prefix.size(); ++i) {
        same = std::tolower(static_cast<unsigned char>(ids[i])) ==
               std::tolower(static_cast<unsigned char>(prefix[i]));
      }
      if (same) {
        return 2;
      }
    }
  }
  for (const int child : tree[node].children) {
    if (Expected(child, prefix, imageSeen) == 2) {
      return 2;
    }
  }
  return imageSeen ? 1 : 0;
}

}  // namespace

// Byte 0: root missing (bit 7), which id (bits 0-1: either id, or a text from the input);
// byte 1: node count (1-40); per node a parent byte (any earlier node) and its two properties.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t shape = in.ByteOr(0);
  rootMissing = shape & 0x80;
  std::string id = (shape & 3) == 1 ? "vid_0c45&pid_6320" : "vid_1f3a&pid_5c72";
  if ((shape & 3) == 3) {
    id.assign(in.ByteOr(0), 'x');
    for (char& c : id) {
      c = static_cast<char>(in.ByteOr('x') | 1);  // never a terminator
    }
  }
  tree.assign(1 + in.ByteOr(0) % 40, Node{});
  for (std::size_t i = 0; i < tree.size(); ++i) {
    if (i > 0) {
      tree[i].parent = static_cast<int>(in.ByteOr(0) % i);
      tree[tree[i].parent].children.push_back(static_cast<int>(i));
    }
    tree[i].klass = ReadProperty(in);
    tree[i].hardwareIds = ReadProperty(in);
  }

  InstallDeviceTree(&kTree);
  const int result = CheckDevicePresent(id.c_str());
  FUZZ_REQUIRE(result >= 0 && result <= 2);
  if (rootMissing) {
    FUZZ_REQUIRE(result == 0);
    return 0;
  }
  for (const Node& n : tree) {
    FUZZ_REQUIRE(n.visits <= 1);
    FUZZ_REQUIRE(n.visits == 1 || result == 2);  // only a match ends the walk early
  }
  if (WellFormed()) {
    bool imageSeen = false;
    FUZZ_REQUIRE(result == Expected(0, "usb\\" + id, imageSeen));
  }
  return 0;
}
