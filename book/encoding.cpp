#include "book/encoding.h"

#include <unicode/ucsdet.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/legacy_codepage.h"
#include "platform/stream.h"

namespace lumbrella {

const char* EncodingName(TSourceEncoding encoding) {
  switch (encoding) {
    case TSourceEncoding::seAuto:
      return "auto";
    case TSourceEncoding::seUtf8:
      return "UTF-8";
    case TSourceEncoding::seGb18030:
      return "GB18030";
    case TSourceEncoding::seBig5:
      return "Big5";
    case TSourceEncoding::seBig5Hkscs:
      return "Big5-HKSCS";
    case TSourceEncoding::seUtf16LE:
      return "UTF-16LE";
    case TSourceEncoding::seUtf16BE:
      return "UTF-16BE";
    case TSourceEncoding::seShiftJis:
      return "Shift_JIS";
  }
  return "";
}

std::optional<TSourceEncoding> EncodingNamed(std::string_view name) {
  std::string key;
  for (char c : name) {
    if (c == '-' || c == '_') continue;
    key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  static constexpr struct {
    const char* key;
    TSourceEncoding encoding;
  } kNames[] = {
      {"UTF8", TSourceEncoding::seUtf8},         {"GB18030", TSourceEncoding::seGb18030},
      {"GBK", TSourceEncoding::seGb18030},       {"GB2312", TSourceEncoding::seGb18030},
      {"CP936", TSourceEncoding::seGb18030},     {"BIG5", TSourceEncoding::seBig5},
      {"CP950", TSourceEncoding::seBig5},        {"BIG5HKSCS", TSourceEncoding::seBig5Hkscs},
      {"UTF16LE", TSourceEncoding::seUtf16LE},   {"UTF16BE", TSourceEncoding::seUtf16BE},
      {"SHIFTJIS", TSourceEncoding::seShiftJis}, {"SJIS", TSourceEncoding::seShiftJis},
      {"CP932", TSourceEncoding::seShiftJis},    {"WINDOWS31J", TSourceEncoding::seShiftJis},
  };
  for (const auto& n : kNames) {
    if (key == n.key) return n.encoding;
  }
  return std::nullopt;
}

namespace {

constexpr int64_t kWholeFile = 1 << 20;  // read whole up to this size
constexpr int kRuns = 16;                // else this many runs of a block
constexpr size_t kBlock = 65536;
constexpr size_t kDetectorBytes = 1024;  // what ICU's detector sees at most
constexpr size_t kSlice = 256;           // taken from one place

// A lead byte and fewer continuation bytes than it needs.
bool IsCutUtf8(std::string_view tail) {
  const auto b = static_cast<unsigned char>(tail[0]);
  const size_t need = b >= 0xC2 && b <= 0xDF   ? 2
                      : b >= 0xE0 && b <= 0xEF ? 3
                      : b >= 0xF0 && b <= 0xF4 ? 4
                                               : 0;
  if (tail.size() >= need) return false;
  for (size_t i = 1; i < tail.size(); ++i) {
    if ((static_cast<unsigned char>(tail[i]) & 0xC0) != 0x80) return false;
  }
  return true;
}

struct TUtf8Evidence {
  size_t wellFormed = 0;  // sequences of two bytes or more
  size_t malformed = 0;   // a character cut off at the end of the file too
  bool zeroByte = false;

  void Add(std::string_view text, bool fileEnd) {
    if (std::memchr(text.data(), 0, text.size()) != nullptr) zeroByte = true;
    size_t at = 0;
    // Far more faults than characters: legacy text, whatever follows.
    while (at < text.size() && (malformed < 256 || malformed <= wellFormed)) {
      const size_t good = WellFormedUtf8Length(text.substr(at));
      for (size_t i = at; i < at + good; ++i)
        wellFormed += static_cast<unsigned char>(text[i]) >= 0xC0;
      at += good;
      if (at == text.size()) break;
      ++malformed;
      // What was cut off here by the end of a piece of the sample is no fault of the file.
      if (!fileEnd && IsCutUtf8(text.substr(at))) --malformed;
      // The lead and the continuation bytes that follow it make one fault.
      const size_t lead = at++;
      while (at < text.size() && at - lead < 4 &&
             (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        ++at;
    }
  }
};

// Each pair of bytes taken as a UTF-16 unit in both byte orders ([0] little-endian, [1]
// big-endian), counted by what kind of text it would be.
struct TUtf16Evidence {
  size_t units = 0;
  size_t text[2] = {0, 0};    // all that is likely text: ASCII, CJK, other letters and signs
  size_t breaks[2] = {0, 0};  // tab, line ends, space
  size_t cjk[2] = {0, 0};     // CJK characters, kana, CJK and full-width punctuation
  size_t lowCjk[2] = {0, 0};  // of them with a low byte below 0x40
  size_t highBytes = 0;       // bytes 0x80 and above
  bool pendingHigh[2] = {false, false};

  static bool IsCjk(char16_t u) {
    return (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0x3400 && u <= 0x4DBF) ||
           (u >= 0x3000 && u <= 0x30FF) || (u >= 0xFF00 && u <= 0xFFEF);
  }
  // ASCII, Latin, Greek and Cyrillic letters, general punctuation and symbols, compatibility
  // ideographs and forms.
  static bool IsOtherText(char16_t u) {
    return u == 0x09 || u == 0x0A || u == 0x0D || (u >= 0x20 && u <= 0x7E) ||
           (u >= 0xA0 && u <= 0x24F) || (u >= 0x370 && u <= 0x4FF) ||
           (u >= 0x2000 && u <= 0x2BFF) || (u >= 0xF900 && u <= 0xFAFF) ||
           (u >= 0xFE30 && u <= 0xFE4F);
  }

  // bytes begins at an even offset of the body.
  void Add(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      // Past a thousand units that are no text in either order there is nothing to tell.
      if (units >= 1024 && text[0] * 2 < units && text[1] * 2 < units) return;
      ++units;
      highBytes += (p[i] >= 0x80) + (p[i + 1] >= 0x80);
      for (int order = 0; order < 2; ++order) {
        const auto u =
            static_cast<char16_t>(order == 0 ? p[i + 1] << 8 | p[i] : p[i] << 8 | p[i + 1]);
        if (pendingHigh[order] && u >= 0xDC00 && u <= 0xDFFF) text[order] += 2;  // a pair
        pendingHigh[order] = u >= 0xD800 && u <= 0xDBFF;
        if (u == 0x09 || u == 0x0A || u == 0x0D || u == 0x20) ++breaks[order];
        if (IsCjk(u)) {
          ++cjk[order];
          lowCjk[order] += (u & 0xFF) < 0x40;
          ++text[order];
        } else if (IsOtherText(u)) {
          ++text[order];
        }
      }
    }
  }

  // The byte order the bytes are UTF-16 text in, if any: 0 or 1, else -1.
  int Order() const {
    // A line end or a space has its zero byte on the side of the high byte; reversed, only
    // characters no Chinese text uses (U+0A00, U+0D00, U+2000) would give one.
    if (breaks[0] != breaks[1]) {
      const int order = breaks[0] > breaks[1] ? 0 : 1;
      return text[order] * 100 >= units * 95 ? order : -1;
    }
    // Chinese text without one: its low bytes run over all values, while the second bytes
    // of the legacy code pages, which read as CJK characters too, are 0x40 and above; and
    // nearly half its bytes are 0x80 or above, where mostly ASCII text pairs up into
    // characters of all kinds too.
    const int order = cjk[0] >= cjk[1] ? 0 : 1;
    if (units >= 16 && text[order] * 100 >= units * 98 && cjk[order] * 2 >= units &&
        lowCjk[order] * 10 >= cjk[order] && highBytes * 2 >= units) {
      return order;
    }
    return -1;
  }
};

// The ANSI code page's reading: characters outside ASCII, of them user-defined, errors.
struct TGbEvidence {
  size_t characters = 0;
  size_t privateUse = 0;
  size_t errors = 0;

  void Add(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
      if (static_cast<unsigned char>(text[at]) < 0x80) {
        ++at;
        continue;
      }
      size_t length = 0;
      const char32_t c = AnsiCharAt(text, at, length);
      ++characters;
      if (c == 0xFFFD) {
        ++errors;
      } else if (c >= 0xE000 && c <= 0xF8FF) {
        ++privateUse;
      }
      at += length;
    }
  }
};

// ICU's detector's first choice among the three code pages, with its confidence (0-100).
struct TRanking {
  TSourceEncoding top = TSourceEncoding::seAuto;
  int confidence = 0;
};

TRanking Rank(const std::string& sample) {
  TRanking ranking;
  UErrorCode error = U_ZERO_ERROR;
  std::unique_ptr<UCharsetDetector, decltype(&ucsdet_close)> detector(ucsdet_open(&error),
                                                                      ucsdet_close);
  if (U_FAILURE(error)) return ranking;
  ucsdet_setText(detector.get(), sample.data(), static_cast<int32_t>(sample.size()), &error);
  int32_t found = 0;
  const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &found, &error);
  for (int32_t i = 0; U_SUCCESS(error) && i < found; ++i) {
    const std::string_view name = ucsdet_getName(matches[i], &error);
    TSourceEncoding encoding = TSourceEncoding::seAuto;
    if (name == "GB18030") encoding = TSourceEncoding::seGb18030;
    if (name == "Big5") encoding = TSourceEncoding::seBig5;
    if (name == "Shift_JIS") encoding = TSourceEncoding::seShiftJis;
    if (encoding == TSourceEncoding::seAuto) continue;
    ranking.top = encoding;
    ranking.confidence = ucsdet_getConfidence(matches[i], &error);
    break;
  }
  return ranking;
}

// The sample of a file: whole up to kWholeFile, else kRuns runs of a block spread evenly.
// block gets the bytes as they are read, each at an even offset; lines gets the same bytes
// in pieces of whole lines, never a character cut between two pieces (a run inside the file
// starts after its first line end and ends after its last).
void ReadSample(TStream& file, int64_t offset, int64_t size,
                const std::function<void(std::string_view)>& block,
                const std::function<void(std::string_view, bool fileEnd)>& lines) {
  struct TRun {
    int64_t start, length;
  };
  std::vector<TRun> runs;
  if (size <= kWholeFile) {
    runs.push_back({0, size});
  } else {
    for (int i = 0; i < kRuns; ++i)
      runs.push_back({(size - static_cast<int64_t>(kBlock)) * i / (kRuns - 1) / 2 * 2, kBlock});
  }
  const std::unique_ptr<char[]> buffer(new char[kBlock]);
  std::string pending;  // what follows the last line end so far
  for (const TRun& run : runs) {
    file.SetPosition(offset + run.start);
    pending.clear();
    bool skipLine = run.start > 0;
    for (int64_t done = 0; done < run.length;) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(run.length - done, kBlock));
      file.ReadBuffer(buffer.get(), want);
      done += static_cast<int64_t>(want);
      const std::string_view raw(buffer.get(), want);
      if (block) block(raw);
      pending.append(raw);
      const bool runEnd = done == run.length;
      const bool fileEnd = run.start + done == size;
      if (skipLine) {
        const size_t lf = pending.find('\n');
        if (lf == std::string::npos && !runEnd) continue;
        if (lf != std::string::npos) pending.erase(0, lf + 1);
        skipLine = false;
      }
      // A line feed is no part of a character in any of the encodings.
      size_t use = pending.size();
      if (!fileEnd) {
        const size_t lf = pending.rfind('\n');
        if (lf != std::string::npos) {
          use = lf + 1;
        } else if (!runEnd && pending.size() <= kBlock) {
          continue;
        }
      }
      lines(std::string_view(pending).substr(0, use), fileEnd);
      pending.erase(0, use);
    }
  }
}

