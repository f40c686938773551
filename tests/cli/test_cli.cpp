#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "book/test_convert_util.h"
#include "common/test_util.h"
#include "platform/codepage.h"

namespace lumbrella {
namespace {

using test::Quote;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

const std::string kCli = LUMBRELLA_BINARY_DIR "/bin/lumbrella-cli";

struct CliResult {
  int exitCode;
  std::string out;
  std::string err;
};

// Runs the program in folder with TMPDIR pointing at folder/tmp, stdout and stderr apart.
CliResult RunCli(const TempFolder& folder, const std::string& arguments) {
  test::MakeDirs(folder / "tmp");
  test::CommandResult r =
      test::Run("cd " + Quote(folder.Path()) + " && TMPDIR=" + Quote(folder / "tmp") + " " +
                Quote(kCli) + " " + arguments + " 2>" + Quote(folder / "stderr.txt"));
  return {r.exitCode, r.output, ReadBytes(folder / "stderr.txt")};
}

bool TempLeftEmpty(const TempFolder& folder) {
  return std::filesystem::is_empty(folder / "tmp");
}

// A usage error is one line saying what is wrong and one pointing at the help. A FILE left
// out is named, also with -q, and fails the conversion unless --skip-missing; a file at the
// output that is no archive is replaced only with --force. Every message on stderr begins with
// the program's name; on success stdout, read by a script, holds the book's path alone.
TEST(Cli, ArgumentsFilesAndOutput) {
  TempFolder dir;
  const std::string notABook = "a download cut short";
  const struct {
    const char* arguments;
    int exitCode;
    const char* out;  // expected in stdout; "BOOK": the book's path alone
    const char* err;  // expected in stderr
  } cases[] = {
      {"", 2, "", "no output file (-o) given"},
      {"a.txt", 2, "", "no output file (-o) given"},
      {"-o - a.txt", 2, "", "a book is not written to standard output (-o -)"},
      {"-o out.epub", 2, "", "no .txt file given"},
      {"-x -o out.epub a.txt", 2, "", "unknown option: -x"},
      {"--colour -o out.epub a.txt", 2, "", "unknown option: --colour"},
      {"a.txt -o", 2, "", "option needs a value: -o"},
      {"-e KOI8-R -o out.epub a.txt", 2, "", "unknown encoding: KOI8-R"},
      {"--unwrap sideways -o out.epub a.txt", 2, "", "--unwrap is auto, on or off, not: sideways"},
      {"--unwrap off -o out.epub a.txt", 0, "BOOK", ""},
      {"--help", 0, "  -q, --quiet ", ""},
      {"--version", 0, "lumbrella-cli ", ""},
      {"-o out.epub a.txt", 0, "BOOK", ""},
      {"-o out.epub a.txt notes.md", 1, "",
       "lumbrella-cli: notes.md: left out (not a .txt file)\n"
       "lumbrella-cli: nothing written: 1 FILE was left out (--skip-missing converts the "
       "others)\n"},
      {"-q -o out.epub a.txt missing.txt folder.txt", 1, "",
       "lumbrella-cli: missing.txt: left out (No such file or directory)\n"
       "lumbrella-cli: folder.txt: left out (not a regular file)\n"},
      {"--skip-missing -q -o out.epub a.txt missing.txt notes.md", 0, "",
       "lumbrella-cli: missing.txt: left out (No such file or directory)\n"
       "lumbrella-cli: notes.md: left out (not a .txt file)\n"},
      {"--skip-missing -o out.epub missing.txt", 1, "", "no FILE left to convert"},
      {"-o cut.epub a.txt", 1, "",
       "lumbrella-cli: cut.epub: not a ZIP archive, so it cannot be updated; nothing written "
       "(-f, --force replaces it with the new book)\n"},
      {"--force -o cut.epub a.txt", 0, "BOOK", ""},
      {"-s -o out.epub novel.txt a.txt", 0, "BOOK", "lumbrella-cli: novel.txt: 2 chapters\n"},
      {"--split-chapters -o out.epub a.txt", 0, "BOOK", "no file holds two chapter headings"},
      // What the split found: chapters, volumes, and where the numbers skip or repeat.
      {"-s -o out.epub volumes.txt", 0, "BOOK",
       "lumbrella-cli: volumes.txt: 4 chapters in 2 volumes; 第一章 is followed by 第三章\n"},
      // The user's rule, instead of the built-in one (第一章 and 第二章 are text then).
      {"--heading-regex '^[一二三]+ ' --volume-regex '^卷' -o out.epub plain.txt", 0, "BOOK",
       "lumbrella-cli: plain.txt: 3 chapters in 1 volume; 二 乙 is followed by 二 丙\n"},
      {"--volume-regex '(卷' -o out.epub plain.txt", 2, "",
       "invalid --volume-regex '(卷': missing closing parenthesis at offset 2"},
  };
  WriteBytes(dir / "a.txt", "A");
  WriteBytes(dir / "notes.md", "N");
  WriteBytes(dir / "novel.txt", "第一章\r\nA\r\n第二章\r\nB");
  WriteBytes(dir / "volumes.txt", "第一卷 上\n第一章\nA\n第二章\n第二卷 下\nB\n第一章\n第三章");
  WriteBytes(dir / "plain.txt", "卷 上\n一 甲\nA\n二 乙\n二 丙\n第一章\n第二章");
  test::MakeDirs(dir / "folder.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    WriteBytes(dir / "cut.epub", notABook);
    CliResult r = RunCli(dir, c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode);
    const std::string arguments = c.arguments;
    const bool converted = c.exitCode == 0 && arguments.find("-o ") != std::string::npos;
    const std::string book =
        arguments.find("cut.epub") != std::string::npos ? dir / "cut.epub" : dir / "out.epub";
    if (converted) {
      EXPECT_EQ(test::ReadBook(book).error, "");
    }
    if (std::string_view(c.out) == "BOOK") {
      EXPECT_EQ(r.out, book + "\n");
    } else {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    std::istringstream lines(r.err);  // no usage text among them
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(line.empty() || line.starts_with("lumbrella-cli: ") ||
                  line == "Try 'lumbrella-cli --help'.")
          << line;
    }
    if (c.exitCode == 2) {
      EXPECT_TRUE(r.err.ends_with("\nTry 'lumbrella-cli --help'.\n")) << r.err;
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(std::filesystem::remove(dir / "out.epub"), converted && book == dir / "out.epub");
    if (!converted || book != dir / "cut.epub") {
      EXPECT_EQ(ReadBytes(dir / "cut.epub"), notABook);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "-"));
  }
}

TEST(Cli, ConvertsTheSamplesWithACover) {
  TempFolder dir;
  WriteBytes(dir / "Front.JPG", test::ImageBytes("JPEG"));
  std::string files;
  std::vector<std::string> labels;
  for (const std::string& path : test::SampleFiles()) {
    files += " " + Quote(path);
    labels.push_back(std::filesystem::path(path).stem().string());
  }
  ASSERT_EQ(labels.size(), 5u);
  test::MakeDirs(dir / "tmp");
  test::LeftBehindTempDir(dir / "tmp");  // of a killed run: removed at start-up

  // A title is text: a byte that is not UTF-8 is one character it cannot show.
  CliResult r = RunCli(dir, "-t " + Quote("四季\xff & <\"诗\">") +
                                " -a '\"Du\" & <Fu>' -c Front.JPG -o 四季.epub" + files);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, dir.Path() + "四季.epub\n");
  EXPECT_EQ(r.err.find('%'), std::string::npos) << "progress shown off a terminal";
  EXPECT_TRUE(TempLeftEmpty(dir));

