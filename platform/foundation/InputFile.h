#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

// Opens `path` for reading without ever waiting on it: a FIFO, a device, a socket or a folder is
// refused (EISDIR for a folder, EINVAL for the rest) rather than waited on or read. Links are
// followed. An empty UniqueFd, with errno set, when there is no regular file to read.
UniqueFd openRegularFile(const std::string& path);
// The same for `name` in the folder open at `folder`, with `flags` added (O_NOFOLLOW).
UniqueFd openRegularFileAt(int folder, const std::string& name, int flags = 0);

// Why opening a regular file failed, in words for a person, from the errno it left.
std::string whyNotRegularFile(int error);

// The whole content of the file open at `fd`, from its start; none when it holds more than
// `limit` bytes (errno EFBIG) or cannot be read. Never reads more than `limit` + 1 bytes.
std::optional<std::string> readAtMost(int fd, std::size_t limit);

}  // namespace kilnware::platform
