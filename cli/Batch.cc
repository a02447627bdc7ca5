#include "cli/Batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "cli/BatchInputs.h"
#include "model/Error.h"
#include "model/Json.h"
#include "recognition/RecognitionPool.h"
#include "sources/PDFSource.h"

namespace quirna {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view usageText =
    "Usage: quirna-ocr-batch --output DIR [--jobs N] [--force | --retry-failed] [--shard K/N]\n"
    "                        [--quiet] [--from FILE|- [--null]] [PATH...]";

// A command line we cannot run: reported with the usage text, exit status 2.
class UsageError : public Error {
 public:
  using Error::Error;
};

struct Options {
  std::string output;
  std::vector<std::string> paths;
  std::optional<std::string> manifest;
  char separator = '\n';
  unsigned jobs = 0;
  bool force = false;
  bool retryFailed = false;
  bool quiet = false;
  bool help = false;
  std::uint64_t shard = 0;
  std::uint64_t shards = 1;
};

// A decimal number filling all of `text`.
std::optional<std::uint64_t> number(std::string_view text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> environmentNumber(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  return number(value != nullptr ? value : fallback);
}

void setShard(Options& options, std::optional<std::string_view> given) {
  if (given) {
    const std::size_t slash = given->find('/');
    const auto k = number(given->substr(0, slash));
    const auto n =
        slash == std::string_view::npos ? std::nullopt : number(given->substr(slash + 1));
    if (!k || !n || *k >= *n) throw UsageError("--shard wants K/N with 0 <= K < N");
    options.shard = *k;
    options.shards = *n;
    return;
  }
  if (!std::getenv("SLURM_ARRAY_TASK_ID") || !std::getenv("SLURM_ARRAY_TASK_COUNT")) return;
  // Array indices need not start at 0 (--array=1-8) nor follow each other (--array=0-30:10).
  const auto id = environmentNumber("SLURM_ARRAY_TASK_ID", "");
  const auto count = environmentNumber("SLURM_ARRAY_TASK_COUNT", "");
  const auto first = environmentNumber("SLURM_ARRAY_TASK_MIN", "0");
  const auto step = environmentNumber("SLURM_ARRAY_TASK_STEP", "1");
  if (!id || !count || !first || !step || *step == 0 || *id < *first ||
      (*id - *first) % *step != 0 || (*id - *first) / *step >= *count) {
    throw UsageError("SLURM_ARRAY_TASK_* do not give a shard: use --shard K/N");
  }
  options.shard = (*id - *first) / *step;
  options.shards = *count;
}

Options parse(int argc, const char* const* argv) {
  Options options;
  std::optional<std::string_view> shard;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") {
      options.paths.insert(options.paths.end(), argv + i + 1, argv + argc);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      options.paths.emplace_back(arg);
      continue;
    }
    std::optional<std::string_view> attached;  // --name=value, -jN
    if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      attached = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    } else if (arg.size() > 2 && (arg.starts_with("-j") || arg.starts_with("-o"))) {
      attached = arg.substr(2);
      arg = arg.substr(0, 2);
    }
    const auto value = [&]() -> std::string_view {
      if (attached) return *attached;
      if (++i == argc) throw UsageError(std::string(arg) + " wants a value");
      return argv[i];
    };
    if (arg == "-o" || arg == "--output") {
      options.output = value();
    } else if (arg == "--from") {
      options.manifest = value();
    } else if (arg == "-j" || arg == "--jobs") {
      const auto jobs = number(value());
      if (!jobs || *jobs == 0 || *jobs > 1024) throw UsageError("--jobs wants 1 to 1024");
      options.jobs = static_cast<unsigned>(*jobs);
    } else if (arg == "--shard") {
      shard = value();
    } else if (attached) {
      throw UsageError(std::string(arg) + " takes no value");
    } else if (arg == "-0" || arg == "--null") {
      options.separator = '\0';
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "--retry-failed") {
      options.retryFailed = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    } else {
      throw UsageError("unknown option " + std::string(arg));
    }
  }
  if (options.output.empty()) throw UsageError("--output DIR is required");
  if (options.paths.empty() && !options.manifest) throw UsageError("no input");
  if (options.jobs == 0) options.jobs = usableCores();
  setShard(options, shard);
  return options;
}