  const std::string book = dir / "四季.epub";
  EXPECT_EQ(test::EpubcheckProblems(book), "");
  test::BookDump dump = test::ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("title"), "四季\uFFFD & <\"诗\">");
  EXPECT_EQ(dump.Field("creator"), "\"Du\" & <Fu>");
  EXPECT_EQ(dump.Field("cover"), "images/cover.JPG image/jpeg");
  EXPECT_EQ(dump.labels, labels);
}

// Each file not read as UTF-8 is named with its encoding, and the runner-up when that is
// unsure; a damaged UTF-8 file too. -e reads every file in the encoding it names. Two short
// lines are no wrapped text, but joined with --unwrap on.
TEST(Cli, NamesEachEncodingAndReadsTheOneChosen) {
  TempFolder dir;
  const std::string traditional =
      "雨下了一整夜。早上起來，街上的積水映著灰白的天。賣豆漿的老人已經擺好了攤子。";
  const std::string big5 = test::Encoded(traditional, "CP950");
  const std::string simplified = "雨下了一整夜。";  // too short to tell from Big5
  WriteBytes(dir / "big5.txt", big5);
  WriteBytes(dir / "few.txt", test::Encoded(simplified, "GB18030"));
  WriteBytes(dir / "cut.txt", traditional + "\xE9\x9B");
  WriteBytes(dir / "utf8.txt", simplified);
  WriteBytes(dir / "lines.txt", "one\ntwo");
  const struct {
    std::string arguments;
    std::string err;
    std::vector<std::string> texts;
  } cases[] = {
      {"big5.txt few.txt cut.txt utf8.txt",
       "lumbrella-cli: big5.txt: read as Big5\n"
       "lumbrella-cli: few.txt: read as GB18030 (unsure; perhaps Big5)\n"
       "lumbrella-cli: cut.txt: read as UTF-8; its damaged bytes became U+FFFD\n",
       {traditional, simplified, traditional + "\xEF\xBF\xBD", simplified}},
      {"-e gbk big5.txt", "lumbrella-cli: big5.txt: read as GB18030\n", {AnsiToUtf8(big5)}},
      {"--encoding=Big5 big5.txt few.txt",
       "lumbrella-cli: big5.txt: read as Big5\nlumbrella-cli: few.txt: read as Big5\n",
       {traditional, "迾狟賸珨淕珗﹝"}},
      {"-q big5.txt", "", {traditional}},
      {"lines.txt", "", {"one\ntwo"}},
      {"--unwrap on lines.txt", "", {"one two"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    CliResult r = RunCli(dir, "-o out.epub " + c.arguments);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, c.err);
    test::BookDump dump = test::ReadBook(dir / "out.epub");
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.texts, c.texts);
    std::filesystem::remove(dir / "out.epub");
  }
}

