#include "cli/BatchInputs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "model/Json.h"

namespace quirna {
namespace {

bool isFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::string escaped(std::string_view component) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < component.size();) {
    const auto c = static_cast<unsigned char>(component[i]);
    const std::size_t length = c >= 0x80 ? utf8SequenceLength(component, i) : 1;
    if (c == '%' || c < 0x20 || c == 0x7F || length == 0) {
      out += {'%', hex[c >> 4], hex[c & 0xF]};
      ++i;
    } else {
      out.append(component.substr(i, length));
      i += length;
    }
  }
  if (out.size() <= 200) return out;
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const char c : component) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  std::size_t cut = 0;  // escapes and characters are not cut
  for (;;) {
    const auto c = static_cast<unsigned char>(out[cut]);
    const std::size_t length = c == '%' ? 3 : c >= 0x80 ? utf8SequenceLength(out, cut) : 1;
    if (cut + length > 180) break;
    cut += length;
  }
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
  return out.substr(0, cut) + suffix;
}

}  // namespace

BatchInputs::BatchInputs(std::vector<std::string> arguments, std::FILE* manifest, char separator,
                         std::function<bool(const std::string&)> wanted,
                         std::function<void(const std::string&, bool)> note)
    : arguments_(std::move(arguments)),
      manifest_(manifest),
      separator_(separator),
      wanted_(std::move(wanted)),
      note_(std::move(note)) {}

BatchInputs::~BatchInputs() { std::free(entry_); }

void BatchInputs::enter(std::string path, std::string name) {
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), ::closedir);
  if (!folder) {
    note_("cannot read the folder " + path + ": " + std::strerror(errno), true);
    return;
  }
  Folder level{std::move(path), std::move(name), {}};
  while (const dirent* entry = ::readdir(folder.get())) {  // borrowed from `folder`
    const std::string entryName = entry->d_name;
    if (entryName == "." || entryName == "..") continue;
    bool subfolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      subfolder =
          ::lstat(joined(level.path, entryName).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    level.entries.emplace_back(entryName, subfolder);
  }
  std::sort(level.entries.begin(), level.entries.end());
  folders_.push_back(std::move(level));
}

std::optional<BatchInput> BatchInputs::next() {
  for (;;) {
    if (!folders_.empty()) {
      Folder& folder = folders_.back();
      if (folder.next == folder.entries.size()) {
        folders_.pop_back();
        if (folders_.empty() && !argumentFolder_.empty()) {
          note_("no documents in the folder " + argumentFolder_, false);
        }
        continue;
      }
      const auto& [entry, subfolder] = folder.entries[folder.next++];
      BatchInput input{joined(folder.path, entry), joined(folder.name, entry)};
      if (subfolder) {
        enter(std::move(input.path), std::move(input.name));
      } else if (wanted_(entry)) {
        argumentFolder_.clear();
        return input;
      }
    } else if (argument_ < arguments_.size()) {
      const std::string& argument = arguments_[argument_++];
      if (!isFolder(argument)) return BatchInput{argument, argument};
      argumentFolder_ = argument;
      enter(argument, "");
    } else if (manifest_) {
      const ssize_t length = ::getdelim(&entry_, &entrySize_, separator_, manifest_);
      if (length < 0) {
        manifest_ = nullptr;
        continue;
      }
      std::string entry(entry_, static_cast<std::size_t>(length));
      if (!entry.empty() && entry.back() == separator_) entry.pop_back();
      // Manifests written on Windows end their lines with CR LF.
      if (separator_ == '\n' && entry.ends_with('\r')) entry.pop_back();
      const bool blank = separator_ == '\n' && std::all_of(entry.begin(), entry.end(), [](char c) {
                           return std::isspace(static_cast<unsigned char>(c)) != 0;
                         });
      if (!entry.empty() && !blank) return BatchInput{entry, entry};
    } else {
      return std::nullopt;
    }
  }
}

std::string outputName(std::string_view name) {
  std::vector<std::string> parts;
  if (name.starts_with('/')) parts.emplace_back("%2F");
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view component = name.substr(start, end - start);
    if (component == "..") {
      parts.emplace_back("%2E%2E");
    } else if (!component.empty() && component != ".") {
      parts.push_back(escaped(component));
    }
    start = end + 1;
  }
  if (parts.empty()) parts.emplace_back("%2E");
  // "a/" names a folder, not the file "a".
  if (name.size() > 1 && name.ends_with('/')) parts.back() += "%2F";
  std::string out;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    std::string& folder = parts[i];
    if (folder.ends_with(".json") || folder.ends_with(".jsonl") || folder.ends_with(".tmp")) {
      folder.replace(folder.rfind('.'), 1, "%2E");
    }
    out += folder + '/';
  }
  return out + parts.back() + ".json";
}

}  // namespace quirna
