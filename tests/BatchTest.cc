#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/TestSupport.h"

namespace quirna {
namespace {

namespace fs = std::filesystem;

// Runs a shell line in `dir`, where $batch is the tool and standard error goes to dir/err; its exit
// status, -1 on a signal.
int shell(const fs::path& dir, const std::string& line) {
  const std::string command = "cd '" + dir.string() +
                              "' && unset SLURM_ARRAY_TASK_ID && batch=" QUIRNA_OCR_BATCH_BIN
                              " && { " +
                              line + "; } 2>>err";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<nlohmann::json> indexLines(const fs::path& index) {
  std::vector<nlohmann::json> lines;
  std::istringstream text(test::readFile(index));
  for (std::string line; std::getline(text, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// Every regular file under `dir`, relative to it, with its contents.
std::map<std::string, std::string> filesUnder(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), dir).string()] = test::readFile(entry.path());
    }
  }
  return files;
}

// in/page.png, in/sub/doc.pdf (a page of text, a blank page), a text file and a link loop.
void makeInputs(const fs::path& in) {
  fs::create_directories(in / "sub");
  fs::copy_file(test::dataFile("page.png"), in / "page.png");
  test::writeFile(in / "sub/doc.pdf",
                  test::makePDF({{"[0 0 300 100]", {{10, 40, 20, "Harbour notes"}}}, {}}));
  test::writeFile(in / "notes.txt", "not a document");
  fs::create_directory_symlink("..", in / "sub/loop");
}

TEST(BatchTool, WritesTheSingleFileLineForEachInputAndResumesWhereItStopped) {
  const test::TempDir dir;
  makeInputs(dir / "in");
  const std::string page = test::runTool({(dir / "in/page.png").string()}).out;
  const std::string pdf = test::runTool({(dir / "in/sub/doc.pdf").string()}).out;
  const std::string missing = test::runTool({(dir / "in/missing.png").string()}).out;
  const std::string unsupported = test::runTool({(dir / "in/notes.txt").string()}).out;

  ASSERT_EQ(shell(dir.path(), "$batch in -o out -j 2 -q"), 0) << test::readFile(dir / "err");
  // Written on Windows, with a blank line; a missing input is indexed but gets no output.
  test::writeFile(dir / "list", "in/missing.png\r\n\r\n \nin/notes.txt\r\n");
  EXPECT_EQ(shell(dir.path(), "$batch --from - --output=out < list"), 1);
  const std::string summary = test::readFile(dir / "err");
  EXPECT_NE(summary.find("quirna-ocr-batch: failed: in/missing.png: no such file\n"),
            std::string::npos)
      << summary;
  EXPECT_EQ(summary.find('\x1b'), std::string::npos);  // not a terminal
  // A lone folder is the root of the names inside it; a manifest path is named as it stands.
  const struct {
    std::string path;
    std::string output;
    std::string line;
    int pages;
    std::string reason;
  } expected[] = {
      {"in/page.png", "page.png.json", page, 1, ""},
      {"in/sub/doc.pdf", "sub/doc.pdf.json", pdf, 2, ""},
      {"in/missing.png", "in/missing.png.json", missing, 0, "no such file"},
      {"in/notes.txt", "in/notes.txt.json", unsupported, 0, "unsupported extension 'txt'"}};
  std::map<std::string, std::string> expectedFiles = {{"index.jsonl", ""}, {".lock", ""}};
  for (const auto& input : expected) {
    if (input.reason != "no such file") expectedFiles[input.output] = input.line;
  }
  std::map<std::string, std::string> files = filesUnder(dir / "out");
  files["index.jsonl"] = "";
  EXPECT_EQ(files, expectedFiles);
  const std::vector<nlohmann::json> index = indexLines(dir / "out/index.jsonl");
  ASSERT_EQ(index.size(), 4u);
  EXPECT_NE(test::readFile(dir / "out/index.jsonl").find("\"path\":\"in/sub/doc.pdf\""),
            std::string::npos);
  for (const auto& input : expected) {
    const auto line = std::find_if(index.begin(), index.end(), [&](const nlohmann::json& l) {
      return l["path"] == input.path;
    });
    ASSERT_NE(line, index.end()) << input.path;
    EXPECT_EQ((*line)["output"], input.output);
    EXPECT_EQ((*line)["pages"], input.pages);
    EXPECT_EQ(line->value("reason", std::string()), input.reason);
    EXPECT_EQ(line->value("time", std::string()).size(), 24u);
    const nlohmann::json result = nlohmann::json::parse(input.line);
    EXPECT_EQ((*line)["status"], result.is_array() ? "ok" : "error");
    const std::string error = result.is_array() ? "" : result["error"].get<std::string>();
    EXPECT_EQ(line->value("error", std::string()), error);
  }

  // A rerun, with files beside the folder, names the folder's files as before: it leaves finished
  // outputs alone but redoes an emptied one; failures still count, and the missing input is tried
  // again.
  test::writeFile(dir / "out/sub/doc.pdf.json", "");
  EXPECT_EQ(shell(dir.path(), "$batch in in/missing.png in/notes.txt -o out -q"), 1);
  EXPECT_EQ(test::readFile(dir / "out/sub/doc.pdf.json"), pdf);
  EXPECT_FALSE(fs::exists(dir / "out/in/page.png.json"));
  EXPECT_EQ(indexLines(dir / "out/index.jsonl").size(), 6u);

  // An output is replaced whole, never rewritten in place: a reader of the old file keeps it.
  test::writeFile(dir / "out/page.png.json", "{\"error\":\"stale\"}\n");
  fs::create_hard_link(dir / "out/page.png.json", dir / "held");
  EXPECT_EQ(shell(dir.path(), "$batch --retry-failed in -o out -q"), 0);
  EXPECT_EQ(test::readFile(dir / "out/page.png.json"), page);
  EXPECT_EQ(test::readFile(dir / "held"), "{\"error\":\"stale\"}\n");
  EXPECT_EQ(indexLines(dir / "out/index.jsonl").size(), 7u);
  EXPECT_EQ(shell(dir.path(), "$batch --status -o out > status"), 1);
  EXPECT_EQ(test::readFile(dir / "status"),
            "failed: in/missing.png: no such file\n"
            "failed: in/notes.txt: unsupported extension 'txt'\n"
            "2 ok, 2 failed, 0 not yet run (of the inputs the indexes name)\n");

  // A manifest from a pipe is read once, with the progress line on a terminal.
  EXPECT_EQ(shell(dir.path(),
                  "mkfifo fifo && { echo in/page.png > fifo & } && script -qec "
                  "\"$batch -o piped --from fifo\" /dev/null > pty"),
            0);
  EXPECT_EQ(test::readFile(dir / "piped/in/page.png.json"), page);
  EXPECT_NE(test::readFile(dir / "pty").find("\x1b[K"), std::string::npos);
}

TEST(BatchTool, KilledMidwayThenRerunEndsWithEveryOutputWholeAndIndexedOnce) {
  const test::TempDir dir;
  fs::create_directory(dir / "in");
  for (int i = 0; i < 6; ++i) {
    fs::copy_file(test::dataFile("page.png"), dir / "in" / ("p" + std::to_string(i) + ".png"));
  }
  const std::string page = test::runTool({test::dataFile("page.png").string()}).out;
  // A second run while the first one runs refuses to start.
  EXPECT_EQ(shell(dir.path(),
                  "$batch in -o out -j 1 -q & until [ \"$(cat out/index.jsonl | wc -l)\" -ge 2 ]; "
                  "do sleep 0.02; done 2>/dev/null; echo $! > first; $batch in -o out -q; "
                  "echo $? > second; kill -9 $!; wait $!"),
            128 + SIGKILL);
  EXPECT_EQ(test::readFile(dir / "second"), "1\n");
  const std::string first = test::readFile(dir / "first");
  EXPECT_NE(test::readFile(dir / "err")
                .find("out is in use by another quirna-ocr-batch (process " +
                      first.substr(0, first.size() - 1) + ")"),
            std::string::npos)
      << test::readFile(dir / "err");
  const std::vector<nlohmann::json> before = indexLines(dir / "out/index.jsonl");
  ASSERT_LT(before.size(), 6u);
  // As if killed between the last index line and its rename, and during a write.
  fs::remove(dir / "out" / before.back()["output"].get<std::string>());
  test::writeFile(dir / "out/p5.png.json.tmp", "[");
  ASSERT_EQ(shell(dir.path(), "$batch in -o out -q"), 0) << test::readFile(dir / "err");
  std::map<std::string, std::string> files = filesUnder(dir / "out");
  ASSERT_EQ(files.size(), 8u);  // nothing half-written left beside the outputs, index and lock
  std::multiset<std::string> indexed;
  for (const nlohmann::json& line : indexLines(dir / "out/index.jsonl")) {
    EXPECT_EQ(line["status"], "ok");
    indexed.insert(line["output"].get<std::string>());
  }
  for (int i = 0; i < 6; ++i) {
    const std::string output = "p" + std::to_string(i) + ".png.json";
    EXPECT_EQ(files[output], page) << output;
    EXPECT_EQ(indexed.count(output), 1u) << output;
  }

  // A full disk stops the run, leaving whole outputs; with room again the rest are done.
  fs::create_directory(dir / "small");
  if (::geteuid() != 0 || shell(dir.path(), "mount -t tmpfs -o size=12k tmpfs small") != 0) {
    GTEST_SKIP() << "no tmpfs to fill (not root)";
  }
  EXPECT_EQ(shell(dir.path(), "$batch in -o small/out -j 1 -q"), 1);
  EXPECT_NE(test::readFile(dir / "err").find("No space left on device; stopped"),
            std::string::npos);
  files = filesUnder(dir / "small/out");
  for (const auto& [name, bytes] : files)
    EXPECT_TRUE(name[0] == '.' || name.starts_with("index") || bytes == page) << name;
  EXPECT_LT(files.size(), 8u);
  EXPECT_EQ(shell(dir.path(),
                  "mount -o remount,size=1m small && $batch --retry-failed in -o small/out -q"),
            0);
  EXPECT_EQ(filesUnder(dir / "small/out").size(), 8u);
  shell(dir.path(), "umount small");
}

TEST(BatchTool, EveryInputGetsAnOutputOfItsOwnInsideTheOutputFolder) {
  const test::TempDir dir;
  const fs::path work = dir / "a/b";
  fs::create_directories(work);
  // Only the last two exist, with names that pass 255 bytes escaped; each is named as listed.
  const std::vector<std::string> names = {"../../in/page.png",
                                          dir.path().string() + "/in/page.png",
                                          "in/page.png",
                                          "%2E%2E/%2E%2E/in/page.png",
                                          "line\nfeed.png",
                                          "bad\xff.png",
                                          "bad\xfe.png",
                                          "x.png",
                                          "x.png.json/y.png",
                                          "index.jsonl/z.png",
                                          "./x.png/",
                                          "out/../../c.png",
                                          std::string(120, '%') + "1.txt",
                                          std::string(120, '%') + "2.txt"};
  std::string manifest;
  for (const std::string& name : names) manifest += name + '\0';
  test::writeFile(work / "list", manifest);
  test::writeFile(work / names[12], "");
  test::writeFile(work / names[13], "");
  EXPECT_EQ(shell(work, "$batch -q --null --from list -o out"), 1);
  EXPECT_EQ(shell(work, "$batch --list --force --null --from list -o out > ../listed"), 0);
  std::set<std::string> outputs, listed;
  for (const nlohmann::json& line : indexLines(work / "out/index.jsonl")) {
    const fs::path output = line["output"].get<std::string>();
    EXPECT_TRUE(output.is_relative()) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), ".."), 0) << output;
    EXPECT_EQ(fs::is_regular_file(work / "out" / output),
              line["path"].get<std::string>().size() > 120)
        << output;
    outputs.insert(output);
  }
  for (const nlohmann::json& line : indexLines(dir / "a/listed")) listed.insert(line["output"]);
  EXPECT_EQ(outputs.size(), names.size());
  EXPECT_EQ(listed, outputs);
  EXPECT_EQ(filesUnder(work / "out").size(), 4u);
  EXPECT_EQ(filesUnder(dir.path()).size(), 4u + 5);  // and the inputs, list, listing and err
}

