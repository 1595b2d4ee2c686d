#include "camera/xu_transport.h"

#include <algorithm>
#include <cstring>

#include "camera/camera.h"
#include "camera/camera_state.h"
#include "camera/chip_registers.h"
#include "seams/media_capture.h"
#include "seams/platform_ids.h"

namespace {

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint8_t Lo(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t Hi(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}

constexpr std::uint32_t SetFlags = KsPropertyTypeSet | KsPropertyTypeTopology;
constexpr std::uint32_t GetFlags = KsPropertyTypeGet | KsPropertyTypeTopology;

// The control interface of the bound filter for the length of one operation.
class XuControl {
 public:
  XuControl() {
    ops_ = CamMediaCapture();
    McObject* filter = cameraBinding.boundFilter;
    if (ops_ == nullptr || filter == nullptr) {
      return;
    }
    McObject* control = nullptr;
    if (ops_->queryInterface(filter, IID_IKsControl_, &control) == McOk && control != nullptr) {
      control_ = control;
    }
  }
  ~XuControl() {
    if (control_ != nullptr) {
      ops_->release(control_);
    }
  }
  XuControl(const XuControl&) = delete;
  XuControl& operator=(const XuControl&) = delete;

  bool Ready() const { return control_ != nullptr; }

  // True only for a result of exactly 0; other success codes count as failure too.
  bool Set(std::uint32_t selector, std::uint8_t* record) {
    return Send(selector, SetFlags, record) == McOk;
  }
  // The byte count the platform reports matters only where it leaves out a byte that is read:
  // the zeros left there would pass for a register value or a configuration byte, and could leave
  // a flash unprotected after a pass. `needed` may depend on the answer itself (a count byte).
  template <typename Needed>
  bool Get(std::uint32_t selector, std::uint8_t* record, Needed needed) {
    std::memset(record, 0, XuRecordLength[selector]);
    std::uint32_t returned = 0;
    if (Send(selector, GetFlags, record, &returned) != McOk) {
      return false;
    }
    if (returned < needed(record)) {
      ++shortAnswersRejected[selector];
      return false;
    }
    return true;
  }

 private:
  // Every request's result tells whether the camera is still there.
  HResult Send(std::uint32_t selector, std::uint32_t flags, std::uint8_t* record,
               std::uint32_t* returned = nullptr) {
    std::uint8_t header[KspNodeLength];
    XuBuildHeader(header, selector, flags, cameraBinding.xuNodeId);
    std::uint32_t ignored = 0;
    const HResult result =
        ops_->ksProperty(control_, header, KspNodeLength, record, XuRecordLength[selector],
                         returned != nullptr ? returned : &ignored);
    CamNoteRequest(result);
    return result;
  }

  const MediaCaptureOps* ops_ = nullptr;
  McObject* control_ = nullptr;
};

bool SetOnly(std::uint32_t selector, std::uint8_t* record) {
  XuControl xu;
  return xu.Ready() && xu.Set(selector, record);
}

// A read made of a request (SET) and its answer (GET); the GET goes out only after a good SET.
template <typename Needed>
bool SetThenGet(std::uint32_t selector, std::uint8_t* record, Needed needed) {
  XuControl xu;
  return xu.Ready() && xu.Set(selector, record) && xu.Get(selector, record, needed);
}

template <typename Needed>
bool GetOnly(std::uint32_t selector, std::uint8_t* record, Needed needed) {
  XuControl xu;
  return xu.Ready() && xu.Get(selector, record, needed);
}

// An answer that must reach at least this many bytes, whatever it holds.
auto Through(std::uint32_t bytes) {
  return [bytes](const std::uint8_t*) { return bytes; };
}

}  // namespace

void XuBuildHeader(std::uint8_t* header, std::uint32_t selector, std::uint32_t flags,
                   std::uint32_t nodeId) {
  PutLe32(header, XuPropertySet.data1);
  header[4] = static_cast<std::uint8_t>(XuPropertySet.data2);
  header[5] = static_cast<std::uint8_t>(XuPropertySet.data2 >> 8);
  header[6] = static_cast<std::uint8_t>(XuPropertySet.data3);
  header[7] = static_cast<std::uint8_t>(XuPropertySet.data3 >> 8);
  std::memcpy(header + 8, XuPropertySet.data4, 8);
  PutLe32(header + 16, selector);
  PutLe32(header + 20, flags);
  PutLe32(header + 24, nodeId);
  PutLe32(header + 28, 0);
}

bool opAsicWrite(int /*slot*/, std::uint16_t reg, std::uint8_t value) {
  std::uint8_t record[4] = {Lo(reg), Hi(reg), value, 0x00};
  return SetOnly(XuSelectorRegister, record);
}

bool opAsicRead(int /*slot*/, std::uint16_t reg, std::uint8_t* value) {
  if (value == nullptr) {
    return false;
  }
  std::uint8_t record[4] = {Lo(reg), Hi(reg), 0x00, 0xFF};
  if (!SetThenGet(XuSelectorRegister, record, Through(3))) {
    return false;
  }
  *value = record[2];
  return true;
}

std::uint32_t BusByteCount(std::uint8_t control) {
  const std::uint32_t leading = (control >> 4) == 2 ? 2 : 1;
  return leading + (control & 0x0F);
}

bool opBusWrite(std::uint8_t first, std::uint8_t control, const std::uint8_t* data) {
  if (data == nullptr) {
    return false;
  }
  std::uint8_t record[8] = {first, control};
  // Bytes 2-6 carry the caller's bytes; byte 7 is the direction, so at most five fit.
  const std::uint32_t n = std::min<std::uint32_t>(BusByteCount(control), 5);
  std::memcpy(record + 2, data, n);
  record[7] = 0x00;
  return SetOnly(XuSelectorBus, record);
}

bool opBusRead(std::uint8_t first, std::uint8_t control, std::uint8_t* data) {
  if (data == nullptr) {
    return false;
  }
  const std::uint32_t n = BusByteCount(control);
  const bool twoLeading = (control >> 4) == 2;
  std::uint8_t record[8] = {first, control, data[0], twoLeading ? data[1] : std::uint8_t{0},
                            0,     0,       0,       0xFF};
  // The answer has six bytes after the two echoed ones; more than that is not in the record.
  const std::uint32_t delivered = std::min<std::uint32_t>(n, 6);
  if (!SetThenGet(XuSelectorBus, record, Through(2 + delivered))) {
    return false;
  }
  std::memcpy(data, record + 2, delivered);
  return true;
}

bool xuFlashWrite(std::uint16_t address, std::uint8_t length, const std::uint8_t* data) {
  const std::uint8_t n = std::min<std::uint8_t>(length, 8);
  std::uint8_t record[12] = {Lo(address), Hi(address), n};
  if (n > 0) {
    std::memcpy(record + 3, data, n);
  }
  return SetOnly(XuSelectorFlash, record);
}

bool xuFlashReadStart(std::uint16_t address, std::uint8_t length) {
  std::uint8_t record[12] = {Lo(address), Hi(address),
                             static_cast<std::uint8_t>(0x80 + std::min<std::uint8_t>(length, 8))};
  return SetOnly(XuSelectorFlash, record);
}

bool xuFlashReadNext(std::uint8_t* out8, std::uint32_t used) {
  std::uint8_t record[12];
  if (!GetOnly(XuSelectorFlash, record, Through(3 + std::min<std::uint32_t>(used, 8)))) {
    return false;
  }
  std::memcpy(out8, record + 3, 8);
  return true;
}

bool opFlashErase(int /*slot*/) {
  std::uint8_t record[12] = {0x00, 0x00, 0xC8};
  return SetOnly(XuSelectorFlash, record);
}

bool opFlashCommand(int /*slot*/, std::uint8_t code, std::uint16_t value) {
  std::uint8_t record[12] = {0x00, 0x00, 0x40, code, Lo(value), Hi(value)};
  return SetOnly(XuSelectorFlash, record);
}

bool xuMemoryRead(std::uint16_t address, std::uint8_t* out, std::uint32_t room) {
  std::uint8_t record[12] = {Lo(address), Hi(address), 0x08};
  const auto delivered = [room](const std::uint8_t* answer) {
    return std::min<std::uint32_t>({answer[2], 9, room});
  };
  if (!SetThenGet(XuSelectorMemory, record,
                  [&](const std::uint8_t* answer) { return 3 + delivered(answer); })) {
    return false;
  }
  const std::uint32_t count = delivered(record);
  if (count > 0) {
    std::memcpy(out, record + 3, count);
  }
  return true;
}

bool opInfoByte(int /*slot*/, std::uint8_t* value) {
  std::uint8_t record[12];
  if (value == nullptr || !GetOnly(XuSelectorInfo, record, Through(3))) {
    return false;
  }
  *value = record[2];
  return true;
}

bool opInfoWord(int /*slot*/, std::uint16_t* value) {
  std::uint8_t record[12];
  if (value == nullptr || !GetOnly(XuSelectorInfo, record, Through(2))) {
    return false;
  }
  *value = static_cast<std::uint16_t>(record[0] | (record[1] << 8));
  return true;
}

namespace {

std::uint16_t Low16(std::uint32_t address) {
  return static_cast<std::uint16_t>(address & 0xFFFF);
}

// One request of a block transfer: `count` bytes at `address`, to or from `data`.
bool TransferStep(std::uint8_t mode, std::uint32_t address, std::uint8_t* data, std::uint32_t count,
                  bool readStarted) {
  switch (mode) {
    case TransferFlashWrite:
      return xuFlashWrite(Low16(address), static_cast<std::uint8_t>(count), data);
    case TransferFlashRead: {
      if (!readStarted && !xuFlashReadStart(Low16(address), static_cast<std::uint8_t>(count))) {
        return false;
      }
      std::uint8_t scratch[8];
      if (!xuFlashReadNext(scratch, count)) {
        return false;
      }
      std::memcpy(data, scratch, std::min<std::uint32_t>(count, 8));
      return true;
    }
    default:
      return xuMemoryRead(Low16(address), data, count);
  }
}

}  // namespace

bool opTransfer(int /*slot*/, std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                std::uint32_t length, std::uint32_t chunk) {
  if (mode != TransferFlashWrite && mode != TransferFlashRead && mode != TransferMemoryRead) {
    return false;
  }
  if (buffer == nullptr) {
    return false;
  }
  std::uint32_t full = 0;
  std::uint32_t tail = 0;
  if (chunk != 0) {
    chunk = std::min<std::uint32_t>(chunk, 8);
    full = length / chunk;
    tail = length % chunk;
  }
  std::uint32_t position = 0;

  // A write that starts inside a chunk first fills up to the next chunk boundary.
  if (mode == TransferFlashWrite && chunk != 0 && address % chunk != 0) {
    const std::uint32_t head = chunk - address % chunk;
    if (head >= length) {
      return xuFlashWrite(Low16(address), static_cast<std::uint8_t>(length), buffer);
    }
    if (!xuFlashWrite(Low16(address), static_cast<std::uint8_t>(head), buffer)) {
      return false;
    }
    position = head;
    full = (length - head) / chunk;
    tail = (length - head) % chunk;
  }

  // The device moves its read position on by itself, so one read start serves every full chunk.
  if (mode == TransferFlashRead && full > 0 &&
      !xuFlashReadStart(Low16(address + position), static_cast<std::uint8_t>(chunk))) {
    return false;
  }
  for (std::uint32_t i = 0; i < full; ++i) {
    if (!TransferStep(mode, address + position, buffer + position, chunk, true)) {
      return false;
    }
    position += chunk;
  }
  if (full > 0 && tail == 0) {
    return true;
  }
  return TransferStep(mode, address + position, buffer + position, tail, false);
}