std::string systemMessage(int error) { return std::system_category().message(error); }

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file != stdin) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class Earlier { none, result, error };

// What an earlier run left for an output: nothing, a result array, or an error object.
Earlier earlierOutput(const fs::path& output) {
  const Descriptor file(::open(output.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return Earlier::none;
  constexpr std::string_view errorStart = "{\"error\":";
  char start[errorStart.size()] = {};
  const ssize_t length = ::read(file.get(), start, sizeof start);
  return length == sizeof start && std::string_view(start, sizeof start) == errorStart
             ? Earlier::error
             : Earlier::result;
}

// A new file holding `bytes`, on the disk before it is renamed into sight.
void writeNewFile(const fs::path& path, std::string_view bytes) {
  std::error_code ignored;  // a folder that could not be made shows in open()
  fs::create_directories(path.parent_path(), ignored);
  const Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0) {
    throw Error("Could not write the output: " + systemMessage(errno));
  }
}

// The output named by an index line we wrote. Output names hold no control characters, so the
// only escapes in it are \" \\ and \/.
std::optional<std::string> indexedOutput(std::string_view line) {
  constexpr std::string_view key = ",\"output\":\"";  // cannot occur inside the escaped path
  std::size_t i = line.find(key);
  if (i == line.npos) return std::nullopt;
  std::string output;
  for (i += key.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\') ++i;
    if (i < line.size()) output += line[i];
  }
  return output;
}

// Each index line is written before its output is renamed into place, one at a time, so a killed
// run leaves at most its last line cut short or naming an output that never appeared. Dropping
// that line lets the rerun add the input's one line.
void repairIndex(const fs::path& index, const fs::path& folder) {
  const Descriptor file(::open(index.c_str(), O_RDWR | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || info.st_size == 0) return;
  // Far longer than any line: a path, its output name and a message.
  const off_t tailStart = std::max<off_t>(0, info.st_size - (off_t{1} << 20));
  std::string tail(static_cast<std::size_t>(info.st_size - tailStart), '\0');
  if (::pread(file.get(), tail.data(), tail.size(), tailStart) !=
      static_cast<ssize_t>(tail.size())) {
    return;
  }
  std::size_t keep = tail.size();
  if (tail.back() != '\n') {
    const std::size_t lastEnd = tail.rfind('\n');
    keep = lastEnd == tail.npos ? 0 : lastEnd + 1;
  } else {
    const std::size_t previousEnd = tail.rfind('\n', tail.size() - 2);
    const std::size_t lineStart = previousEnd == tail.npos ? 0 : previousEnd + 1;
    const auto output = indexedOutput(std::string_view(tail).substr(lineStart));
    if (output && earlierOutput(folder / *output) == Earlier::none) keep = lineStart;
  }
  if (keep < tail.size() && ::ftruncate(file.get(), tailStart + static_cast<off_t>(keep)) != 0) {
    throw Error("Could not repair " + index.string() + ": " + systemMessage(errno));
  }
}

std::string clockTime(double seconds) {
  const auto whole = static_cast<long long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

// Redraws one line on standard error a few times a second from its own thread while it lives.
class ProgressLine {
 public:
  explicit ProgressLine(std::function<std::string()> line)
      : line_(std::move(line)), thread_([this] { draw(); }) {}
  ~ProgressLine() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    thread_.join();
    writeAll(STDERR_FILENO, "\r\x1b[K");
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void draw() {
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stopped_; })) {
      writeAll(STDERR_FILENO, "\r" + line_() + "\x1b[K");
    }
  }

  const std::function<std::string()> line_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;  // guarded by mutex_
  std::thread thread_;
};

class Batch {
 public:
  Batch(Options options, const DispatchTable& table)
      : options_(std::move(options)), table_(table), folder_(options_.output) {}

  int run();

 private:
  BatchInputs inputs(std::FILE* manifest, std::function<void(const std::string&)> unreadable);
  std::optional<std::uint64_t> countInputs();
  void schedule(RecognitionPool& pool, BatchInput input);
  void record(const BatchInput& input, const std::string& output, DocumentResult result,
              Clock::time_point started);
  std::string progress(std::int64_t pages);
  FilePtr openManifest() const;

