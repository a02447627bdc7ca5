#include "sources/SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace quirna {

SourceFile::SourceFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    missing_ = true;
    return;
  }
  if (!S_ISREG(info.st_mode)) return;
  // Non-blocking, so that a FIFO put in the file's place since the stat opens at once (and is
  // refused below) instead of waiting for a writer.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return;
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
      ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(descriptor);
    return;
  }
  descriptor_ = descriptor;
}

SourceFile::~SourceFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

SourceFile::SourceFile(SourceFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), missing_(other.missing_) {}

int SourceFile::release() { return std::exchange(descriptor_, -1); }

std::FILE* SourceFile::releaseStream() {
  if (descriptor_ < 0) return nullptr;
  std::FILE* stream = ::fdopen(descriptor_, "rb");
  if (stream != nullptr) descriptor_ = -1;
  return stream;
}

}  // namespace quirna
