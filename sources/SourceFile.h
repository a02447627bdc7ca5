#pragma once

#include <cstdio>
#include <string>

namespace quirna {

// An input opened once: the decoders read the descriptor that was checked, never the path again,
// so a file swapped for a FIFO or device after the check cannot block the run.
class SourceFile {
 public:
  // Opens `path` for reading when it is a regular file (after links). Never blocks: anything else,
  // a directory, a FIFO or a device, is refused, before it is opened when the path shows it and by
  // the opened descriptor's own type otherwise.
  explicit SourceFile(const std::string& path);
  ~SourceFile();
  SourceFile(SourceFile&& other) noexcept;
  SourceFile& operator=(SourceFile&&) = delete;
  SourceFile(const SourceFile&) = delete;

  // Nothing exists at the path (a broken symbolic link counts as nothing).
  bool missing() const { return missing_; }
  // A regular file is open for reading.
  bool isOpen() const { return descriptor_ >= 0; }
  int descriptor() const { return descriptor_; }

  // Hands the descriptor over (-1 when none is open); the caller closes it.
  int release();
  // The descriptor as a buffered stream that owns it, or null when none is open.
  std::FILE* releaseStream();

 private:
  int descriptor_ = -1;
  bool missing_ = false;
};

}  // namespace quirna