  const Options options_;
  const DispatchTable& table_;
  const fs::path folder_;
  const Clock::time_point start_ = Clock::now();
  std::optional<std::uint64_t> total_;  // inputs of this shard, when they could be counted first
  int index_ = -1;
  std::mutex mutex_;
  // Guarded by mutex_: the index's appends and the counts.
  std::set<std::string> inFlight_;   // outputs being made, so that an input listed twice runs once
  std::uint64_t recognized_ = 0;     // inputs finished by this run
  std::uint64_t failed_ = 0;         // of those, with an error object or no output
  std::uint64_t skipped_ = 0;        // left as an earlier run finished them
  std::uint64_t skippedFailed_ = 0;  // of those, with an error object
  std::uint64_t unreadable_ = 0;     // folders that could not be listed
};

FilePtr Batch::openManifest() const {
  if (!options_.manifest) return nullptr;
  if (*options_.manifest == "-") return FilePtr(stdin);
  FilePtr file(std::fopen(options_.manifest->c_str(), "rbe"));
  if (!file) throw UsageError("cannot read " + *options_.manifest + ": " + systemMessage(errno));
  return file;
}

BatchInputs Batch::inputs(std::FILE* manifest, std::function<void(const std::string&)> unreadable) {
  const auto wanted = [this](const std::string& name) {
    const std::string extension = pathExtension(name);
    return std::any_of(table_.begin(), table_.end(),
                       [&](const DispatchEntry& entry) { return entry.extension == extension; });
  };
  return BatchInputs(options_.paths, manifest, options_.separator, wanted, std::move(unreadable));
}

// A first pass for the progress bar's total; standard input can be read only once.
std::optional<std::uint64_t> Batch::countInputs() {
  if (options_.manifest == "-") return std::nullopt;
  const FilePtr manifest = openManifest();
  BatchInputs all = inputs(manifest.get(), [](const std::string&) {});
  std::uint64_t count = 0;
  for (std::uint64_t position = 0; all.next(); ++position) {
    if (position % options_.shards == options_.shard) ++count;
  }
  return count;
}

