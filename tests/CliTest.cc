#include <fcntl.h>
#include <unistd.h>

#include <cmath>

#include <gtest/gtest.h>

#include "cli/Cli.h"
#include "model/Error.h"
#include "model/Json.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

using test::expectOneLine;
using test::runTool;
using test::ToolRun;

const std::string notFound =
    R"j({"error":"The operation couldn’t be completed. (main.OCRError error 1.)"})j";
const std::string unsupported =
    R"j({"error":"The operation couldn’t be completed. (main.OCRError error 2.)"})j";

TEST(PathExtension, FollowsTheLastComponentsFinalDot) {
  struct Case {
    const char* path;
    const char* extension;
  };
  const Case cases[] = {
      {"scan.pdf", "pdf"},
      {"dir/Scan.PDF", "pdf"},
      {"a.Pdf", "pdf"},
      {"photo.JPEG", "jpeg"},
      {"scan..tif", "tif"},
      {"archive.tar.gz", "gz"},
      {".pdf", "pdf"},
      {"scan.pdf/", "pdf"},
      {"scan.pdf//", "pdf"},
      {"no-extension", ""},
      {"dir.pdf/file", ""},
      {"file.", ""},
      {"", ""},
      {"/", ""},
      {"caf\xC3\xA9.PnG", "png"},
      {"x.\xC3\x89PDF", "\xC3\x89pdf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(pathExtension(c.path), c.extension);
  }
}

TEST(Dispatch, TableIsOrderedAndComplete) {
  std::vector<std::string_view> extensions;
  for (const auto& entry : dispatchTable()) extensions.push_back(entry.extension);
  EXPECT_EQ(extensions, (std::vector<std::string_view>{"pdf", "jpg", "jpeg", "png", "heic", "heif",
                                                       "tiff", "tif", "bmp", "gif"}));
}

TEST(Dispatch, PassesThePathUnchangedAndPrintsWhatTheSourceReturns) {
  std::string seen;
  const DispatchTable table = {{"pdf", [&](const std::string& path) {
                                  seen = path;
                                  return std::vector<OCRResult>{OCRResult{
                                      1, "a/b", 1.0, {TextLine{"a/b", 0, 0, 1, 1}}, 2, 3}};
                                }}};
  const Outcome outcome = runSource("Dir/Scan.PDF", table);
  EXPECT_EQ(seen, "Dir/Scan.PDF");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.line,
            R"([{"confidence":1,"imageHeight":3,"imageWidth":2,"lines":[{"height":1,"text":"a\/b",)"
            R"("width":1,"x":0,"y":0}],"pageNumber":1,"text":"a\/b"}])");
}

TEST(Dispatch, TurnsEveryFailureIntoTheErrorObject) {
  const auto throwing = [](auto error) {
    return [error](const std::string&) -> std::vector<OCRResult> { throw error; };
  };
  struct Case {
    DocumentSource source;
    std::string line;
  };
  const Case cases[] = {
      {[](const std::string&) { return std::vector<OCRResult>{}; }, "[]"},
      {throwing(OCRError::processingFailed("Could not load PDF")),
       R"({"error":"Could not load PDF"})"},
      {throwing(OCRError::fileNotFound()), notFound},
      {throwing(LibraryError("engine said \"no\"")), R"({"error":"engine said \"no\""})"},
      {throwing(42), R"({"error":"Unknown error"})"},
      {[](const std::string&) {
         return std::vector<OCRResult>{OCRResult{1, "", std::nan(""), {}, 1, 1}};
       },
       R"({"error":"Could not encode [0].confidence: nan is not a number JSON can hold"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Outcome outcome = runSource("x.pdf", {{"pdf", c.source}});
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.status, c.line == "[]" ? 0 : 1);
  }
}

TEST(Dispatch, RefusesAnUnknownExtensionBeforeAnySourceRuns) {
  bool called = false;
  const DispatchTable table = {{"pdf", [&](const std::string&) {
                                  called = true;
                                  return std::vector<OCRResult>{};
                                }}};
  for (const char* path : {"notes.txt", "x.pdfx", "x.webp", "x.jpe", "noext", "archive.tar.gz"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(runSource(path, table).line, unsupported);
  }
  EXPECT_FALSE(called);
}

TEST(Tool, NoArgumentPrintsUsageOnStderrOnly) {
  const ToolRun run = runTool({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Usage: quirna-ocr <file-path>\n");
}

TEST(Tool, MissingAndUnsupportedFilesGiveTheirErrorObjects) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {{"/nonexistent/missing.pdf"}, notFound},
      {{"/nonexistent/missing.png"}, notFound},
      {{"/nonexistent/missing.JPEG"}, notFound},
      {{"/nonexistent/missing.Pdf", "/nonexistent/b.png", "--help"}, notFound},
      {{"/nonexistent/notes.txt"}, unsupported},
      {{"/nonexistent/archive.tar.gz"}, unsupported},
      {{"/nonexistent/x.webp"}, unsupported},
      {{"/nonexistent/x.jpe"}, unsupported},
      {{"/nonexistent/x.pdfx"}, unsupported},
      {{"/nonexistent/no-extension"}, unsupported},
      {{""}, unsupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ToolRun run = runTool(c.args);
    expectOneLine(run);
    EXPECT_EQ(run.out, c.line + "\n");
    EXPECT_EQ(run.status, 1);
  }
}

TEST(Tool, FailedWriteToStdoutIsAFailure) {
  // The child inherits a stdout that refuses every byte.
  const int saved = ::dup(STDOUT_FILENO);
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  ::dup2(full, STDOUT_FILENO);
  ::close(full);
  int status = -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
    ::execl(QUIRNA_OCR_BIN, QUIRNA_OCR_BIN, "/nonexistent/notes.txt", nullptr);
    ::_exit(127);
  }
  ::waitpid(pid, &status, 0);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
}  // namespace quirna