// Archives made on Windows unpack into names of GBK bytes; such names arrive as arguments.
TEST(Cli, FilesWithGbkNamesOpenAndShowTheirNames) {
  TempFolder dir;
  const std::string folder = "\xCE\xC4\xBC\xFE";               // 文件
  const std::string chapter = "\xB5\xDA\xD2\xBB\xD5\xC2.txt";  // 第一章.txt
  const std::string cover = "\xB7\xE2\xC3\xE6.png";            // 封面.png
  test::MakeDirs(dir / folder);
  WriteBytes(dir / folder + "/" + chapter, "text");
  WriteBytes(dir / folder + "/" + cover, test::ImageBytes("PNG"));

  CliResult r =
      RunCli(dir, "-c " + Quote(folder + "/" + cover) + " -o " + Quote(folder + "/\xCA\xE9.epub") +
                      " " + Quote(folder + "/" + chapter));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // A new file is named in UTF-8, in the folder that has the GBK name.
  test::BookDump dump = test::ReadBook(dir / folder + "/书.epub");
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("title"), "书");
  EXPECT_EQ(dump.Field("cover"), "images/cover.png image/png");
  EXPECT_EQ(dump.labels, std::vector<std::string>{"第一章"});
  EXPECT_EQ(dump.texts, std::vector<std::string>{"text"});
}

