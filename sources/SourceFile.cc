#include "sources/SourceFile.h"

#include <sys/stat.h>

#include "model/Error.h"

namespace quirna {

void requireExists(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw OCRError::fileNotFound();
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace quirna
