#pragma once

#include <QtGlobal>

// Writes all `size` bytes from `data` to `fd`, at `offset` (pwrite) or, with a negative offset,
// where the file stands (write); interrupted calls are resumed. Returns 0, or the errno of the
// failure (ENOSPC when the system takes no byte).
[[nodiscard]] int writeAll(int fd, const char *data, qint64 size, qint64 offset = -1);
