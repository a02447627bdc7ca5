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
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "cli/BatchInputs.h"
#include "model/Error.h"
#include "model/Json.h"
#include "recognition/RecognitionPool.h"

namespace quirna {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view usageText =
    "Usage: quirna-ocr-batch --output DIR [--jobs N] [--force | --retry-failed] [--shard K/N]\n"
    "                        [--quiet] [--status | --list] [--from FILE|- [--null]] [PATH...]";

constexpr std::string_view optionsText =
    "  -o, --output DIR   the output folder, made when missing (required)\n"
    "  --from FILE        also read paths from FILE, one a line; - for standard input\n"
    "  -0, --null         the manifest's paths end with NUL bytes, not line feeds\n"
    "  -j, --jobs N       recognition workers (default and most: the usable cores)\n"
    "  --force            recognise every input again\n"
    "  --retry-failed     recognise again every input without a good result\n"
    "  --shard K/N        take the inputs at positions K modulo N (K the Slurm array task)\n"
    "  -q, --quiet        no progress line and no summary\n"
    "  --status           count ok, failed and not yet run inputs, list the failed ones\n"
    "  --list             print each input a run would recognise and its output; run nothing\n"
    "  --version          print the version\n"
    "  -h, --help         print this help\n";

constexpr std::string_view noSuchFile = "no such file";

std::string sameOutput(const std::string& first) { return "same output as " + first; }

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
  bool version = false;
  bool status = false;
  bool list = false;
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

// Array tasks name their shard themselves: the task ids survive resubmitting a subset of them,
// while the array's count, first id and step do not.
void setShard(Options& options, std::optional<std::string_view> given) {
  if (given) {
    const std::size_t slash = given->find('/');
    const auto k = number(given->substr(0, slash));
    const auto n =
        slash == std::string_view::npos ? std::nullopt : number(given->substr(slash + 1));
    if (!k || !n || *k >= *n) throw UsageError("--shard wants K/N with 0 <= K < N");
    options.shard = *k;
    options.shards = *n;
  }
  const char* task = std::getenv("SLURM_ARRAY_TASK_ID");
  if (!task || options.status || options.list) return;
  if (!given) {
    throw UsageError("Slurm array task " + std::string(task) +
                     " without --shard: give --shard TASK/TASKS, the same TASKS in every task");
  }
  if (options.shards > 1 && number(task) != options.shard) {
    throw UsageError("--shard " + std::string(*given) + " in Slurm array task " + task +
                     ": K must be the task id");
  }
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
      // Each job is a thread with engines of its own (about 100 MiB): beyond this, a typo.
      constexpr unsigned long long maxJobs = 1024;
      if (!jobs || *jobs == 0 || *jobs > maxJobs) throw UsageError("--jobs wants 1 to 1024");
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
    } else if (arg == "--status") {
      options.status = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--version") {
      options.version = true;
      return options;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    } else {
      throw UsageError("unknown option " + std::string(arg));
    }
  }
  if (options.output.empty()) throw UsageError("--output DIR is required");
  if (options.paths.empty() && !options.manifest && !options.status) throw UsageError("no input");
  if (options.status && options.list) throw UsageError("--status or --list, not both");
  // More engines than cores only share the cores, each with its own memory.
  const unsigned cores = usableCores();
  if (options.jobs > cores) {
    writeToStderr("quirna-ocr-batch: --jobs " + std::to_string(options.jobs) +
                  " is more than the " + std::to_string(cores) + " usable cores: using " +
                  std::to_string(cores));
  }
  if (options.jobs == 0 || options.jobs > cores) options.jobs = cores;
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

enum class Earlier { none, damaged, result, error };

