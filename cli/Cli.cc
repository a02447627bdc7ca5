#include "cli/Cli.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <thread>

#include "model/Error.h"
#include "model/Json.h"
#include "sources/ImageSource.h"
#include "sources/PDFSource.h"

namespace quirna {
namespace {

constexpr std::string_view usageLine = "Usage: quirna-ocr <file-path>";

Outcome failure(std::string_view description) {
  return {encodeErrorObject(description), 1, std::string(description)};
}

}  // namespace

unsigned usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

const DispatchTable& dispatchTable() {
  static const DispatchTable table = {
      {"pdf", openPDFPages},    {"jpg", openImagePages},  {"jpeg", openImagePages},
      {"png", openImagePages},  {"heic", openImagePages}, {"heif", openImagePages},
      {"tiff", openImagePages}, {"tif", openImagePages},  {"bmp", openImagePages},
      {"gif", openImagePages},
  };
  return table;
}

const DispatchEntry& dispatch(const std::string& filePath, const DispatchTable& table) {
  const std::string extension = pathExtension(filePath);
  for (const DispatchEntry& entry : table) {
    if (entry.extension == extension) return entry;
  }
  throw OCRError::unsupportedFormat();
}

std::string pathExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

void writeToStderr(std::string_view message) {
  std::string bytes(message);
  bytes += '\n';
  writeAll(STDERR_FILENO, bytes);
}

Outcome outcomeOf(const std::function<std::vector<OCRResult>()>& recognize) {
  try {
    return {encodeResults(recognize()), 0};
  } catch (const std::exception& error) {
    return failure(error.what());
  } catch (...) {
    // Nothing of ours throws other types; a library that does must still not end the run
    // without its line.
    return failure("Unknown error");
  }
}

Outcome runSource(const std::string& filePath, const DispatchTable& table) {
  // An image is one page: a second worker starts only to help read its bands.
  return outcomeOf(
      [&] { return recognizeDocument(*dispatch(filePath, table).pages(filePath), usableCores()); });
}

int runMain(int argc, const char* const* argv, const DispatchTable& table) {
  if (argc < 2) {
    writeToStderr(usageLine);
    return 1;
  }
  // A closed pipe must show as a failed write (status 1), not kill the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  const Outcome outcome = runSource(argv[1], table);
  if (!writeAll(STDOUT_FILENO, outcome.line + '\n')) return 1;
  return outcome.status;
}

}  // namespace quirna