// Whole lines from all over the sample, for ICU's detector, which takes some 0.6 ms a
// kilobyte: enough to rank, little enough for a book of many short chapters.
class TDetectorSample {
 public:
  TDetectorSample(int64_t size)
      : share_(kDetectorBytes /
               static_cast<size_t>(size <= kWholeFile ? (size + kBlock - 1) / kBlock : kRuns)) {}
  // Slices spread over the text, each from a line start.
  void Add(std::string_view text) {
    const size_t want = std::min(share_, kDetectorBytes - std::min(kDetectorBytes, text_.size()));
    if (text.size() <= want) {
      text_.append(text);
      return;
    }
    const size_t slices = std::max<size_t>(1, want / kSlice);
    for (size_t i = 0; i < slices; ++i) {
      size_t from = text.size() * i / slices;
      if (from > 0) {
        const size_t lf = text.find('\n', from - 1);
        if (lf == std::string_view::npos) break;
        from = lf + 1;
      }
      // From a line start, a byte of 0x81 and above begins a character of two bytes (four in
      // GB18030: two pairs): stepping so finds where one ends.
      const size_t limit = std::min(want / slices, text.size() - from);
      const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + from;
      size_t end = 0;
      while (end < limit && (p[end] < 0x81 || end + 2 <= limit))
        end += p[end] < 0x81 ? 1 : 2;
      const std::string_view slice = text.substr(from, end);
      text_.append(slice);
    }
  }
  const std::string& Text() const { return text_; }