// What an earlier run left for an output: nothing, a result array or an error object on one line,
// or anything else (cut short, emptied). Only the ends are read, so that a resume of many inputs
// stays cheap.
Earlier earlierOutput(const fs::path& output) {
  const Descriptor file(::open(output.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return Earlier::none;
  constexpr std::string_view errorStart = "{\"error\":";
  struct stat info {};
  char start[errorStart.size()] = {};
  char end[2] = {};
  if (::fstat(file.get(), &info) != 0 || info.st_size < 3 ||
      ::pread(file.get(), end, sizeof end, info.st_size - 2) != sizeof end) {
    return Earlier::damaged;
  }
  const ssize_t length = ::pread(file.get(), start, sizeof start, 0);
  const std::string_view last(end, sizeof end);
  if (length > 0 && start[0] == '[' && last == "]\n") return Earlier::result;
  if (length == sizeof start && std::string_view(start, sizeof start) == errorStart &&
      last == "}\n") {
    return Earlier::error;
  }
  return Earlier::damaged;
}

// A new file holding `bytes`, on the disk before it is renamed into sight; removed again when it
// cannot be written whole.
void writeNewFile(const fs::path& path, std::string_view bytes) {
  std::error_code ignored;  // a folder that could not be made shows in open()
  fs::create_directories(path.parent_path(), ignored);
  const Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0) {
    const int error = errno;
    if (file.get() >= 0) ::unlink(path.c_str());
    throw Error("cannot write " + path.string() + ": " + systemMessage(error) + "; stopped");
  }
}

// A JSON string as encodeString writes it, but with "/" as it stands, so that grep finds paths.
std::string jsonString(std::string_view text) {
  const std::string encoded = encodeString(text);
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '\\' && encoded[i + 1] == '/') continue;
    out += encoded[i];
    if (encoded[i] == '\\') out += encoded[++i];
  }
  return out;
}

// The string member `name` of an index line we wrote, unescaped. Our keys cannot occur inside a
// string value, where every quote is escaped.
std::optional<std::string> stringField(std::string_view line, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\":\"";
  std::size_t i = line.find(key);
  if (i == line.npos) return std::nullopt;
  std::string value;
  for (i += key.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || ++i == line.size()) {
      value += line[i < line.size() ? i : i - 1];
    } else if (line[i] == 'u' && i + 4 < line.size()) {
      unsigned code = 0;  // the writer escapes only control characters so
      std::from_chars(line.data() + i + 1, line.data() + i + 5, code, 16);
      value += static_cast<char>(code);
      i += 4;
    } else {
      constexpr std::string_view from = "bfnrt", to = "\b\f\n\r\t";
      const std::size_t escape = from.find(line[i]);
      value += escape == from.npos ? line[i] : to[escape];
    }
  }
  return value;
}

// Each index line is written before its output is renamed into place, one at a time, so a killed
// run leaves at most its last line cut short or naming an output that never appeared. Dropping
// that line lets the rerun add the input's one line. A missing input's line names no output.
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
    const std::string_view line = std::string_view(tail).substr(lineStart);
    const auto output = stringField(line, "output");
    if (output && stringField(line, "reason") != noSuchFile &&
        earlierOutput(folder / *output) == Earlier::none) {
      keep = lineStart;
    }
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

// Now in UTC to the millisecond: index lines from several shards and reruns sort by it.
std::string utcTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

