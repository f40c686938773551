#include "book/chapter_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <numeric>

#include "book/decode.h"
#include "book/numerals.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// "%.2fKB" with the locale's decimal separator and no grouping. The wide printf takes the
// separator from LC_NUMERIC as a character, so no guess about its byte encoding is needed.
std::string SizeText(double kb) {
  wchar_t wide[64];
  const int n = std::swprintf(wide, std::size(wide), L"%.2fKB", kb);
  std::u16string units;
  for (int i = 0; i < n; ++i) {
    auto c = static_cast<char32_t>(wide[i]);
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  return Utf16ToAnsi(units);
}

// Bytes with ASCII a-z folded to A-Z; a prefix goes first.
int CompareText(std::string_view a, std::string_view b) {
  auto fold = [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : static_cast<int>(u);
  };
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int d = fold(a[i]) - fold(b[i]);
    if (d != 0) return d;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// The length of the GB18030 character at text[i]: one byte, two, or four (a second byte of
// 0x30-0x39); a character cut off at the end counts its bytes.
size_t CharLength(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x81 || lead == 0xFF || i + 1 >= text.size()) return 1;
  const auto second = static_cast<unsigned char>(text[i + 1]);
  if (second >= 0x30 && second <= 0x39) return std::min<size_t>(4, text.size() - i);
  return 2;
}

// What a character is to the natural order: a digit (ASCII or full-width) with its value, a
// Chinese numeral, or anything else.
struct TNumeralChar {
  enum { kOther, kDigit, kChinese } kind = kOther;
  char32_t c = 0;  // the digit's value, or the numeral
};

TNumeralChar NumeralAt(std::string_view text, size_t i, size_t length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (length == 1) {
    return lead >= '0' && lead <= '9' ? TNumeralChar{TNumeralChar::kDigit, char32_t(lead - '0')}
                                      : TNumeralChar{};
  }
  // The numerals' GB18030 forms, once.
  static const std::vector<std::pair<std::string, TNumeralChar>> kNumerals = [] {
    std::vector<std::pair<std::string, TNumeralChar>> numerals;
    for (char16_t c = u'０'; c <= u'９'; ++c) {
      numerals.emplace_back(Utf16ToAnsi(std::u16string(1, c)),
                            TNumeralChar{TNumeralChar::kDigit, char32_t(c - u'０')});
    }
    for (char32_t c : kChineseNumerals) {
      numerals.emplace_back(Utf16ToAnsi(std::u16string(1, static_cast<char16_t>(c))),
                            TNumeralChar{TNumeralChar::kChinese, c});
    }
    return numerals;
  }();
  const std::string_view bytes = text.substr(i, length);
  for (const auto& [form, numeral] : kNumerals) {
    if (form == bytes) return numeral;
  }
  return {};
}

// Reads the run of digits, or of Chinese numerals, that starts at text[i]; returns its value
// and moves i behind it.
uint64_t NumberRun(std::string_view text, size_t& i, bool chinese) {
  uint64_t value = 0;
  std::u32string numerals;
  while (i < text.size()) {
    const size_t length = CharLength(text, i);
    const TNumeralChar n = NumeralAt(text, i, length);
    if (n.kind != (chinese ? TNumeralChar::kChinese : TNumeralChar::kDigit)) break;
    if (chinese) {
      numerals += n.c;
    } else {
      value = value > (UINT64_MAX - n.c) / 10 ? UINT64_MAX : value * 10 + n.c;
    }
    i += length;
  }
  return chinese ? ReadNumber(numerals).value_or(UINT64_MAX) : value;
}

// Natural order: runs of digits and runs of Chinese numerals compare by their values (2 before
// 10, 第二章 before 第十章) and before any other character; other characters by their bytes,
// ASCII letters without regard to case. Texts equal so (02 and 2) fall back on CompareText.
int CompareNatural(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const size_t la = CharLength(a, i), lb = CharLength(b, j);
    const TNumeralChar na = NumeralAt(a, i, la), nb = NumeralAt(b, j, lb);
    const bool numberA = na.kind != TNumeralChar::kOther, numberB = nb.kind != TNumeralChar::kOther;
    if (numberA && numberB) {
      const uint64_t va = NumberRun(a, i, na.kind == TNumeralChar::kChinese);
      const uint64_t vb = NumberRun(b, j, nb.kind == TNumeralChar::kChinese);
      if (va != vb) return va < vb ? -1 : 1;
      continue;
    }
    if (numberA != numberB) return numberA ? -1 : 1;
    if (int d = CompareText(a.substr(i, la), b.substr(j, lb)); d != 0) return d;
    i += la;
    j += lb;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return CompareText(a, b);
}

// The caption's number ("12" is 12).
uint64_t CaptionValue(const std::string& caption) {
  return std::strtoull(caption.c_str(), nullptr, 10);
}

}  // namespace

void TChapterList::Select(int position) {
  selected_ = position >= 0 && static_cast<size_t>(position) < rows_.size() ? position : -1;
}

bool TChapterList::AddSourceFile(const std::string& path) {
  std::optional<TChapter> chapter = ChapterOf(path);
  if (!chapter) return false;
  ChapterRow row;
  row.caption = std::to_string(rows_.size() + 1);
  row.name = std::move(chapter->label);
  row.sizeKB = FileSizeKB(path);
  row.sizeText = SizeText(row.sizeKB);
  row.path = path;
  rows_.push_back(std::move(row));
  return true;
}