 private:
  size_t share_;
  std::string text_;
};

bool Clean(const TDecodeCounts& c) {
  return c.errors == 0 && c.privateUse * 50 <= c.characters;
}

// A file cut by size out of a longer one: errors at the start of a text that goes on long
// after them are no fault of the code page.
TDecodeCounts WithoutACutStart(TDecodeCounts c) {
  if (c.characters >= 16) c.errors -= c.errorsAtStart;
  return c;
}

// Decides among the legacy code pages. counts decodes the sample in one, only when the
// decision needs it.
TEncodingChoice DecideLegacy(const TGbEvidence& gb, const std::function<TRanking()>& rank,
                             const std::function<TDecodeCounts(TLegacyCodePage)>& counts) {
  using enum TSourceEncoding;
  // Real GBK text uses user-defined codes now and then; Big5 read as GB18030 gives a third
  // of its characters or more in that area, its most common ones among them.
  const bool gbLikely = gb.errors == 0 && gb.privateUse * 10 < gb.characters;
  const bool gbUnlikely =
      gb.errors > 0 || (gb.privateUse >= 2 && gb.privateUse * 4 >= gb.characters);
  // Big5-HKSCS gives characters to many codes that Big5 leaves to the user.
  std::optional<std::optional<TSourceEncoding>> family;
  auto big5Family = [&]() -> std::optional<TSourceEncoding> {
    if (family) return *family;
    const TDecodeCounts big5 = WithoutACutStart(counts(TLegacyCodePage::lcBig5));
    family.emplace();
    if (big5.errors == 0 && big5.privateUse == 0 && big5.characters > 0) {
      *family = seBig5;
    } else if (big5.characters > 0) {
      const TDecodeCounts hkscs = WithoutACutStart(counts(TLegacyCodePage::lcBig5Hkscs));
      // Counts of a code page with errors stop at the first.
      if (hkscs.errors == 0 && Clean(hkscs) &&
          (big5.errors > 0 || hkscs.privateUse < big5.privateUse)) {
        *family = seBig5Hkscs;
      } else if (Clean(big5)) {
        *family = seBig5;
      }
    }
    return *family;
  };
  std::optional<TDecodeCounts> japanese;
  auto shiftJis = [&]() -> const TDecodeCounts& {
    if (!japanese) japanese = WithoutACutStart(counts(TLegacyCodePage::lcShiftJis));
    return *japanese;
  };

  auto shiftJisDecodes = [&] { return Clean(shiftJis()) && shiftJis().characters > 0; };

  TEncodingChoice choice;
  choice.encoding = seGb18030;
  // Only GB18030 decodes the bytes, as likely text (most GBK files): nothing to rank.
  if (gbLikely && !big5Family() && !shiftJisDecodes()) return choice;
  const TRanking ranking = rank();
  // ICU gives 10 to whatever has ten characters outside ASCII or fewer: too few to rank.
  if (ranking.confidence > 10) {
    const TDecodeCounts* sj = ranking.top == seShiftJis ? &shiftJis() : nullptr;
    if (ranking.top == seBig5 && !gbLikely && big5Family()) {
      choice.encoding = *big5Family();
      choice.unsure = ranking.confidence < 50;
    } else if (sj != nullptr && Clean(*sj) && sj->characters > 0 &&
               sj->halfwidthKana * 10 <= sj->characters && sj->kana * 10 >= sj->characters) {
      // Japanese text is a tenth kana or more, and little of it half-width.
      choice.encoding = seShiftJis;
      choice.unsure = ranking.confidence < 50 && gbLikely;
    } else {
      choice.unsure = ranking.top != seGb18030 || !gbLikely;
    }
  } else {
    if (gbUnlikely && big5Family()) choice.encoding = *big5Family();
    choice.unsure = true;
  }
  // Unsure only where another reading decodes as well.
  if (choice.encoding != seGb18030) {
    choice.runnerUp = seGb18030;
    if (gb.errors > 0) choice.unsure = false;
  } else if (choice.unsure) {
    if (big5Family()) {
      choice.runnerUp = *big5Family();
    } else if (shiftJisDecodes()) {
      choice.runnerUp = seShiftJis;
    } else {
      choice.unsure = false;
    }
  }
  return choice;
}

}  // namespace

