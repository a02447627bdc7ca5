#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quirna::test {

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status, -1 when ended by a signal
  int signal = 0;
  long peakKiB = 0;  // the child's peak resident memory
};

// Runs the built tool with `args` (argv[1..]); stdout and stderr captured apart. `environment`
// entries ("NAME=value") are added to the inherited environment.
ToolRun runTool(const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {});

// The checks every run past the argument test must pass: no signal, nothing on stderr, exactly
// one line on stdout.
void expectOneLine(const ToolRun& run);

// A fresh directory under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// One run of text on a generated PDF page: position of the baseline start in PDF units (origin
// lower-left), font size, and UTF-8 text limited to Latin-1 (written with WinAnsi encoding).
struct PDFText {
  double x;
  double y;
  double size;
  std::string text;
  int quarterTurns = 0;  // counter-clockwise, for pages meant to be shown turned
};

struct PDFPage {
  std::string mediaBox = "[0 0 612 792]";
  std::vector<PDFText> texts = {};
  std::string extraEntries = "";  // added to the page dictionary as they stand, e.g. "/Rotate 90"
};

// A PDF of the given object bodies, numbered from 1 (object 1 is the catalog), with a correct
// cross-reference table.
std::string assemblePDF(const std::vector<std::string>& objects);

// A small valid PDF (Helvetica, one content stream a page, a correct cross-reference table).
std::string makePDF(const std::vector<PDFPage>& pages);

// A committed fixture in tests/data.
std::filesystem::path dataFile(const std::string& name);

}  // namespace quirna::test