std::vector<TChapter> TChapterList::Chapters() const {
  std::vector<TChapter> chapters;
  chapters.reserve(rows_.size());
  for (const ChapterRow& row : rows_)
    chapters.push_back(TChapter{row.name, row.path, row.encoding});
  return chapters;
}

void TChapterList::SetEncoding(size_t i, TSourceEncoding encoding) {
  if (i >= rows_.size()) throw EListError("Index " + std::to_string(i) + " is out of range");
  rows_[i].encoding = encoding;
}

std::string TChapterList::EncodingLabel(TSourceEncoding encoding) {
  return encoding == TSourceEncoding::seGb18030 ? "GBK/GB18030" : EncodingName(encoding);
}

std::optional<TEncodingChoice> TChapterList::DetectedEncoding(const std::string& path) {
  try {
    TSourceText source(path);
    return source.Encoding();
  } catch (const Exception&) {
    return std::nullopt;
  }
}

std::string TChapterList::EncodingText(size_t i) const {
  const ChapterRow& row = rows_.at(i);
  std::string text = "编码：";
  if (row.encoding != TSourceEncoding::seAuto) {
    text += EncodingLabel(row.encoding) + "（手动选择）";
  } else if (const std::optional<TEncodingChoice> found = DetectedEncoding(row.path)) {
    text += EncodingLabel(found->encoding);
    if (found->by == TEncodingChoice::TBy::byMark) {
      text += "（文件开头有字节顺序标记）";
    } else if (found->unsure) {
      text += "（自动检测，不确定，也可能是 " + EncodingLabel(found->runnerUp) + "）";
    } else if (found->damaged) {
      text += "（自动检测，文件有损坏的字节）";
    } else {
      text += "（自动检测）";
    }
  } else {
    text += "无法读取文件";
  }
  return Utf8ToAnsi(text);
}

double TChapterList::FileSizeKB(const std::string& path) {
  // Only regular files are opened: opening a named pipe for reading would wait for a writer.
  struct stat st;
  if (stat(FsPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  try {
    TFileStream file(path, TFileMode::fmOpenRead);
    const int64_t size = file.Size();
    return size > 0 ? static_cast<double>(size) / 1000.0 : 0;
  } catch (const EStreamError&) {
    return 0;
  }
}

void TChapterList::SwapRows(size_t i, size_t j) {
  for (size_t k : {i, j}) {
    if (k >= rows_.size()) {
      throw EListError("Index " + std::to_string(k) + " is out of range");
    }
  }
  if (i != j) std::swap(rows_[i], rows_[j]);
}

bool TChapterList::DeleteSelected() {
  if (selected_ < 0) return false;
  const auto i = static_cast<size_t>(selected_);
  rows_.erase(rows_.begin() + selected_);
  // The row that took its place, or the new last row; nothing when the list is empty.
  Select(i < rows_.size() ? selected_ : static_cast<int>(rows_.size()) - 1);
  return true;
}

void TChapterList::Clear() {
  rows_.clear();
  selected_ = -1;
}

void TChapterList::MoveUp() {
  if (selected_ < 0) return;
  const int target = selected_ != 0 ? selected_ - 1 : static_cast<int>(rows_.size()) - 1;
  SwapRows(static_cast<size_t>(target), static_cast<size_t>(selected_));
  selected_ = target;
}

void TChapterList::MoveDown() {
  if (selected_ < 0) return;
  const int last = static_cast<int>(rows_.size()) - 1;
  const int target = selected_ < last ? selected_ + 1 : 0;
  SwapRows(static_cast<size_t>(target), static_cast<size_t>(selected_));
  selected_ = target;
}

void TChapterList::ColumnClick(int column) {
  if (column < 0 || column > 3) return;
  sortColumn_ = column;
  sortDescending_ = column == lastSortColumn_ ? 1 - sortDescending_ : 0;
  lastSortColumn_ = column;

  // Whole rows move; the selection stays with its row, wherever that lands.
  std::vector<size_t> order(rows_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
    return Compare(rows_[a], rows_[b], sortDescending_) < 0;
  });
  std::vector<ChapterRow> sorted;
  sorted.reserve(rows_.size());
  int selected = -1;
  for (size_t k = 0; k < order.size(); ++k) {
    if (static_cast<int>(order[k]) == selected_) selected = static_cast<int>(k);
    sorted.push_back(std::move(rows_[order[k]]));
  }
  rows_ = std::move(sorted);
  selected_ = selected;
}

int TChapterList::Compare(const ChapterRow& a, const ChapterRow& b, int data) const {
  int result = 0;
  switch (sortColumn_) {
    case 0: {
      const uint64_t x = CaptionValue(a.caption), y = CaptionValue(b.caption);
      result = x < y ? -1 : x > y ? 1 : 0;
      break;
    }
    case 1:
      result = CompareNatural(a.name, b.name);
      break;
    case 2:
      result = a.sizeKB < b.sizeKB ? -1 : a.sizeKB > b.sizeKB ? 1 : 0;
      break;
    default:
      result = CompareNatural(a.path, b.path);
      break;
  }
  return data != 0 ? -result : result;
}

std::string TChapterList::StatusText() const {
  return Utf8ToAnsi("共 ") + std::to_string(rows_.size()) + Utf8ToAnsi(" 个TXT文件");
}

}  // namespace lumbrella