TEncodingChoice DetectEncoding(TStream& file, int64_t offset, int64_t size) {
  TEncodingChoice choice;  // UTF-8, sure
  if (size <= 0) return choice;
  TUtf8Evidence utf8;
  TUtf16Evidence utf16;
  TGbEvidence gb;
  TDetectorSample sample(size);
  ReadSample(
      file, offset, size, [&utf16](std::string_view raw) { utf16.Add(raw); },
      [&](std::string_view text, bool fileEnd) {
        utf8.Add(text, fileEnd);
        gb.Add(text);
        sample.Add(text);
      });
  if (utf8.malformed == 0 && !utf8.zeroByte) return choice;
  const int order = utf16.Order();
  if (order >= 0) {
    choice.encoding = order == 0 ? TSourceEncoding::seUtf16LE : TSourceEncoding::seUtf16BE;
    return choice;
  }
  if (utf8.malformed == 0) return choice;
  // Legacy text reads as a well-formed UTF-8 sequence now and then, far less often than
  // not.
  if (utf8.wellFormed >= 8 && utf8.wellFormed >= 4 * utf8.malformed) {
    choice.damaged = true;
    return choice;
  }
  return DecideLegacy(
      gb, [&sample] { return Rank(sample.Text()); },
      [&](TLegacyCodePage page) {
        TLegacyDecoder decoder(page);
        ReadSample(file, offset, size, nullptr, [&decoder](std::string_view text, bool) {
          // One error past the start is enough to rule the code page out.
          const TDecodeCounts& c = decoder.Counts();
          for (size_t at = 0; at < text.size(); at += 4096) {
            if (c.errors > c.errorsAtStart && c.characters >= 16) return;
            decoder.Count(text.substr(at, 4096), at + 4096 >= text.size());
          }
        });
        return decoder.Counts();
      });
}

}  // namespace lumbrella
