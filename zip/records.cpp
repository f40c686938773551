#include "zip/records.h"

#include <algorithm>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace lumbrella {

namespace {

// Walks a text character by character, handing out each byte with ASCII letters that
// stand alone folded to upper case.
class FoldedBytes {
 public:
  explicit FoldedBytes(std::string_view s) : s_(s) {}
  unsigned char Next() {
    if (pos_ == boundary_) {
      size_t length = AnsiCharLength(s_, pos_);
      single_ = length == 1;
      boundary_ = pos_ + length;
    }
    unsigned char c = static_cast<unsigned char>(s_[pos_++]);
    if (single_ && c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    return c;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  size_t boundary_ = 0;
  bool single_ = true;
};

}  // namespace

// --- Names --------------------------------------------------------------------------------

int CompareNamesIgnoringCase(const std::string& a, const std::string& b) {
  FoldedBytes fa(a), fb(b);
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    unsigned char ca = fa.Next(), cb = fb.Next();
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string EncodeEntryName(TZipHeaderInfo& entry) {
  std::string name = entry.FullName();
  switch (entry.nameMode) {
    case oemNever:
      return name;
    case oemAlways:
      return AnsiToOem(name);
    case oemFlexible: {
      std::string oem = AnsiToOem(name);
      bool roundTrips = CompareNamesIgnoringCase(OemToAnsi(oem), name) == 0;
      entry.versionMadeBy =
          static_cast<uint16_t>((entry.versionMadeBy & 0xFF) | (roundTrips ? 11 << 8 : 0));
      return roundTrips ? name : oem;
    }
  }
  return name;
}

// --- TZipHeaderInfo -------------------------------------------------------------------------

void TZipHeaderInfo::SetFileName(std::string name) {
  fileName_ = std::move(name);
  nameLength = static_cast<uint16_t>(path_.size() + fileName_.size());
}

void TZipHeaderInfo::SetPath(std::string path) {
  path_ = std::move(path);
  if (!path_.empty() && path_.back() != '/') path_ += '/';
  nameLength = static_cast<uint16_t>(path_.size() + fileName_.size());
}

void TZipHeaderInfo::SetComment(std::string comment) {
  if (comment.size() > kEscape16) comment.resize(kEscape16);
  commentLength = static_cast<uint16_t>(comment.size());
  comment_ = std::move(comment);
}

void TZipHeaderInfo::ClearComment() {
  comment_.reset();
  commentLength = 0;
}

// --- TEndCentral ----------------------------------------------------------------------------

void TEndCentral::SetComment(std::string comment) {
  if (comment.size() > kEscape16) comment.resize(kEscape16);
  commentLength = static_cast<uint16_t>(comment.size());
  comment_ = std::move(comment);
}

// --- TSortedZip -----------------------------------------------------------------------------

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  if (mode_ == TSortMode::ByName) return a.FullName().compare(b.FullName());
  if (a.diskNumberStart != b.diskNumberStart) return a.diskNumberStart < b.diskNumberStart ? -1 : 1;
  if (a.relativeOffset != b.relativeOffset) return a.relativeOffset < b.relativeOffset ? -1 : 1;
  return 0;
}

TZipHeaderInfo* TSortedZip::Item(size_t i) const {
  if (i >= items_.size()) throw EListError("Index " + std::to_string(i) + " is out of range");
  return items_[i].get();
}

size_t TSortedZip::Add(std::unique_ptr<TZipHeaderInfo> entry) {
  // Entries mostly arrive in order: look at the end first.
  auto at = items_.end();
  if (!items_.empty() && Compare(*items_.back(), *entry) >= 0) {
    at = std::lower_bound(items_.begin(), items_.end(), entry,
                          [this](const auto& a, const auto& b) { return Compare(*a, *b) < 0; });
    if (Compare(**at, *entry) == 0) throw EListError("Duplicate Object index");
  }
  // insert() may reallocate: take begin() only after it.
  auto inserted = items_.insert(at, std::move(entry));
  return static_cast<size_t>(inserted - items_.begin());
}

void TSortedZip::Assign(std::vector<std::unique_ptr<TZipHeaderInfo>> entries) {
  items_.clear();
  std::stable_sort(entries.begin(), entries.end(),
                   [this](const auto& a, const auto& b) { return Compare(*a, *b) < 0; });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (Compare(*entries[i - 1], *entries[i]) == 0) throw EListError("Duplicate Object index");
  }
  items_ = std::move(entries);
}

long TSortedZip::FindName(const std::string& fullName) const {
  if (mode_ != TSortMode::ByName) {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i]->FullName() == fullName) return static_cast<long>(i);
    }
    return -1;
  }
  auto at = std::lower_bound(items_.begin(), items_.end(), fullName,
                             [](const auto& e, const std::string& n) { return e->FullName() < n; });
  return at != items_.end() && (*at)->FullName() == fullName
             ? static_cast<long>(at - items_.begin())
             : -1;
}

long TSortedZip::FindPlace(uint32_t disk, uint64_t offset) const {
  auto before = [](const auto& e, std::pair<uint32_t, uint64_t> key) {
    return std::make_pair(e->diskNumberStart, e->relativeOffset) < key;
  };
  auto at = std::lower_bound(items_.begin(), items_.end(), std::make_pair(disk, offset), before);
  return at != items_.end() && (*at)->diskNumberStart == disk && (*at)->relativeOffset == offset
             ? static_cast<long>(at - items_.begin())
             : -1;
}

std::unique_ptr<TZipHeaderInfo> TSortedZip::Extract(size_t i) {
  Item(i);  // range check
  std::unique_ptr<TZipHeaderInfo> entry = std::move(items_[i]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  return entry;
}

}  // namespace lumbrella
