#include "sim_fixture.h"

#include <cstring>

namespace simtest {

std::array<std::uint8_t, 32> Header(std::uint32_t selector, std::uint32_t flags,
                                    std::uint32_t node) {
  std::array<std::uint8_t, 32> header{};
  std::memcpy(header.data(), &ExtensionUnitSet, 16);
  for (int i = 0; i < 4; ++i) {
    header[16 + i] = static_cast<std::uint8_t>(selector >> (8 * i));
    header[20 + i] = static_cast<std::uint8_t>(flags >> (8 * i));
    header[24 + i] = static_cast<std::uint8_t>(node >> (8 * i));
  }
  return header;
}

void SimFixture::SetUp() {
  ops_ = sim::MediaCaptureTable();
}

void SimFixture::TearDown() {
  unbind();
  sim::ResetSimulator();
}

void SimFixture::build(const sim::WorldOptions& options) {
  unbind();
  device_ = sim::BuildOneCameraWorld(options);
  ASSERT_NE(device_, nullptr);
  ASSERT_TRUE(rebind());
}

bool SimFixture::rebind() {
  unbind();
  ops_->coInitialize();
  McObject* devEnum = nullptr;
  McObject* classEnum = nullptr;
  McObject* moniker = nullptr;
  bool ok = ops_->createDeviceEnumerator(&devEnum) == McOk &&
            ops_->createClassEnumerator(devEnum, VideoInputCategory, &classEnum, 0) == McOk &&
            ops_->enumNext(classEnum, &moniker) == McOk &&
            ops_->bindToObject(moniker, &filter_) == McOk &&
            ops_->queryInterface(filter_, IidKsControl, &control_) == McOk;
  for (McObject* object : {moniker, classEnum, devEnum}) {
    if (object != nullptr) {
      ops_->release(object);
    }
  }
  if (!ok) {
    unbind();
  }
  return ok;
}

void SimFixture::unbind() {
  if (control_ != nullptr) {
    ops_->release(control_);
    control_ = nullptr;
  }
  if (filter_ != nullptr) {
    ops_->release(filter_);
    filter_ = nullptr;
    ops_->coUninitialize();
  } else if (sim::ApartmentDepth() > 0) {
    ops_->coUninitialize();
  }
}

HResult SimFixture::request(std::uint32_t selector, std::uint32_t flags, std::uint32_t node,
                            std::uint8_t* data, std::uint32_t length) {
  auto header = Header(selector, flags, node);
  std::uint32_t returned = 0;
  return ops_->ksProperty(control_, header.data(), 32, data, length, &returned);
}

HResult SimFixture::set(std::uint32_t selector, Record record) {
  return request(selector, 0x10000002, node(), record.data(),
                 static_cast<std::uint32_t>(record.size()));
}

HResult SimFixture::get(std::uint32_t selector, Record& record) {
  record.assign(RecordLength[selector], 0);
  return request(selector, 0x10000001, node(), record.data(),
                 static_cast<std::uint32_t>(record.size()));
}

bool SimFixture::writeReg(std::uint16_t address, std::uint8_t value) {
  return set(1, {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8),
                 value, 0x00}) == McOk;
}

std::optional<std::uint8_t> SimFixture::readReg(std::uint16_t address) {
  if (set(1, {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8),
              0x00, 0xFF}) != McOk) {
    return std::nullopt;
  }
  Record answer;
  if (get(1, answer) != McOk) {
    return std::nullopt;
  }
  return answer[2];
}

int SimFixture::waitDone() {
  int polls = 1;
  for (; polls <= 1000 && readReg(0x1084) != 1; ++polls) {
    ops_->sleep(1);
  }
  return polls;
}

void SimFixture::sendByte(std::uint8_t value) {
  writeReg(0x1082, value);
  writeReg(0x1081, 1);
  waitDone();
}

std::uint8_t SimFixture::receiveByte() {
  writeReg(0x1083, 0);
  writeReg(0x1081, 2);
  waitDone();
  return readReg(0x1083).value_or(0xEE);
}

void SimFixture::spiCommand(std::initializer_list<std::uint8_t> bytes) {
  spiEnable(true);
  select();
  for (std::uint8_t value : bytes) {
    sendByte(value);
  }
  release();
  spiEnable(false);
}

std::uint8_t SimFixture::readStatus() {
  spiEnable(true);
  select();
  sendByte(0x05);
  const std::uint8_t status = receiveByte();
  release();
  spiEnable(false);
  return status;
}

void SimFixture::writeStatus(std::uint8_t value, bool enableWriteStatus) {
  spiCommand({0x06});
  if (enableWriteStatus) {
    spiCommand({0x50});
  }
  spiCommand({0x01, value});
}

void SimFixture::driveWriteProtect(bool high, int pin) {
  const auto mask = static_cast<std::uint8_t>(1u << pin);
  writeReg(0x1007, mask);
  writeReg(0x1006, high ? mask : static_cast<std::uint8_t>(~mask));
}

void SimFixture::waitReady() {
  for (int i = 0; i < 100000 && (readStatus() & 1) != 0; ++i) {
    ops_->sleep(1);
  }
}

HResult SimFixture::chipWrite(std::uint16_t address, std::vector<std::uint8_t> bytes) {
  Record record(12, 0);
  record[0] = static_cast<std::uint8_t>(address & 0xFF);
  record[1] = static_cast<std::uint8_t>(address >> 8);
  record[2] = static_cast<std::uint8_t>(bytes.size());
  std::memcpy(record.data() + 3, bytes.data(), bytes.size());
  return set(3, record);
}

HResult SimFixture::chipReadStart(std::uint16_t address, std::uint8_t count) {
  return set(3, {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8),
                 static_cast<std::uint8_t>(0x80 + count), 0, 0, 0, 0, 0, 0, 0, 0, 0});
}

HResult SimFixture::chipReadNext(Record& record) {
  return get(3, record);
}

HResult SimFixture::chipErase() {
  return set(3, {0, 0, 0xC8, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}

void SimFixture::unlockChipWrites(std::uint8_t programCode) {
  writeReg(0x05F3, 0x06);
  for (int i = 0; i < 4; ++i) {
    writeReg(static_cast<std::uint16_t>(0x05F8 + i), UnlockCode[i]);
  }
  writeReg(0x05F5, programCode);
}

std::vector<std::uint8_t> SimFixture::chipRead(std::uint16_t address, std::size_t count) {
  std::vector<std::uint8_t> out;
  if (chipReadStart(address, 8) != McOk) {
    return out;
  }
  Record record;
  while (out.size() < count && chipReadNext(record) == McOk) {
    for (int i = 0; i < 8 && out.size() < count; ++i) {
      out.push_back(record[3 + i]);
    }
  }
  return out;
}

}  // namespace simtest
