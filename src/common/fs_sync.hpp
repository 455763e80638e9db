#pragma once

namespace qb {

/// Flushes the file's data to stable storage: F_FULLFSYNC on macOS, where fsync only
/// reaches the drive's cache, fsync elsewhere. Retries while interrupted. Returns 0 or
/// the errno of the failure.
int flush_to_storage(int fd);

} // namespace qb