int Batch::run() {
  std::error_code error;
  fs::create_directories(folder_, error);
  if (!fs::is_directory(folder_)) throw Error("cannot make the folder " + options_.output);
  // Each shard has an index of its own: appends from several machines to one file on a network
  // file system may overwrite each other.
  const fs::path index =
      folder_ / (options_.shards == 1 ? std::string("index.jsonl")
                                      : "index." + std::to_string(options_.shard) + "-of-" +
                                            std::to_string(options_.shards) + ".jsonl");
  repairIndex(index, folder_);
  const Descriptor indexFile(
      ::open(index.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (indexFile.get() < 0)
    throw Error("cannot write " + index.string() + ": " + systemMessage(errno));
  index_ = indexFile.get();
  const bool showProgress = !options_.quiet && ::isatty(STDERR_FILENO);
  if (showProgress) total_ = countInputs();

  const FilePtr manifest = openManifest();
  RecognitionPool pool(options_.jobs);
  std::optional<ProgressLine> bar;
  if (showProgress) bar.emplace([&] { return progress(pool.pagesRecognized()); });
  BatchInputs all = inputs(manifest.get(), [this](const std::string& folder) {
    writeToStderr("\r\x1b[Kquirna-ocr-batch: cannot read the folder " + folder);
    const std::lock_guard lock(mutex_);
    ++unreadable_;
  });
  for (std::uint64_t position = 0; std::optional<BatchInput> input = all.next(); ++position) {
    if (position % options_.shards == options_.shard) schedule(pool, std::move(*input));
  }
  pool.finish();
  bar.reset();

  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  if (!options_.quiet) {
    writeToStderr("quirna-ocr-batch: " + std::to_string(recognized_) + " recognized (" +
                  std::to_string(failed_) + " failed), " + std::to_string(skipped_) + " skipped (" +
                  std::to_string(skippedFailed_) + " failed before); " +
                  std::to_string(pool.pagesRecognized()) + " pages in " + clockTime(seconds));
  }
  return failed_ + skippedFailed_ + unreadable_ > 0 ? 1 : 0;
}

void Batch::schedule(RecognitionPool& pool, BatchInput input) {
  std::string output = outputName(input.name);
  const Earlier earlier = earlierOutput(folder_ / output);
  const bool wanted = options_.force ||
                      (options_.retryFailed ? earlier == Earlier::error : earlier == Earlier::none);
  {
    const std::lock_guard lock(mutex_);
    if (!wanted || !inFlight_.insert(output).second) {
      ++skipped_;
      if (earlier == Earlier::error) ++skippedFailed_;
      return;
    }
  }
  const Clock::time_point started = Clock::now();
  std::unique_ptr<DocumentPages> pages;
  try {
    pages = dispatch(input.path, table_).pages(input.path);
  } catch (...) {
    record(input, output, DocumentResult{{}, std::current_exception()}, started);
    return;
  }
  handDocument(pool, *pages,
               [this, input = std::move(input), output = std::move(output), started](
                   DocumentResult result) { record(input, output, std::move(result), started); });
}

// Runs on whichever thread finished the document. A throw here (the index cannot be written)
// ends the batch.
void Batch::record(const BatchInput& input, const std::string& output, DocumentResult result,
                   Clock::time_point started) {
  const std::int64_t pages = result.pagesHanded;
  const Outcome outcome = outcomeOf([&] {
    if (result.failure) std::rethrow_exception(result.failure);
    return std::move(result.pages);
  });
  const fs::path target = folder_ / output;
  const fs::path temporary = target.string() + ".tmp";
  std::string failure = outcome.error;
  bool written = false;
  try {
    writeNewFile(temporary, outcome.line + '\n');
    written = true;
  } catch (const Error& error) {
    failure = error.what();
  }
  char seconds[32];
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const auto end =
      std::to_chars(seconds, seconds + sizeof seconds, elapsed, std::chars_format::fixed, 3).ptr;
  const std::string line =
      "{\"path\":" + encodeString(input.path) + ",\"output\":" + encodeString(output) +
      (failure.empty() ? ",\"status\":\"ok\""
                       : ",\"status\":\"error\",\"error\":" + encodeString(failure)) +
      ",\"pages\":" + std::to_string(pages) + ",\"seconds\":" + std::string(seconds, end) + "}\n";

  const std::lock_guard lock(mutex_);
  if (!writeAll(index_, line)) throw Error("cannot write the index: " + systemMessage(errno));
  if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
    throw Error("cannot rename " + temporary.string() + ": " + systemMessage(errno));
  }
  inFlight_.erase(output);
  ++recognized_;
  if (!failure.empty()) ++failed_;
}

std::string Batch::progress(std::int64_t pages) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const std::lock_guard lock(mutex_);
  const std::uint64_t handled = recognized_ + skipped_;
  std::string line;
  if (total_ && *total_ > 0) {
    const std::size_t filled = static_cast<std::size_t>(20 * handled / *total_);
    line = "[" + std::string(filled, '#') + std::string(20 - filled, '-') + "] ";
  }
  line += std::to_string(handled) + (total_ ? "/" + std::to_string(*total_) : "") + " files";
  char rate[32];
  std::snprintf(rate, sizeof rate, "  %.1f pages/s",
                seconds > 0 ? static_cast<double>(pages) / seconds : 0.0);
  line += rate;
  line += "  " + std::to_string(failed_ + skippedFailed_) + " failed";
  if (total_ && recognized_ > 0) {
    line += "  " +
            clockTime(seconds / static_cast<double>(recognized_) *
                      static_cast<double>(*total_ - handled)) +
            " left";
  }
  return line;
}

}  // namespace

int runBatch(int argc, const char* const* argv, const DispatchTable& table) {
  // A closed standard error must show as failed writes, not end the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<Options> options;
  try {
    options = parse(argc, argv);
    if (options->help) {
      writeAll(STDOUT_FILENO, std::string(usageText) + '\n');
      return 0;
    }
    return Batch(*options, table).run();
  } catch (const UsageError& error) {
    writeToStderr("quirna-ocr-batch: " + std::string(error.what()) + "\n" + std::string(usageText));
    return 2;
  } catch (const std::exception& error) {
    writeToStderr("quirna-ocr-batch: " + std::string(error.what()));
    return 1;
  }
}

}  // namespace quirna
