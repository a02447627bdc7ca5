#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quirna::test {

enum class Stdout { captured, full, closedPipe };  // full: /dev/full; closedPipe: nobody reads it

struct ToolRun {
  std::string out;
  std::string err;   // also notes a run killed for overrunning its two minutes
  int status = -1;   // exit status, or 128 + the number of the signal that ended it
  long peakKiB = 0;  // the child's peak resident memory
};

// Runs the built tool with `args` (argv[1..]) and `environment` entries ("NAME=value") set over the
// inherited ones; stdout and stderr are captured apart.
ToolRun runTool(const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {},
                Stdout stdoutTo = Stdout::captured);

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
  double x, y, size;
  std::string text;
};

struct PDFPage {
  std::string mediaBox = "[0 0 612 792]";
  std::vector<PDFText> texts = {};
  std::string extraEntries = "";  // added to the page dictionary as they stand, e.g. "/Rotate 90"
  std::string drawing = "";       // content operators drawn after the texts, e.g. "0 0 1 1 re f"
};

// A small valid PDF (texts in Helvetica; drawings may also use /F2, Courier; neither embedded; one
// content stream a page, a correct cross-reference table).
std::string makePDF(const std::vector<PDFPage>& pages);

// Four paragraphs of twelve long lines ending in `words`: a page the recognizer reads in bands.
PDFPage paragraphsPage(
    const std::string& words = " of plain words, and the engine reads them one band at a time.");

// A committed fixture in tests/data.
std::filesystem::path dataFile(const std::string& name);

}  // namespace quirna::test