TEST(BatchTool, RefusesBadUsageAndStopsWhenNoEngineCanStart) {
  const test::TempDir dir;
  makeInputs(dir / "in");
  const struct {
    const char* line;
    int status;
    const char* message;
  } cases[] = {
      {"$batch", 2, "Usage: "},
      {"$batch -o out", 2, "Usage: "},
      {"$batch in -o out --jobs 0", 2, "Usage: "},
      {"$batch in -o out --shard 2/2", 2, "Usage: "},
      {"$batch in -o out --shard 1/x", 2, "--shard wants K/N with 0 <= K < N"},
      {"$batch in -o out --shard -1/3", 2, "--shard wants K/N with 0 <= K < N"},
      {"$batch in -o out --from missing", 2, "Usage: "},
      {"SLURM_ARRAY_TASK_ID=3 SLURM_ARRAY_TASK_COUNT=3 $batch in -o out", 2, "--shard"},
      {"SLURM_ARRAY_TASK_ID=7 $batch in -o out --shard 1/3", 2, "K must be the task id"},
      {"TESSDATA_PREFIX=/nonexistent $batch in -o out", 1, "language data"},
      {"TESSDATA_PREFIX=/nonexistent $batch in -o out -j 1024", 1, " usable cores: using "},
      {"$batch --version >&2", 0, "quirna-ocr-batch 0.1.0\n"},
      {"$batch --help >&2", 0, "\n  --status "},
      {"mkdir -p e && $batch e -o out", 0, "no documents in the folder e\n"},
      {"$batch scnas/ -o out", 1, "failed: scnas/: no such file\n"},
      // Two folders holding the same name: the second input would overwrite the first's output.
      {"mkdir -p d e && ln -sf /none d/a.png && ln -sf /none e/a.png && $batch d e -o out", 1,
       "failed: e/a.png: same output as d/a.png\n"},
      {"$batch --list d e -o out >&2", 0, "\"reason\":\"same output as d/a.png\"}"},
      {"$batch --status d e -o out >&2", 1, "failed: e/a.png: same output as d/a.png\n"},
      {"$batch d e -o out -q; $batch --status -o out >&2", 1,
       "failed: e/a.png: same output as d/a.png\n0 ok, 2 failed"}};
  for (const auto& run : cases) {
    SCOPED_TRACE(run.line);
    fs::remove_all(dir / "out");
    fs::remove(dir / "err");
    EXPECT_EQ(shell(dir.path(), run.line), run.status);
    // Nothing is recorded for inputs an engine never saw: a rerun must not skip them.
    if (fs::exists(dir / "out")) {
      for (const auto& [name, bytes] : filesUnder(dir / "out"))
        EXPECT_TRUE(name == ".lock" || name == "index.jsonl") << name;
    }
    EXPECT_NE(test::readFile(dir / "err").find(run.message), std::string::npos)
        << test::readFile(dir / "err");
  }
}

}  // namespace
}  // namespace quirna
