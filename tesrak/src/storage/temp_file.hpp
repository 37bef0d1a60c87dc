#pragma once

#include <optional>
#include <string>
#include <utility>

#include "support/file_descriptor.hpp"

namespace tesrak::detail {

// A new file in `directory`, open for reading and writing, that leaves
// nothing behind unless committed. Where the file system allows, it has no
// name until the commit, so that not even a killed process leaves it;
// elsewhere it is named from the start and removed again on failure.
class TempFile {
 public:
  // `directory` ends in "/", or is "" for the working directory. None when
  // the directory refuses new files; throws IoError for other errors.
  static std::optional<TempFile> create(const std::string& directory);

  TempFile(std::string directory, std::string path, FileDescriptor fd) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  int fd() const noexcept { return fd_.get(); }

  // Renames the complete, synced file to `target`, replacing whatever file
  // is there. Returns 0, or the error code of a refused rename. A refused
  // file loses its name again at once, so that a process killed later
  // leaves nothing behind, and stays open to be read (take_contents).
  int commit(const std::string& target);

  // The open file, given up to the caller, once its commit was refused.
  FileDescriptor take_contents() noexcept { return std::move(fd_); }

 private:
  void name_unnamed();

  std::string directory_;
  std::string path_;  // empty while the file has no name
  FileDescriptor fd_;
  bool committed_ = false;
};

}  // namespace tesrak::detail
