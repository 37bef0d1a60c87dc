#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "storage/byte_stream.hpp"
#include "support/file_descriptor.hpp"
#include "tesrak/wait_hook.hpp"

namespace tesrak::detail {

// The mode a new file is made with; open() takes the umask off it.
inline constexpr mode_t kNewFileMode = 0666;

// Throws IoError (invalid input) when `path` holds a NUL byte, which no
// file name can contain.
void refuse_nul_in_path(const std::string& path);

// An open file, and whether its reads and writes may have to wait for a
// peer: the other end of a pipe, the user at a terminal.
struct OpenFile {
  FileDescriptor fd;
  bool waits_for_peer;
};

// Opens `path` with `flags` (and 0666 less the umask for a new file)
// without waiting: a FIFO opens at once for reading, and fails at once
// (ENXIO) for writing when no reader has it open. Pipes and character
// devices stay non-blocking, to be waited for through a hook; everything
// else reads and writes blocking. Throws IoError from errno.
OpenFile open_without_waiting(const std::string& path, int flags);

// The content of the file at `path`, read piece by piece. Throws IoError
// from errno, on opening and on any read.
//
// The file is opened without waiting: a FIFO that no writer has open reads
// as empty at once. A pipe or character device whose writer has written
// nothing yet is waited for in slices handed to `hook`, which may throw to
// give up.
class FileReader final : public ByteSource {
 public:
  explicit FileReader(const std::string& path, WaitHook hook = {});
  // An open regular file, read from its start.
  explicit FileReader(FileDescriptor file);
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  std::span<const std::uint8_t> next() override;

 private:
  FileDescriptor fd_;
  bool waits_for_peer_;
  WaitHook hook_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  bool ended_ = false;
};

// Puts bytes into an open file. Throws IoError from errno.
class FileSink final : public ByteSink {
 public:
  // A file that takes every write at once.
  explicit FileSink(int fd) noexcept : fd_(fd) {}
  // A non-blocking file whose peer may keep a write waiting, in slices
  // handed to `hook`, which outlives the sink and may throw to give up.
  FileSink(int fd, const WaitHook& hook) noexcept : fd_(fd), hook_(&hook) {}

  void put(std::span<const std::uint8_t> bytes) override;

 private:
  int fd_;
  const WaitHook* hook_ = nullptr;
};

}  // namespace tesrak::detail
