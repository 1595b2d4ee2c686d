#pragma once
// The USB/IP messages between the virtual host controller and a device: 48-byte big-endian
// headers, OUT data after a submit, IN data after its reply.

#include <cstddef>
#include <cstdint>

namespace usbip {

inline constexpr std::size_t HeaderSize = 48;

inline constexpr std::uint32_t CmdSubmit = 1;
inline constexpr std::uint32_t CmdUnlink = 2;
inline constexpr std::uint32_t RetSubmit = 3;
inline constexpr std::uint32_t RetUnlink = 4;

inline constexpr std::uint32_t DirectionOut = 0;
inline constexpr std::uint32_t DirectionIn = 1;

// Status codes of a reply, as the host's errno values, negated.
inline constexpr std::int32_t StatusOk = 0;
inline constexpr std::int32_t StatusStall = -32;      // EPIPE
inline constexpr std::int32_t StatusUnlinked = -104;  // ECONNRESET

// A command from the host controller: a submit or an unlink.
struct Command {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t ep = 0;
  // Submit only.
  std::uint32_t transferFlags = 0;
  std::int32_t transferBufferLength = 0;
  std::int32_t startFrame = 0;
  std::int32_t numberOfPackets = 0;
  std::int32_t interval = 0;
  std::uint8_t setup[8] = {};
  // Unlink only: the submit to take back.
  std::uint32_t unlinkSeqnum = 0;
};

// A reply from the device: to a submit (status, actual length) or to an unlink (status).
struct Reply {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  std::int32_t actualLength = 0;
  std::int32_t numberOfPackets = 0;
};

void EncodeCommand(const Command& command, std::uint8_t* header);
Command DecodeCommand(const std::uint8_t* header);
void EncodeReply(const Reply& reply, std::uint8_t* header);
Reply DecodeReply(const std::uint8_t* header);

}  // namespace usbip