// Control bytes as C writes them, so that "png\r" shows what went wrong.
std::string visible(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else if (const char* named = std::strchr("\a\b\f\n\r\t\v", c); named && c != '\0') {
      out += {'\\', "abfnrtv"[named - "\a\b\f\n\r\t\v"]};
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    }
  }
  return out;
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
      std::string text(1, '\r');  // appended: g++ 12 warns (-Wrestrict) on "\r" + line_()
      text += line_();
      writeAll(STDERR_FILENO, text + "\x1b[K");
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
      : options_(std::move(options)),
        table_(table),
        folder_(options_.output),
        shardName_(options_.shards == 1 ? std::string()
                                        : "." + std::to_string(options_.shard) + "-of-" +
                                              std::to_string(options_.shards)) {}

  int run();

 private:
  BatchInputs inputs(std::FILE* manifest, std::function<void(const std::string&, bool)> note);
  template <typename Each>
  void eachInput(std::FILE* manifest, Each each);
  void countInputs();
  void lockFolder();
  void removeTemporaries() const;
  bool take(const std::string& output, const std::string& path);
  int list();
  int status();
  void schedule(RecognitionPool& pool, BatchInput input, std::string output);
  void refuse(const BatchInput& input, const std::string& reason);
  Error indexError(int error) const;
  void countFailure(const BatchInput& input, const std::string& reason);
  void record(const BatchInput& input, const std::string& output, const std::string& reason,
              std::uint64_t bytes, DocumentResult result, Clock::time_point started);
  std::string progress(std::int64_t pages);
  FilePtr openManifest() const;

  const Options options_;
  const DispatchTable& table_;
  const fs::path folder_;
  const std::string shardName_;  // ".K-of-N" in the names of a shard's index and temporaries
  const Clock::time_point start_ = Clock::now();
  std::optional<std::uint64_t> total_;  // inputs of this shard, when they could be counted first
  std::uint64_t totalBytes_ = 0;        // their sizes
  bool drawing_ = false;                // the progress line is on standard error
  int index_ = -1;
  std::mutex mutex_;
  // Guarded by mutex_: the index's appends and the counts.
  std::set<std::string> inFlight_;   // outputs being made, so that an input listed twice runs once
  std::uint64_t finished_ = 0;       // inputs finished by this run, failed or not
  std::uint64_t failed_ = 0;         // of those, with an error object or no output
  std::uint64_t skipped_ = 0;        // left as an earlier run finished them
  std::uint64_t skippedFailed_ = 0;  // of those, without a result
  std::uint64_t unreadable_ = 0;     // folders that could not be listed
  std::uint64_t bytesRead_ = 0;      // of inputs recognized
  std::uint64_t bytesDropped_ = 0;   // of inputs skipped or failed: no time spent on them
  std::vector<std::string> failures_;  // the first few, with their reasons
};

FilePtr Batch::openManifest() const {
  if (!options_.manifest) return nullptr;
  if (*options_.manifest == "-") return FilePtr(stdin);
  FilePtr file(std::fopen(options_.manifest->c_str(), "rbe"));
  if (!file) throw UsageError("cannot read " + *options_.manifest + ": " + systemMessage(errno));
  return file;
}

BatchInputs Batch::inputs(std::FILE* manifest, std::function<void(const std::string&, bool)> note) {
  const auto wanted = [this](const std::string& name) {
    const std::string extension = pathExtension(name);
    return std::any_of(table_.begin(), table_.end(),
                       [&](const DispatchEntry& entry) { return entry.extension == extension; });
  };
  return BatchInputs(options_.paths, manifest, options_.separator, wanted, std::move(note));
}

// `each(input, output, first)` for the inputs of this shard; `first` is null, or the path of the
// earlier input with the same output (the input's own path when it is listed again). The names
// are held for the whole run, one name and path per input: 100,000 inputs take a few MB. A shard
// sees only its own inputs, so only a run without shards finds every clash.
template <typename Each>
void Batch::eachInput(std::FILE* manifest, Each each) {
  BatchInputs all = inputs(manifest, [this](const std::string& message, bool failed) {
    writeToStderr((drawing_ ? "\r\x1b[Kquirna-ocr-batch: " : "quirna-ocr-batch: ") + message);
    const std::lock_guard lock(mutex_);
    if (failed) ++unreadable_;
  });
  std::unordered_map<std::string, std::string> firstPaths;  // by output
  for (std::uint64_t position = 0; std::optional<BatchInput> input = all.next(); ++position) {
    if (position % options_.shards != options_.shard) continue;
    std::string output = outputName(input->name);
    const auto [first, added] = firstPaths.try_emplace(output, input->path);
    each(std::move(*input), std::move(output), added ? nullptr : &first->second);
  }
}

