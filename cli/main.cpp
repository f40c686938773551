// lumbrella-cli: the conversion road without the window, for scripts.
//   lumbrella-cli [-q] [-s] [-e ENC] [-t TITLE] [-a AUTHOR] [-c COVER] -o OUTPUT FILE...
// Exit status: 0 converted, 1 conversion failed, 2 usage error, 128 + the signal's number when
// SIGINT, SIGTERM or SIGHUP stopped it.

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "book/chapter.h"
#include "book/convert.h"
#include "book/headings.h"
#include "book/version.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/signals.h"
#include "platform/tempdir.h"
#include "zip/packer.h"

namespace {

using namespace lumbrella;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "Usage: lumbrella-cli [-q] [-s] [-e ENC] [-t TITLE] [-a AUTHOR] [-c COVER] -o OUTPUT\n"
    "                     FILE...\n"
    "Turns plain-text chapter files into one EPUB book.\n"
    "\n"
    "  -t, --title TITLE    book title (default: the output file's name)\n"
    "  -a, --author AUTHOR  author\n"
    "  -c, --cover IMAGE    cover image (JPEG, PNG and GIF are copied, other images\n"
    "                       are converted to PNG)\n"
    "  -o, --output OUTPUT  the book to write (not \"-\": a book is not written to\n"
    "                       standard output); a book already there is updated: its\n"
    "                       pages and documents are replaced, files added to it kept\n"
    "  -s, --split-chapters split each FILE holding two or more chapter headings\n"
    "                       (第一章, 序章, Chapter 1, ...) into one page per chapter,\n"
    "                       listed under the file in the table of contents; prints\n"
    "                       how many chapters each split file has\n"
    "  -e, --encoding ENC   read every FILE in ENC: UTF-8, GB18030 (GBK), Big5,\n"
    "                       Big5-HKSCS, UTF-16LE, UTF-16BE or Shift_JIS; without it\n"
    "                       a file's byte order mark decides, or its bytes; each file\n"
    "                       not read as UTF-8 is named with its encoding\n"
    "  -q, --quiet          print nothing on success (no progress, no warnings, no\n"
    "                       chapter counts, no encodings)\n"
    "  -h, --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "Each FILE ending in \".txt\" becomes one chapter, in the order given; other files\n"
    "are left out. On success the book's path is printed. Exit status: 0 converted,\n"
    "1 conversion failed, 2 usage error, 128 + N when stopped by signal N (Ctrl-C:\n"
    "130); a stopped conversion leaves nothing behind.\n";

// Messages inside the program are ANSI; the terminal speaks UTF-8. False when the line could
// not be written whole.
bool PrintLine(FILE* to, const std::string& ansi) {
  std::string text = AnsiToUtf8(ansi);
  text += '\n';
  const bool written = std::fwrite(text.data(), 1, text.size(), to) == text.size();
  return std::fflush(to) == 0 && written;
}

// One line for what was wrong and where the help is, as command-line tools do.
int UsageError(const std::string& what) {
  std::fprintf(stderr, "lumbrella-cli: %s\nTry 'lumbrella-cli --help'.\n", what.c_str());
  return kExitUsage;
}

// The option getopt just refused: a short one by its letter (it may sit in a group such as
// "-xt"), a long one as written.
std::string OptionName(char** argv) {
  if (optopt != 0) return std::string("-") + static_cast<char>(optopt);
  return argv[optind - 1];
}

struct Options {
  TBookFields fields;
  std::string output;
  std::vector<std::string> files;
  bool quiet = false;
  bool split = false;
  TSourceEncoding encoding = TSourceEncoding::seAuto;
};

// Returns -1 when the conversion should run, else the exit status.
int ParseArguments(int argc, char** argv, Options& options) {
  enum { kVersion = 256 };
  static const option kLong[] = {
      {"title", required_argument, nullptr, 't'},    {"author", required_argument, nullptr, 'a'},
      {"cover", required_argument, nullptr, 'c'},    {"output", required_argument, nullptr, 'o'},
      {"quiet", no_argument, nullptr, 'q'},          {"split-chapters", no_argument, nullptr, 's'},
      {"encoding", required_argument, nullptr, 'e'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},   {nullptr, 0, nullptr, 0},
  };
  bool haveOutput = false;
  opterr = 0;  // our own messages below
  int c;
  while ((c = getopt_long(argc, argv, ":t:a:c:o:e:qsh", kLong, nullptr)) != -1) {
    switch (c) {
      // Text, not a path: each byte that is not UTF-8 is one U+FFFD.
      case 't':
        options.fields.title = Utf8TextToAnsi(optarg);
        break;
      case 'a':
        options.fields.author = Utf8TextToAnsi(optarg);
        break;
      case 'c':
        options.fields.cover = Utf8ToAnsi(optarg);
        break;
      case 'o':
        options.output = Utf8ToAnsi(optarg);
        haveOutput = true;
        break;
      case 'e':
        if (std::optional<TSourceEncoding> encoding = EncodingNamed(optarg)) {
          options.encoding = *encoding;
        } else {
          return UsageError(std::string("unknown encoding: ") + optarg);
        }
        break;
      case 'q':
        options.quiet = true;
        break;
      case 's':
        options.split = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case kVersion:
        std::printf("lumbrella-cli %s\n", ProgramVersion());
        return kExitOk;
      case ':':
        return UsageError("option needs a value: " + OptionName(argv));
      default:
        return UsageError("unknown option: " + OptionName(argv));
    }
  }
  if (!haveOutput || options.output.empty()) return UsageError("no output file (-o) given");
  if (options.output == "-") return UsageError("a book is not written to standard output (-o -)");
  for (int i = optind; i < argc; ++i)
    options.files.push_back(Utf8ToAnsi(argv[i]));
  return -1;
}

// Each file not read as UTF-8, so that one read wrongly shows and can be read again with -e;
// and a damaged UTF-8 file, whose bad bytes became U+FFFD.
void PrintEncodings(const TBookConverter& converter, const std::vector<TChapter>& chapters) {
  const std::vector<TEncodingChoice>& encodings = converter.ChapterEncodings();
  for (size_t i = 0; i < encodings.size() && i < chapters.size(); ++i) {
    const TEncodingChoice& e = encodings[i];
    std::string how;
    if (e.encoding != TSourceEncoding::seUtf8) {
      how = std::string("read as ") + EncodingName(e.encoding);
      if (e.unsure) how += std::string(" (unsure; perhaps ") + EncodingName(e.runnerUp) + ")";
    } else if (e.damaged) {
      how = "read as UTF-8; its damaged bytes became U+FFFD";
    } else {
      continue;
    }
    std::fprintf(stderr, "lumbrella-cli: %s: %s\n", AnsiToUtf8(chapters[i].path).c_str(),
                 how.c_str());
  }
}

// What the split found, so that a file left whole (its headings not recognised) shows.
void PrintSplitFiles(const TBookConverter& converter, const std::vector<TChapter>& chapters) {
  for (const TBookConverter::TSplitFile& file : converter.SplitFiles()) {
    std::fprintf(stderr, "lumbrella-cli: %s: split into %zu chapters\n",
                 AnsiToUtf8(chapters[file.chapter].path).c_str(), file.headings);
    if (file.headingsLeftAsText) {
      std::fprintf(stderr,
                   "lumbrella-cli: %s: more than %zu headings; those after them are left as "
                   "text\n",
                   AnsiToUtf8(chapters[file.chapter].path).c_str(), kMaxSplitHeadings);
    }
  }
  if (converter.SplitFiles().empty()) {
    std::fputs("lumbrella-cli: no file holds two chapter headings; none was split\n", stderr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  Options options;
  if (int status = ParseArguments(argc, argv, options); status >= 0) return status;

  std::vector<TChapter> chapters;
  for (const std::string& file : options.files) {
    if (std::optional<TChapter> chapter = ChapterOf(file)) {
      chapter->encoding = options.encoding;
      chapters.push_back(std::move(*chapter));
    } else if (!options.quiet) {
      std::fprintf(stderr, "lumbrella-cli: left out (not a .txt file): %s\n",
                   AnsiToUtf8(file).c_str());
    }
  }
  if (chapters.empty()) return UsageError("no .txt file given");

  // Ctrl-C and the like stop the conversion at its next step; what it made goes with it.
  const TStopSignals signals;
  if (const std::string refusal = TempBaseRefusal(); !refusal.empty() && !options.quiet) {
    std::fprintf(stderr, "lumbrella-cli: %s\n", refusal.c_str());
  }
  // Folders of earlier runs that were killed before they could remove them.
  RemoveLeftoverTempDirs(TempBaseDir());
  try {
    TPrivateTempDir tempDir;
    TZipPacker packer;
    TProgress progress;
    packer.Progress = &progress;
    progress.OnStep = [&progress] {
      if (TStopSignals::Received() != 0) progress.RequestCancel();
    };
    if (!options.quiet) {
      progress.OnWait = [](bool waiting, const std::string& path) {
        if (waiting) {
          std::fprintf(stderr, "lumbrella-cli: waiting for another conversion writing %s\n",
                       AnsiToUtf8(ExpandFileName(path)).c_str());
        }
      };
    }
    const bool showProgress = !options.quiet && isatty(STDERR_FILENO) != 0;
    int shown = -1;
    if (showProgress) {
      // The packing's share; staging a book takes a fraction of its time.
      progress.OnPercent = [&shown](TWorkStage stage, int percent) {
        if (stage != TWorkStage::wsPacking || percent == shown) return;
        shown = percent;
        std::fprintf(stderr, "\r%3d%%", percent);
        std::fflush(stderr);
      };
    }
    TBookConverter converter(tempDir.Path(), packer, &progress);
    converter.SplitChapters = options.split;
    bool ok = false;
    try {
      ok = converter.Convert(options.fields, chapters, options.output);
    } catch (...) {
      if (TStopSignals::Received() != 0) return TStopSignals::ExitStatus();
      throw;
    }
    if (shown >= 0) std::fputs("\r    \r", stderr);
    if (TStopSignals::Received() != 0 && !ok) return TStopSignals::ExitStatus();
    if (!options.quiet) PrintEncodings(converter, chapters);
    if (!ok) {
      PrintLine(stderr, ConvertFailedMessage());
      PrintLine(stderr, converter.LastPackerError());
      return kExitFailed;
    }
    if (!options.quiet) {
      if (options.split) PrintSplitFiles(converter, chapters);
      // A script that reads the path must not take a failure for the book.
      if (!PrintLine(stdout, ConvertSucceededMessage()) ||
          !PrintLine(stdout, ExpandFileName(options.output))) {
        std::fprintf(stderr, "lumbrella-cli: cannot write to standard output: %s\n",
                     AnsiToUtf8(SysErrorText(errno)).c_str());
        return kExitFailed;
      }
    }
    return kExitOk;
  } catch (const std::exception& e) {
    // A staging error: a chapter or the cover that cannot be read, a file that cannot be
    // written.
    PrintLine(stderr, e.what());
    return kExitFailed;
  }
}
