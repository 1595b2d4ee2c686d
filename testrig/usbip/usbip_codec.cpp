#include "testrig/usbip/usbip_codec.h"

#include <cstring>

namespace usbip {

namespace {

void Put(std::uint8_t* out, std::size_t offset, std::uint32_t value) {
  out[offset] = static_cast<std::uint8_t>(value >> 24);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 16);
  out[offset + 2] = static_cast<std::uint8_t>(value >> 8);
  out[offset + 3] = static_cast<std::uint8_t>(value);
}

std::uint32_t Get(const std::uint8_t* in, std::size_t offset) {
  return (std::uint32_t{in[offset]} << 24) | (std::uint32_t{in[offset + 1]} << 16) |
         (std::uint32_t{in[offset + 2]} << 8) | std::uint32_t{in[offset + 3]};
}

std::int32_t GetSigned(const std::uint8_t* in, std::size_t offset) {
  return static_cast<std::int32_t>(Get(in, offset));
}

// The five words every message begins with; replies leave devid, direction and ep at 0.
constexpr std::size_t OffsetCommand = 0;
constexpr std::size_t OffsetSeqnum = 4;
constexpr std::size_t OffsetDevid = 8;
constexpr std::size_t OffsetDirection = 12;
constexpr std::size_t OffsetEp = 16;
constexpr std::size_t OffsetBody = 20;
constexpr std::size_t OffsetSetup = 40;

}  // namespace

void EncodeCommand(const Command& command, std::uint8_t* header) {
  std::memset(header, 0, HeaderSize);
  Put(header, OffsetCommand, command.command);
  Put(header, OffsetSeqnum, command.seqnum);
  Put(header, OffsetDevid, command.devid);
  Put(header, OffsetDirection, command.direction);
  Put(header, OffsetEp, command.ep);
  if (command.command == CmdUnlink) {
    Put(header, OffsetBody, command.unlinkSeqnum);
    return;
  }
  Put(header, OffsetBody, command.transferFlags);
  Put(header, OffsetBody + 4, static_cast<std::uint32_t>(command.transferBufferLength));
  Put(header, OffsetBody + 8, static_cast<std::uint32_t>(command.startFrame));
  Put(header, OffsetBody + 12, static_cast<std::uint32_t>(command.numberOfPackets));
  Put(header, OffsetBody + 16, static_cast<std::uint32_t>(command.interval));
  // The setup packet travels as the USB bus carries it, not in network order.
  std::memcpy(header + OffsetSetup, command.setup, sizeof command.setup);
}

Command DecodeCommand(const std::uint8_t* header) {
  Command command;
  command.command = Get(header, OffsetCommand);
  command.seqnum = Get(header, OffsetSeqnum);
  command.devid = Get(header, OffsetDevid);
  command.direction = Get(header, OffsetDirection);
  command.ep = Get(header, OffsetEp);
  if (command.command == CmdUnlink) {
    command.unlinkSeqnum = Get(header, OffsetBody);
    return command;
  }
  command.transferFlags = Get(header, OffsetBody);
  command.transferBufferLength = GetSigned(header, OffsetBody + 4);
  command.startFrame = GetSigned(header, OffsetBody + 8);
  command.numberOfPackets = GetSigned(header, OffsetBody + 12);
  command.interval = GetSigned(header, OffsetBody + 16);
  std::memcpy(command.setup, header + OffsetSetup, sizeof command.setup);
  return command;
}

void EncodeReply(const Reply& reply, std::uint8_t* header) {
  std::memset(header, 0, HeaderSize);
  Put(header, OffsetCommand, reply.command);
  Put(header, OffsetSeqnum, reply.seqnum);
  Put(header, OffsetBody, static_cast<std::uint32_t>(reply.status));
  if (reply.command == RetSubmit) {
    Put(header, OffsetBody + 4, static_cast<std::uint32_t>(reply.actualLength));
    Put(header, OffsetBody + 12, static_cast<std::uint32_t>(reply.numberOfPackets));
  }
}

Reply DecodeReply(const std::uint8_t* header) {
  Reply reply;
  reply.command = Get(header, OffsetCommand);
  reply.seqnum = Get(header, OffsetSeqnum);
  reply.status = GetSigned(header, OffsetBody);
  if (reply.command == RetSubmit) {
    reply.actualLength = GetSigned(header, OffsetBody + 4);
    reply.numberOfPackets = GetSigned(header, OffsetBody + 12);
  }
  return reply;
}

}  // namespace usbip
