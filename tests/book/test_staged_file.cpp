// Files of the staging tree record the CRC-32 of what they hold while recording is on, so
// that an update need not read them back.
#include <gtest/gtest.h>

#include "book/staging.h"
#include "common/test_util.h"
#include "zip/deflate.h"
#include "zip/knowncrc.h"

namespace lumbrella {
namespace {

std::optional<uint32_t> Recorded(const std::string& path) {
  TFileStream file(path, TFileMode::fmOpenRead);
  TFileStamp stamp;
  EXPECT_TRUE(GetFileStamp(file.Handle(), stamp));
  return StagedCrcs().Find(stamp);
}

uint32_t CrcOf(const std::string& bytes) {
  return ~CrcUpdate(0xFFFFFFFF, bytes.data(), bytes.size());
}

TEST(StagedFile, RecordsTheCrcOfWhatItHoldsWhileRecording) {
  test::TempFolder dir;
  struct Recording {
    Recording() { RecordStagedCrcs(true); }
    ~Recording() {
      RecordStagedCrcs(false);
      StagedCrcs().Clear();
    }
  } recording;
  WriteUtf8File(dir / "page.html", "<p>\x81\x30\x81\x30</p>");  // GB18030 for U+0080
  EXPECT_EQ(Recorded(dir / "page.html"), CrcOf("<p>\xC2\x80</p>"));
  {
    // Written again from its start: what it holds at last counts.
    TStagedFile file(dir / "again.html");
    file.WriteBuffer("first text", 10);
    file.SetPosition(0);
    ASSERT_TRUE(file.Truncate());
    file.WriteBuffer("second", 6);
  }
  EXPECT_EQ(Recorded(dir / "again.html"), CrcOf("second"));
  {
    // A write in the middle: no record.
    TStagedFile file(dir / "patched.html");
    file.WriteBuffer("0123456789", 10);
    file.SetPosition(4);
    file.WriteBuffer("x", 1);
  }
  EXPECT_EQ(Recorded(dir / "patched.html"), std::nullopt);
  RecordStagedCrcs(false);
  WriteUtf8File(dir / "off.html", "text");
  EXPECT_EQ(Recorded(dir / "off.html"), std::nullopt);
}

}  // namespace
}  // namespace lumbrella