// A first pass for the progress bar's total, when the manifest can be read twice: a pipe cannot.
void Batch::countInputs() {
  struct stat info {};
  if (options_.manifest &&
      (*options_.manifest == "-" || ::stat(options_.manifest->c_str(), &info) != 0 ||
       !S_ISREG(info.st_mode))) {
    return;
  }
  const FilePtr manifest = openManifest();
  BatchInputs all = inputs(manifest.get(), [](const std::string&, bool) {});
  std::uint64_t count = 0;
  for (std::uint64_t position = 0; std::optional<BatchInput> input = all.next(); ++position) {
    if (position % options_.shards != options_.shard) continue;
    ++count;
    if (::stat(input->path.c_str(), &info) == 0)
      totalBytes_ += static_cast<std::uint64_t>(info.st_size);
  }
  total_ = count;
}

// One run per folder (or shard of it) at a time: a record lock, which the kernel (or the NFS lock
// service) drops however the process ends. Without shards the whole file, shard K its byte K + 1,
// so that shards run side by side and a run without shards excludes them all.
void Batch::lockFolder() {
  const fs::path path = folder_ / ".lock";
  const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);  // held to the end
  if (file < 0) throw Error("cannot write " + path.string() + ": " + systemMessage(errno));
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = options_.shards == 1 ? 0 : static_cast<off_t>(options_.shard + 1);
  range.l_len = options_.shards == 1 ? 0 : 1;
  struct flock holder = range;
  if (::fcntl(file, F_SETLK, &range) == 0) return;
  if (errno == ENOLCK) {
    writeToStderr("quirna-ocr-batch: note: " + options_.output +
                  " cannot be locked here; start one run at a time on it");
    return;
  }
  if (errno != EACCES && errno != EAGAIN) {
    throw Error("cannot lock " + path.string() + ": " + systemMessage(errno));
  }
  const bool local =
      ::fcntl(file, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0;
  throw Error(options_.output +
              (shardName_.empty() ? ""
                                  : " (shard " + std::to_string(options_.shard) + "/" +
                                        std::to_string(options_.shards) + ")") +
              " is in use by another quirna-ocr-batch " +
              (local ? "(process " + std::to_string(holder.l_pid) + ")" : "on another machine") +
              "; two runs on one folder would do the same work twice");
}

// What a killed run of this shard (any shard, without shards) left half-written; the lock keeps
// every other holder of these names away.
void Batch::removeTemporaries() const {
  const std::string suffix = shardName_ + ".tmp";
  std::vector<fs::path> stale;
  std::error_code error;
  for (auto entry = fs::recursive_directory_iterator(folder_, error);
       !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->path().filename().string().ends_with(suffix) && entry->is_regular_file(error)) {
      stale.push_back(entry->path());
    }
  }
  for (const fs::path& path : stale) fs::remove(path, error);
}

// Whether this run recognises the input, counting it as skipped otherwise.
bool Batch::take(const std::string& output, const std::string& path) {
  const Earlier earlier = earlierOutput(folder_ / output);
  const bool wanted = options_.force || (options_.retryFailed ? earlier != Earlier::result
                                                              : earlier == Earlier::none ||
                                                                    earlier == Earlier::damaged);
  const std::lock_guard lock(mutex_);
  if (wanted && inFlight_.insert(output).second) return true;
  ++skipped_;
  if (!wanted && earlier != Earlier::result) ++skippedFailed_;
  if (total_) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) bytesDropped_ += static_cast<std::uint64_t>(info.st_size);
  }
  return false;
}

int Batch::list() {
  const FilePtr manifest = openManifest();
  eachInput(manifest.get(), [this](const BatchInput& input, const std::string& output,
                                   const std::string* first) {
    const bool clash = first && *first != input.path;
    if ((clash || take(output, input.path)) &&
        !writeAll(STDOUT_FILENO,
                  "{\"path\":" + jsonString(input.path) + ",\"output\":" + jsonString(output) +
                      (clash ? ",\"reason\":" + jsonString(sameOutput(*first)) : "") + "}\n")) {
      throw Error("cannot write the list: " + systemMessage(errno));
    }
  });
  return unreadable_ > 0 ? 1 : 0;
}

