#include "tests/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quirna::test {

ToolRun runTool(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                Stdout stdoutTo) {
  std::vector<const char*> argv{QUIRNA_OCR_BIN};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  const TempDir dir;
  const std::string out = (dir / "out").string();
  const std::string err = (dir / "err").string();
  int unread[2];  // the read end closed before the child exists: every write fails, no race
  if (::pipe(unread) != 0) throw std::runtime_error("pipe failed");
  ::close(unread[0]);
  // The child's peak memory starts from this process's peak (carried across fork and exec); reset
  // ours to what is resident now so that the figure is the tool's own.
  std::ofstream("/proc/self/clear_refs") << "5";
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    const int outputs[] = {::open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                           ::open("/dev/full", O_WRONLY), unread[1]};
    ::dup2(outputs[static_cast<int>(stdoutTo)], STDOUT_FILENO);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
    ::execv(QUIRNA_OCR_BIN, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  ::close(unread[1]);
  ToolRun run;
  int status = 0;
  rusage usage{};
  for (int waited = 0; ::wait4(pid, &status, WNOHANG, &usage) == 0; ++waited) {
    if (waited == 12000 && ::kill(pid, SIGKILL) == 0) run.err = "[killed after two minutes]";
    ::usleep(10000);
  }
  run.out = stdoutTo == Stdout::captured ? readFile(out) : "";
  run.err += readFile(err);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peakKiB = usage.ru_maxrss;
  return run;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quirna-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  if (!(file << bytes).flush()) throw std::runtime_error("could not write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("could not read " + path.string());
  return {std::istreambuf_iterator<char>(file), {}};
}

namespace {

// UTF-8 of the Latin-1 range as WinAnsi bytes, in a PDF string with every byte over 0x7F and every
// delimiter escaped in octal.
std::string pdfString(const std::string& utf8) {
  std::string out = "(";
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    unsigned c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC0 && i + 1 < utf8.size()) c = (c & 0x1Fu) << 6 | (utf8[++i] & 0x3Fu);
    char escaped[8];
    const bool octal = c >= 0x80 || c == '(' || c == ')' || c == '\\';
    std::snprintf(escaped, sizeof escaped, octal ? "\\%03o" : "%c", c);
    out += escaped;
  }
  return out + ")";
}

}  // namespace

std::string makePDF(const std::vector<PDFPage>& pages) {
  // Objects: 1 catalog, 2 page tree, 3 and 4 fonts, then a page and its content stream per page.
  // Each cross-reference entry is 20 bytes, so their length counts the objects.
  std::string pdf = "%PDF-1.4\n";
  std::string xref;
  const auto add = [&](const std::string& body) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(xref.size() / 20) + " 0 obj\n" + body + "\nendobj\n";
  };
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(5 + 2 * i) + " 0 R ";
  add("<< /Type /Catalog /Pages 2 0 R >>");
  add("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) +
      " /Resources << /Font << /F1 3 0 R /F2 4 0 R >> >> >>");
  add("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
  add("<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>");
  for (const PDFPage& page : pages) {
    std::string content;
    for (const PDFText& text : page.texts) {
      content += "BT /F1 " + std::to_string(text.size) + " Tf " + std::to_string(text.x) + " " +
                 std::to_string(text.y) + " Td " + pdfString(text.text) + " Tj ET\n";
    }
    add("<< /Type /Page /Parent 2 0 R /MediaBox " + page.mediaBox + " /Contents " +
        std::to_string(xref.size() / 20 + 2) + " 0 R " + page.extraEntries + " >>");
    add("<< /Length " + std::to_string(content.size() + page.drawing.size()) + " >>\nstream\n" +
        content + page.drawing + "\nendstream");
  }
  const std::string count = std::to_string(xref.size() / 20 + 1);
  return pdf + "xref\n0 " + count + "\n0000000000 65535 f \n" + xref + "trailer\n<< /Size " +
         count + " /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

std::filesystem::path dataFile(const std::string& name) {
  return std::filesystem::path(QUIRNA_TEST_DATA) / name;
}

PDFPage paragraphsPage(const std::string& words) {
  PDFPage page;
  for (int i = 0; i < 48; ++i) {
    page.texts.push_back(
        {40, 760.0 - 14 * i - 14 * (i / 12), 11,
         "Paragraph " + std::to_string(i / 12) + " has line " + std::to_string(i) + words});
  }
  return page;
}

}  // namespace quirna::test
