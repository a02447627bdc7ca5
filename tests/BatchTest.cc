#include <sys/wait.h>

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
  test::writeFile(dir / "list", "in/missing.png\n\nin/notes.txt\n");
  EXPECT_EQ(shell(dir.path(), "$batch --from - --output=out -q < list"), 1);
  // A lone folder is the root of the names inside it; a manifest path is named as it stands.
  const struct {
    std::string path;
    std::string output;
    std::string line;
    int pages;
  } expected[] = {{"in/page.png", "page.png.json", page, 1},
                  {"in/sub/doc.pdf", "sub/doc.pdf.json", pdf, 2},
                  {"in/missing.png", "in/missing.png.json", missing, 0},
                  {"in/notes.txt", "in/notes.txt.json", unsupported, 0}};
  std::map<std::string, std::string> expectedFiles = {{"index.jsonl", ""}};
  for (const auto& input : expected) expectedFiles[input.output] = input.line;
  std::map<std::string, std::string> files = filesUnder(dir / "out");
  files["index.jsonl"] = "";
  EXPECT_EQ(files, expectedFiles);
  const std::vector<nlohmann::json> index = indexLines(dir / "out/index.jsonl");
  ASSERT_EQ(index.size(), 4u);
  for (const auto& input : expected) {
    const auto line = std::find_if(index.begin(), index.end(), [&](const nlohmann::json& l) {
      return l["path"] == input.path;
    });
    ASSERT_NE(line, index.end()) << input.path;
    EXPECT_EQ((*line)["output"], input.output);
    EXPECT_EQ((*line)["pages"], input.pages);
    const nlohmann::json result = nlohmann::json::parse(input.line);
    EXPECT_EQ((*line)["status"], result.is_array() ? "ok" : "error");
    const std::string error = result.is_array() ? "" : result["error"].get<std::string>();
    EXPECT_EQ(line->value("error", std::string()), error);
  }

  // A rerun leaves finished outputs alone; failures still count.
  EXPECT_EQ(shell(dir.path(), "$batch in -o out -q"), 0);
  EXPECT_EQ(shell(dir.path(), "$batch --from list -o out -q"), 1);
  EXPECT_EQ(indexLines(dir / "out/index.jsonl").size(), 4u);

  // An output is replaced whole, never rewritten in place: a reader of the old file keeps it.
  test::writeFile(dir / "out/page.png.json", "{\"error\":\"stale\"}\n");
  fs::create_hard_link(dir / "out/page.png.json", dir / "held");
  EXPECT_EQ(shell(dir.path(), "$batch --retry-failed in -o out -q"), 0);
  EXPECT_EQ(test::readFile(dir / "out/page.png.json"), page);
  EXPECT_EQ(test::readFile(dir / "held"), "{\"error\":\"stale\"}\n");
  EXPECT_EQ(indexLines(dir / "out/index.jsonl").size(), 5u);
}

TEST(BatchTool, KilledMidwayThenRerunEndsWithEveryOutputWholeAndIndexedOnce) {
  const test::TempDir dir;
  fs::create_directory(dir / "in");
  for (int i = 0; i < 6; ++i) {
    fs::copy_file(test::dataFile("page.png"), dir / "in" / ("p" + std::to_string(i) + ".png"));
  }
  const std::string page = test::runTool({test::dataFile("page.png").string()}).out;
  EXPECT_EQ(shell(dir.path(),
                  "$batch in -o out -j 1 -q & until [ \"$(cat out/index.jsonl | wc -l)\" -ge 2 ]; "
                  "do sleep 0.02; done 2>/dev/null; kill -9 $!; wait $!"),
            128 + SIGKILL);
  const std::vector<nlohmann::json> before = indexLines(dir / "out/index.jsonl");
  ASSERT_LT(before.size(), 6u);
  // As if killed between the last index line and its rename.
  fs::remove(dir / "out" / before.back()["output"].get<std::string>());
  ASSERT_EQ(shell(dir.path(), "$batch in -o out -q"), 0) << test::readFile(dir / "err");
  std::map<std::string, std::string> files = filesUnder(dir / "out");
  ASSERT_EQ(files.size(), 7u);  // nothing half-written left beside the outputs
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
}

TEST(BatchTool, EveryInputGetsAnOutputOfItsOwnInsideTheOutputFolder) {
  const test::TempDir dir;
  const fs::path work = dir / "a/b";
  fs::create_directories(work);
  // None exists: each gets an error object, named after the path as listed.
  const std::vector<std::string> names = {"../../in/page.png", dir.path().string() + "/in/page.png",
                                          "in/page.png",       "%2E%2E/%2E%2E/in/page.png",
                                          "line\nfeed.png",    "bad\xff.png",
                                          "bad\xfe.png",       "x.png",
                                          "x.png.json/y.png",  "index.jsonl/z.png",
                                          "./x.png/",          "out/../../c.png"};
  std::string manifest;
  for (const std::string& name : names) manifest += name + '\0';
  test::writeFile(work / "list", manifest);
  EXPECT_EQ(shell(work, "$batch -q --null --from list -o out"), 1);
  std::set<std::string> outputs;
  for (const nlohmann::json& line : indexLines(work / "out/index.jsonl")) {
    const fs::path output = line["output"].get<std::string>();
    EXPECT_TRUE(output.is_relative()) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), ".."), 0) << output;
    EXPECT_TRUE(fs::is_regular_file(work / "out" / output)) << output;
    outputs.insert(output);
  }
  EXPECT_EQ(outputs.size(), names.size());
  EXPECT_EQ(filesUnder(work / "out").size(), names.size() + 1);
  EXPECT_EQ(filesUnder(dir.path()).size(), names.size() + 3);  // and the list and err
}

TEST(BatchTool, RefusesBadUsageAndStopsWhenNoEngineCanStart) {
  const test::TempDir dir;
  makeInputs(dir / "in");
  const struct {
    const char* line;
    int status;
  } cases[] = {{"$batch", 2},
               {"$batch -o out", 2},
               {"$batch in -o out --jobs 0", 2},
               {"$batch in -o out --shard 2/2", 2},
               {"$batch in -o out --from missing", 2},
               {"SLURM_ARRAY_TASK_ID=3 SLURM_ARRAY_TASK_COUNT=3 $batch in -o out", 2},
               {"TESSDATA_PREFIX=/nonexistent $batch in -o out", 1}};
  for (const auto& run : cases) {
    SCOPED_TRACE(run.line);
    fs::remove_all(dir / "out");
    fs::remove(dir / "err");
    EXPECT_EQ(shell(dir.path(), run.line), run.status);
    // Nothing is recorded for inputs an engine never saw: a rerun must not skip them.
    EXPECT_TRUE(!fs::exists(dir / "out") || filesUnder(dir / "out").size() == 1);
    EXPECT_NE(test::readFile(dir / "err").find(run.status == 2 ? "Usage: " : "language data"),
              std::string::npos)
        << test::readFile(dir / "err");
  }
}

}  // namespace
}  // namespace quirna