// Every index of the folder (shards, reruns) as one: the last line of an output wins, by time
// stamp, then by file and line order; each output is checked on the disk.
int Batch::status() {
  struct Indexed {
    std::string time, path, reason;
  };
  std::map<std::string, Indexed> last;
  // By path: inputs refused for another's output name none, until a later line gives them one.
  std::map<std::string, Indexed> refused;
  std::vector<fs::path> indexes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder_, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("index") && name.ends_with(".jsonl")) indexes.push_back(entry.path());
  }
  std::sort(indexes.begin(), indexes.end());
  for (const fs::path& index : indexes) {
    std::ifstream file(index, std::ios::binary);
    for (std::string line; std::getline(file, line);) {
      const auto output = stringField(line, "output");
      Indexed entry{stringField(line, "time").value_or(""), stringField(line, "path").value_or(""),
                    stringField(line, "reason").value_or(stringField(line, "error").value_or(""))};
      if (!output && entry.reason.empty()) continue;
      const auto [place, added] =
          (output ? last : refused).try_emplace(output.value_or(entry.path), entry);
      if (!added && entry.time >= place->second.time) place->second = std::move(entry);
    }
  }
  std::uint64_t ok = 0, failed = 0, notRun = 0;
  std::string failures;
  const auto check = [&](const std::string& output, const std::string& path) {
    const Earlier earlier = earlierOutput(folder_ / output);
    const auto indexed = last.find(output);
    if (earlier == Earlier::result) {
      ++ok;
    } else if (earlier == Earlier::none &&
               (indexed == last.end() || indexed->second.reason.empty())) {
      ++notRun;
    } else {
      ++failed;
      const std::string reason = earlier == Earlier::damaged ? "damaged output"
                                 : indexed != last.end() && !indexed->second.reason.empty()
                                     ? indexed->second.reason
                                     : "error object";
      failures += "failed: " + visible(path) + ": " + reason + "\n";
    }
  };
  const bool givenInputs = !options_.paths.empty() || options_.manifest;
  if (givenInputs) {
    const FilePtr manifest = openManifest();
    eachInput(manifest.get(),
              [&](const BatchInput& input, const std::string& output, const std::string* first) {
                if (!first) {
                  check(output, input.path);
                } else if (*first != input.path) {
                  ++failed;
                  failures += "failed: " + visible(input.path) + ": " + sameOutput(*first) + "\n";
                }
              });
  } else {
    for (const auto& [output, entry] : last) {
      check(output, entry.path);
      const auto earlier = refused.find(entry.path);
      if (earlier != refused.end() && earlier->second.time <= entry.time) refused.erase(earlier);
    }
    for (const auto& [path, entry] : refused) {
      ++failed;
      failures += "failed: " + visible(path) + ": " + entry.reason + "\n";
    }
  }
  writeAll(STDOUT_FILENO, failures + std::to_string(ok) + " ok, " + std::to_string(failed) +
                              " failed, " + std::to_string(notRun) + " not yet run" +
                              (givenInputs ? "" : " (of the inputs the indexes name)") + "\n");
  return failed + notRun + unreadable_ == 0 ? 0 : 1;
}

