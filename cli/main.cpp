// lumbrella-cli: the conversion road without the window, for scripts.
//   lumbrella-cli [-q] [-s] [-f] [--skip-missing] [--heading-regex RE] [--volume-regex RE]
//                 [-e ENC] [--unwrap MODE] [-t TITLE] [-a AUTHOR] [-c COVER] -o OUTPUT FILE...
// Exit status: 0 converted, 1 conversion failed or a FILE left out, 2 usage error, 128 + the
// signal's number when SIGINT, SIGTERM or SIGHUP stopped it.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "book/chapter.h"
#include "book/convert.h"
#include "book/headings.h"
#include "book/version.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/signals.h"
#include "platform/stream.h"
#include "platform/tempdir.h"
#include "zip/packer.h"
#include "zip/reader.h"

namespace {

using namespace lumbrella;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "Usage: lumbrella-cli [-q] [-s] [-f] [--skip-missing] [--heading-regex RE]\n"
    "                     [--volume-regex RE] [-e ENC] [--unwrap MODE] [-t TITLE]\n"
    "                     [-a AUTHOR] [-c COVER] -o OUTPUT FILE...\n"
    "Turns plain-text chapter files into one EPUB book.\n"
    "\n"
    "  -t, --title TITLE    book title (default: the output file's name)\n"
    "  -a, --author AUTHOR  author\n"
    "  -c, --cover IMAGE    cover image (JPEG, PNG and GIF are copied, other images\n"
    "                       are converted to PNG)\n"
    "  -o, --output OUTPUT  the book to write (not \"-\": a book is not written to\n"
    "                       standard output); a book already there is updated: its\n"
    "                       pages and documents are replaced, files added to it kept\n"
    "  -f, --force          replace an OUTPUT that is not a ZIP archive (a download\n"
    "                       cut short, another file of that name) with the new book;\n"
    "                       without it such a file is left as it is, and nothing is\n"
    "                       written\n"
    "  -s, --split-chapters split each FILE holding two or more chapter headings\n"
    "                       (第一章, 序章, Chapter 1, ...) into one page per chapter,\n"
    "                       under its volume (第一卷, ...) in the table of contents;\n"
    "                       prints how many chapters and volumes each split file\n"
    "                       has, and where their numbers skip or repeat\n"
    "      --heading-regex RE\n"
    "                       split at the lines RE matches instead (Perl syntax;\n"
    "                       each line of at most 40 characters, without its blanks\n"
    "                       at both ends); implies -s\n"
    "      --volume-regex RE\n"
    "                       the same for volume headings\n"
    "  -e, --encoding ENC   read every FILE in ENC: UTF-8, GB18030 (GBK), Big5,\n"
    "                       Big5-HKSCS, UTF-16LE, UTF-16BE or Shift_JIS; without it\n"
    "                       a file's byte order mark decides, or its bytes; each file\n"
    "                       not read as UTF-8 is named with its encoding\n"
    "      --unwrap MODE    join the lines of hard-wrapped files into paragraphs:\n"
    "                       auto (files whose lines end near one width and seldom\n"
    "                       end a sentence; the default), on (every file) or off\n"
    "      --skip-missing   convert the FILEs that can be read when others are left\n"
    "                       out (not .txt, missing or unreadable); without it a FILE\n"
    "                       left out makes the conversion fail, and nothing is\n"
    "                       written\n"
    "  -q, --quiet          print nothing on success (no progress, no chapter\n"
    "                       counts, no encodings); a FILE left out is still named\n"
    "  -h, --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "Each FILE ending in \".txt\" (in any letter case) becomes one chapter, in the\n"
    "order given. On success the book's path is printed, after a line saying so when\n"
    "standard output is a terminal. Every message on standard error begins with\n"
    "\"lumbrella-cli: \". Exit status: 0 converted, 1 conversion failed or a FILE left\n"
    "out, 2 usage error, 128 + N when stopped by signal N (Ctrl-C: 130); a stopped\n"
    "conversion leaves nothing behind.\n";

// Messages inside the program are ANSI; the terminal speaks UTF-8. False when the line could
// not be written whole.
bool PrintLine(FILE* to, const std::string& ansi) {
  std::string text = AnsiToUtf8(ansi);
  text += '\n';
  const bool written = std::fwrite(text.data(), 1, text.size(), to) == text.size();
  return std::fflush(to) == 0 && written;
}

// A message on standard error: the program's name first, as command-line tools do.
void PrintMessage(const std::string& ansi) {
  PrintLine(stderr, "lumbrella-cli: " + ansi);
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
  bool force = false;
  bool skipMissing = false;
  TSourceEncoding encoding = TSourceEncoding::seAuto;
  std::string headingRegex, volumeRegex;  // UTF-8; both empty: the built-in rule
  TUnwrap unwrap = TUnwrap::uwAuto;
};

// Returns -1 when the conversion should run, else the exit status.
int ParseArguments(int argc, char** argv, Options& options) {
  enum { kVersion = 256, kHeadingRegex, kVolumeRegex, kUnwrap, kSkipMissing };
  static const option kLong[] = {
      {"title", required_argument, nullptr, 't'},
      {"author", required_argument, nullptr, 'a'},
      {"cover", required_argument, nullptr, 'c'},
      {"output", required_argument, nullptr, 'o'},
      {"quiet", no_argument, nullptr, 'q'},
      {"split-chapters", no_argument, nullptr, 's'},
      {"heading-regex", required_argument, nullptr, kHeadingRegex},
      {"volume-regex", required_argument, nullptr, kVolumeRegex},
      {"encoding", required_argument, nullptr, 'e'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {"unwrap", required_argument, nullptr, kUnwrap},
      {"force", no_argument, nullptr, 'f'},
      {"skip-missing", no_argument, nullptr, kSkipMissing},
      {nullptr, 0, nullptr, 0},
  };
  bool haveOutput = false;
  opterr = 0;  // our own messages below
  int c;
  while ((c = getopt_long(argc, argv, ":t:a:c:o:e:qsfh", kLong, nullptr)) != -1) {
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
      case 'f':
        options.force = true;
        break;
      case kSkipMissing:
        options.skipMissing = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case kHeadingRegex:
      case kVolumeRegex: {
        if (const std::string error = THeadingRule::PatternError(optarg); !error.empty())
          return UsageError(std::string("invalid ") +
                            (c == kHeadingRegex ? "--heading-regex" : "--volume-regex") + " '" +
                            optarg + "': " + error);
        (c == kHeadingRegex ? options.headingRegex : options.volumeRegex) = optarg;
        options.split = true;
        break;
      }
      case kUnwrap:
        if (std::string_view(optarg) == "auto") {
          options.unwrap = TUnwrap::uwAuto;
        } else if (std::string_view(optarg) == "on") {
          options.unwrap = TUnwrap::uwOn;
        } else if (std::string_view(optarg) == "off") {
          options.unwrap = TUnwrap::uwOff;
        } else {
          return UsageError(std::string("--unwrap is auto, on or off, not: ") + optarg);
        }
        break;
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

// Why a FILE cannot be read, or "" when it can. Only a regular file is opened: opening a
// named pipe would wait for a writer.
std::string WhyUnreadable(const std::string& path) {
  struct stat st;
  if (stat(FsPath(path).c_str(), &st) != 0) return SysErrorText(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  try {
    TFileStream file(path, TFileMode::fmOpenRead);
  } catch (const EStreamError& e) {
    return e.SysError() != 0 ? SysErrorText(e.SysError()) : std::string("cannot be opened");
  }
  return {};
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

// "3 chapters", "1 volume".
std::string Count(size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// What the split found, so that a file left whole (its headings not recognised) shows, and
// so do chapters missing or repeated in the file.
void PrintSplitFiles(const TBookConverter& converter, const std::vector<TChapter>& chapters) {
  constexpr size_t kGapsShown = 5;
  for (const TSplitFile& file : converter.SplitFiles()) {
    const THeadingReport& report = file.report;
    std::string line =
        "lumbrella-cli: " + chapters[file.chapter].path + ": " + Count(report.chapters, "chapter");
    if (report.volumes > 0) line += " in " + Count(report.volumes, "volume");
    for (size_t k = 0; k < report.gaps.size() && k < kGapsShown; ++k)
      line += "; " + report.gaps[k].before + " is followed by " + report.gaps[k].after;
    if (report.gaps.size() > kGapsShown)
      line += "; and " + std::to_string(report.gaps.size() - kGapsShown) + " more";
    if (report.headingsLeftAsText) {
      line += "; the headings after the first " + std::to_string(kMaxSplitHeadings) +
              " are left as text";
    }
    PrintLine(stderr, line);
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

  // Every FILE left out is named, also with -q: a chapter missing from a book is no detail.
  std::vector<TChapter> chapters;
  size_t leftOut = 0;
  for (const std::string& file : options.files) {
    std::optional<TChapter> chapter = ChapterOf(file);
    const std::string why = chapter ? WhyUnreadable(file) : std::string("not a .txt file");
    if (!why.empty()) {
      PrintMessage(file + ": left out (" + why + ")");
      ++leftOut;
      continue;
    }
    chapter->encoding = options.encoding;
    chapters.push_back(std::move(*chapter));
  }
  if (options.files.empty()) return UsageError("no .txt file given");
  if (leftOut > 0 && !options.skipMissing) {
    PrintMessage("nothing written: " + std::to_string(leftOut) +
                 (leftOut == 1 ? " FILE was" : " FILEs were") +
                 " left out (--skip-missing converts the others)");
    return kExitFailed;
  }
  if (chapters.empty()) {
    PrintMessage("nothing written: no FILE left to convert");
    return kExitFailed;
  }
  // A file there that is no archive cannot be updated; it is replaced only when asked.
  const bool replace = HoldsNoArchive(options.output);
  if (replace && !options.force) {
    PrintMessage(options.output +
                 ": not a ZIP archive, so it cannot be updated; nothing written (-f, --force "
                 "replaces it with the new book)");
    return kExitFailed;
  }
  auto fail = [](const std::string& reason) {
    PrintMessage(ConvertFailedMessage());
    PrintMessage(reason);
    return kExitFailed;
  };

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
    std::optional<THeadingRule> rule;
    if (!options.headingRegex.empty() || !options.volumeRegex.empty())
      rule.emplace(options.headingRegex, options.volumeRegex);
    TBookConverter converter(tempDir.Path(), packer, &progress);
    converter.SplitChapters = options.split;
    converter.HeadingRule = rule ? &*rule : nullptr;
    converter.Unwrap = options.unwrap;
    converter.ReplaceOutput = replace;
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
    if (!ok) return fail(converter.LastPackerError());
    if (!options.quiet) {
      if (options.split) PrintSplitFiles(converter, chapters);
      // A script reads the path alone, a person is told what it is; a script must not take a
      // failed write for the book.
      if ((isatty(STDOUT_FILENO) != 0 && !PrintLine(stdout, ConvertSucceededMessage())) ||
          !PrintLine(stdout, ExpandFileName(options.output))) {
        PrintMessage("cannot write to standard output: " + SysErrorText(errno));
        return kExitFailed;
      }
    }
    return kExitOk;
  } catch (const std::exception& e) {
    // A staging error: a chapter or the cover that cannot be read, a file that cannot be
    // written.
    return fail(e.what());
  }
}
