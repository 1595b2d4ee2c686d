#include "testrig/usbip/usbip_session.h"

#include <algorithm>

#include "testrig/usbip/usbip_codec.h"

namespace usbip {

namespace {

// Larger than any transfer this device takes; a bigger length means the stream is out of step.
constexpr std::int32_t MaxTransfer = 1 << 20;
constexpr std::int32_t MaxPackets = 1024;
constexpr std::size_t PacketDescriptorSize = 16;

void AppendReply(const Reply& reply, const std::uint8_t* data, std::size_t size,
                 std::vector<std::uint8_t>& out) {
  std::uint8_t header[HeaderSize];
  EncodeReply(reply, header);
  out.insert(out.end(), header, header + HeaderSize);
  out.insert(out.end(), data, data + size);
}

}  // namespace

bool Session::feed(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
  if (left_ != Leave::none) {
    return true;
  }
  input_.insert(input_.end(), data, data + size);
  bool needMore = false;
  while (!needMore && left_ == Leave::none) {
    if (!serveOne(out, needMore)) {
      return false;
    }
  }
  return true;
}

bool Session::serveOne(std::vector<std::uint8_t>& out, bool& needMore) {
  if (input_.size() < HeaderSize) {
    needMore = true;
    return true;
  }
  const Command command = DecodeCommand(input_.data());
  std::size_t total = HeaderSize;
  if (command.command == CmdSubmit) {
    if (command.transferBufferLength < 0 || command.transferBufferLength > MaxTransfer ||
        command.numberOfPackets > MaxPackets) {
      return false;
    }
    if (command.direction == DirectionOut) {
      total += static_cast<std::size_t>(command.transferBufferLength);
    }
    // Isochronous packet descriptors follow the data; this device has no such endpoint, but
    // the stream has to stay in step.
    if (command.numberOfPackets > 0) {
      total += PacketDescriptorSize * static_cast<std::size_t>(command.numberOfPackets);
    }
  } else if (command.command != CmdUnlink) {
    return false;
  }
  if (input_.size() < total) {
    needMore = true;
    return true;
  }
  if (command.command == CmdSubmit) {
    submit(command, input_.data() + HeaderSize, out);
  } else {
    unlink(command, out);
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(total));
  return true;
}

void Session::submit(const Command& command, const std::uint8_t* data,
                     std::vector<std::uint8_t>& out) {
  const bool in = command.direction == DirectionIn;
  const auto length = static_cast<std::uint32_t>(command.transferBufferLength);
  TransferResult result = device_.submit(command.ep, in, command.setup, in ? nullptr : data,
                                         in ? 0 : length, in ? length : 0);
  if (result.pending) {
    pending_.push_back(command.seqnum);
    return;
  }
  Reply reply;
  reply.command = RetSubmit;
  reply.seqnum = command.seqnum;
  reply.status = result.status;
  reply.numberOfPackets = command.numberOfPackets;
  if (in) {
    reply.actualLength = static_cast<std::int32_t>(result.data.size());
    AppendReply(reply, result.data.data(), result.data.size(), out);
  } else {
    reply.actualLength = static_cast<std::int32_t>(result.outAccepted);
    AppendReply(reply, nullptr, 0, out);
  }
  left_ = device_.takeLeave();
}

void Session::unlink(const Command& command, std::vector<std::uint8_t>& out) {
  Reply reply;
  reply.command = RetUnlink;
  reply.seqnum = command.seqnum;
  const auto found = std::find(pending_.begin(), pending_.end(), command.unlinkSeqnum);
  if (found != pending_.end()) {
    pending_.erase(found);
    reply.status = StatusUnlinked;
  }
  AppendReply(reply, nullptr, 0, out);
}

}  // namespace usbip