int Batch::run() {
  if (options_.list) return list();
  if (options_.status) return status();
  std::error_code error;
  fs::create_directories(folder_, error);
  if (!fs::is_directory(folder_)) throw Error("cannot make the folder " + options_.output);
  lockFolder();
  removeTemporaries();
  // Each shard has an index of its own: appends from several machines to one file on a network
  // file system may overwrite each other.
  const fs::path index = folder_ / ("index" + shardName_ + ".jsonl");
  repairIndex(index, folder_);
  const Descriptor indexFile(
      ::open(index.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (indexFile.get() < 0)
    throw Error("cannot write " + index.string() + ": " + systemMessage(errno));
  index_ = indexFile.get();
  drawing_ = !options_.quiet && ::isatty(STDERR_FILENO);
  if (drawing_) countInputs();

  const FilePtr manifest = openManifest();
  RecognitionPool pool(options_.jobs);
  std::optional<ProgressLine> bar;
  if (drawing_) bar.emplace([&] { return progress(pool.pagesRecognized()); });
  eachInput(manifest.get(), [&](BatchInput input, std::string output, const std::string* first) {
    if (first && *first != input.path) {
      refuse(input, sameOutput(*first));
    } else if (take(output, input.path)) {
      schedule(pool, std::move(input), std::move(output));
    }
  });
  pool.finish();
  bar.reset();

  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  if (!options_.quiet) {
    std::string summary = "quirna-ocr-batch: " + std::to_string(finished_) + " recognized (" +
                          std::to_string(failed_) + " failed), " + std::to_string(skipped_) +
                          " skipped (" + std::to_string(skippedFailed_) + " failed before); " +
                          std::to_string(pool.pagesRecognized()) + " pages in " +
                          clockTime(seconds);
    for (const std::string& failure : failures_)
      summary += "\nquirna-ocr-batch: failed: " + failure;
    if (failed_ + skippedFailed_ > 0) {
      summary += "\nquirna-ocr-batch: every failed input: quirna-ocr-batch --status --output " +
                 options_.output;
    }
    writeToStderr(summary);
  }
  return failed_ + skippedFailed_ + unreadable_ > 0 ? 1 : 0;
}

void Batch::schedule(RecognitionPool& pool, BatchInput input, std::string output) {
  // Plain words for what the single-file tool's error object says less clearly.
  std::string reason;
  struct stat info {};
  const int missing = ::stat(input.path.c_str(), &info) == 0 ? 0 : errno;
  const std::string extension = pathExtension(input.path);
  if (missing == ENOENT || missing == ENOTDIR) {
    reason = noSuchFile;
  } else if (missing == EACCES ||
             (S_ISREG(info.st_mode) && ::access(input.path.c_str(), R_OK) != 0)) {
    reason = "permission denied";
  } else if (missing != 0) {
    reason = systemMessage(missing);
  } else if (!S_ISREG(info.st_mode)) {
    reason = "not a regular file";
  } else if (extension.empty()) {
    reason = "no file extension";
  } else if (std::none_of(table_.begin(), table_.end(), [&](const DispatchEntry& entry) {
               return entry.extension == extension;
             })) {
    reason = "unsupported extension '" + visible(extension) + "'";
  }
  const auto bytes = missing == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  const Clock::time_point started = Clock::now();
  std::unique_ptr<DocumentPages> pages;
  try {
    pages = dispatch(input.path, table_).pages(input.path);
  } catch (...) {
    record(input, output, reason, bytes, DocumentResult{{}, std::current_exception()}, started);
    return;
  }
  handDocument(pool, *pages,
               [this, input = std::move(input), output = std::move(output),
                reason = std::move(reason), bytes, started](DocumentResult result) {
                 record(input, output, reason, bytes, std::move(result), started);
               });
}

// Runs on whichever thread finished the document. A throw here (a write under the output folder
// failed) ends the batch at once: every later output would fail the same way.
void Batch::record(const BatchInput& input, const std::string& output, const std::string& reason,
                   std::uint64_t bytes, DocumentResult result, Clock::time_point started) {
  const std::int64_t pages = result.pagesHanded;
  const Outcome outcome = outcomeOf([&] {
    if (result.failure) std::rethrow_exception(result.failure);
    return std::move(result.pages);
  });
  // A missing input gets no output, so that a mistyped name creates nothing and a rerun tries it.
  const bool missing = reason == noSuchFile && !outcome.error.empty();
  const fs::path target = folder_ / output;
  const fs::path temporary = target.string() + shardName_ + ".tmp";
  if (!missing) writeNewFile(temporary, outcome.line + '\n');
  char seconds[32];
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const auto end =
      std::to_chars(seconds, seconds + sizeof seconds, elapsed, std::chars_format::fixed, 3).ptr;
  const std::string why = reason.empty() ? outcome.error : reason;
  const std::string line =
      "{\"path\":" + jsonString(input.path) + ",\"output\":" + jsonString(output) +
      (outcome.error.empty() ? ",\"status\":\"ok\""
                             : ",\"status\":\"error\",\"error\":" + jsonString(outcome.error) +
                                   ",\"reason\":" + jsonString(why)) +
      ",\"pages\":" + std::to_string(pages) + ",\"seconds\":" + std::string(seconds, end) +
      ",\"time\":\"" + utcTime() + "\"}\n";

  const std::lock_guard lock(mutex_);
  if (!writeAll(index_, line)) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw indexError(error);
  }
  if (!missing && ::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw Error("cannot rename " + temporary.string() + ": " + systemMessage(error) + "; stopped");
  }
  inFlight_.erase(output);
  ++finished_;
  (outcome.error.empty() ? bytesRead_ : bytesDropped_) += bytes;
  if (!outcome.error.empty()) countFailure(input, why);
}

// Taking it would overwrite the output of another input: it gets none, and the run fails. Its
// index line names no output, so that it cannot stand for the other input's.
void Batch::refuse(const BatchInput& input, const std::string& reason) {
  const std::string line = "{\"path\":" + jsonString(input.path) +
                           ",\"status\":\"error\",\"error\":" + jsonString(reason) +
                           ",\"reason\":" + jsonString(reason) +
                           ",\"pages\":0,\"seconds\":0.000,\"time\":\"" + utcTime() + "\"}\n";
  const std::lock_guard lock(mutex_);
  if (!writeAll(index_, line)) throw indexError(errno);
  ++finished_;
  countFailure(input, reason);
}

Error Batch::indexError(int error) const {
  return Error("cannot write the index of " + options_.output + ": " + systemMessage(error) +
               "; stopped");
}

// With mutex_ held.
void Batch::countFailure(const BatchInput& input, const std::string& reason) {
  ++failed_;
  if (failures_.size() < 5) failures_.push_back(visible(input.path) + ": " + reason);
}

std::string Batch::progress(std::int64_t pages) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const std::lock_guard lock(mutex_);
  const std::uint64_t handled = finished_ + skipped_;
  std::string line;
  if (total_ && *total_ > 0) {
    const std::size_t filled = static_cast<std::size_t>(20 * std::min(handled, *total_) / *total_);
    line = "[" + std::string(filled, '#') + std::string(20 - filled, '-') + "] ";
  }
  line += std::to_string(handled) + (total_ ? "/" + std::to_string(*total_) : "") + " files";
  char rate[32];
  std::snprintf(rate, sizeof rate, "  %.1f pages/s",
                seconds > 0 ? static_cast<double>(pages) / seconds : 0.0);
  line += rate;
  line += "  " + std::to_string(failed_ + skippedFailed_) + " failed";
  // From the bytes read so far: failures and skipped inputs took no time.
  const std::uint64_t done = bytesRead_ + bytesDropped_;
  if (total_ && bytesRead_ > 0 && totalBytes_ >= done) {
    line += "  " +
            clockTime(seconds / static_cast<double>(bytesRead_) *
                      static_cast<double>(totalBytes_ - done)) +
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
    if (options->version) {
      writeAll(STDOUT_FILENO, "quirna-ocr-batch " QUIRNA_VERSION "\n");
      return 0;
    }
    if (options->help) {
      writeAll(STDOUT_FILENO, std::string(usageText) + "\n" + std::string(optionsText));
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