// A staging error and a packer failure alike: the failure message, then the reason.
TEST(Cli, FailuresArePrintedAndLeaveNoTreeBehind) {
  TempFolder dir;
  WriteBytes(dir / "a.txt", "A");
  const struct {
    std::string arguments;
    std::string err;
  } cases[] = {
      {"-c absent.jpg -o out.epub a.txt",
       "lumbrella-cli: 灰常遗憾，未能转换成功\nlumbrella-cli: Cannot open file \"" + dir.Path() +
           "absent.jpg\". No such file or directory\n"},
      {"-o missing/out.epub a.txt",
       "lumbrella-cli: 灰常遗憾，未能转换成功\nlumbrella-cli: Cannot create file \"" + dir.Path() +
           "missing/out.epub\". No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    CliResult r = RunCli(dir, c.arguments);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.epub"));
    EXPECT_TRUE(TempLeftEmpty(dir));
  }
}

// A script must not take the book's path for printed when it was not.
TEST(Cli, AFailedWriteToStandardOutputIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TempFolder dir;
  WriteBytes(dir / "a.txt", "A");
  CliResult r = RunCli(dir, "-o out.epub a.txt >/dev/full");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "lumbrella-cli: cannot write to standard output: No space left on device\n");
}

// Waiting for this user's other conversion of the book is told at once; SIGINT, SIGTERM and
// SIGHUP then end the conversion with 128 + the signal's number, leaving nothing behind.
TEST(Cli, ASignalEndsTheConversionAndLeavesNothingBehind) {
  TempFolder dir;
  WriteBytes(dir / "a.txt", "A");
  test::MakeDirs(dir / "tmp");
  const int lock = open((dir / ".out.epub.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const std::string command = "cd " + Quote(dir.Path()) + " && TMPDIR=" + Quote(dir / "tmp") +
                              " exec " + Quote(kCli) + " -o out.epub a.txt 2>stderr.txt";
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(dir / "stderr.txt");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (const int s : {SIGINT, SIGTERM, SIGHUP})
        std::signal(s, SIG_DFL);
      execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
      _exit(98);
    }
    const std::string waiting =
        "lumbrella-cli: waiting for another conversion writing " + dir / "out.epub\n";
    const auto told = [&] {
      return std::filesystem::exists(dir / "stderr.txt") &&
             ReadBytes(dir / "stderr.txt") == waiting;
    };
    for (int i = 0; i < 1000 && !told(); ++i)
      usleep(10000);
    EXPECT_EQ(ReadBytes(dir / "stderr.txt"), waiting);
    kill(child, signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
    EXPECT_TRUE(TempLeftEmpty(dir));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".out.epub.lock", "a.txt", "stderr.txt", "tmp"}));
  }
  close(lock);
}

TEST(Cli, ShowsProgressOnATerminalUnlessQuiet) {
  if (!test::HaveProgram("script")) GTEST_SKIP() << "script(1) is not installed";
  TempFolder dir;
  WriteBytes(dir / "a.txt", "A");
  // script gives the program a terminal for stdout and stderr alike.
  const auto onTerminal = [&](const std::string& arguments) {
    return test::Run("cd " + Quote(dir.Path()) + " && script -qec " +
                     Quote(Quote(kCli) + " " + arguments) + " /dev/null");
  };
  test::CommandResult r = onTerminal("-o out.epub a.txt");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("100%"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("恭喜你，文件转换成功"), std::string::npos) << r.output;

  // Quiet: not a word on success, not even the progress or what was split; but a file left
  // out is named.
  r = onTerminal("-q -s --skip-missing -o quiet.epub a.txt notes.md");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "lumbrella-cli: notes.md: left out (not a .txt file)\r\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "quiet.epub"));
}

}  // namespace
}  // namespace lumbrella
