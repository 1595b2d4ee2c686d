#pragma once
// The lines `reflash` writes on standard error: one per distinct cause, for the chosen camera only,
// naming the node and what the operator does about it.

#include <cstdint>
#include <string>

namespace linuxplat {

// The node could not be opened for lack of permission (EACCES or EPERM): says which mode and
// owner were seen and what grants access, or that a security policy refused what the mode allows.
void NoticeOpenDenied(const std::string& node);

// The opened node is not the device the listing examined (it was replaced in between).
void NoticeWrongNode(const std::string& node, std::uint64_t listed, std::uint64_t opened);

// The opened node cannot be proven the camera's: sysfs gave no device number for it.
void NoticeNoDeviceNumber(const std::string& node);

// The opened node could not be examined (fstat failed with `error`).
void NoticeNodeStatFailed(const std::string& node, int error);

// An extension-unit query on `node` failed with `error`.
void NoticeRequestFailed(const std::string& node, int error, std::uint32_t unitId,
                         std::uint32_t selector, std::uint32_t length);

// Each cause is told once per process; tests start over with this.
void ResetNotices();

}  // namespace linuxplat
