#include "book/failure.h"

#include <cerrno>

#include "book/convert.h"
#include "book/cover.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "zip/errors.h"

namespace lumbrella {

namespace {

bool SamePath(const std::string& expanded, const std::string& given) {
  return !given.empty() && expanded == ExpandFileName(given);
}

// A file error: the disk, the output's name or folder, the cover or a chapter.
TFailureCause FileFailure(const EStreamError& e, bool creating, const std::string& cover,
                          const std::string& output) {
  const int err = e.SysError();
  if (err == ENOSPC || err == EDQUOT) return TFailureCause::fcDiskFull;
  if (err == EWOULDBLOCK) return TFailureCause::fcBusy;  // the wait for its lock ran out
  if (SamePath(e.Path(), cover)) return TFailureCause::fcCoverUnreadable;
  if (SamePath(e.Path(), output)) {
    if (err == EACCES || err == EPERM || err == EROFS) return TFailureCause::fcNoPermission;
    if (err == ENAMETOOLONG) return TFailureCause::fcNameTooLong;
    if (err == ENOENT || err == ENOTDIR) return TFailureCause::fcFolderMissing;
    return TFailureCause::fcUnknown;
  }
  // Every other file that is opened is a chapter; every other that is created is staged.
  return creating ? TFailureCause::fcUnknown : TFailureCause::fcChapterUnreadable;
}

}  // namespace

TFailureCause FailureCause(const std::exception_ptr& error, const std::string& cover,
                           const std::string& output) {
  if (!error) return TFailureCause::fcUnknown;
  try {
    std::rethrow_exception(error);
  } catch (const EIncompleteZip&) {
    return TFailureCause::fcNotAnArchive;
  } catch (const ENotAZipFile&) {
    return TFailureCause::fcNotAnArchive;
  } catch (const EBadZipFile&) {
    return TFailureCause::fcNotAnArchive;
  } catch (const ENotEnoughRoom&) {
    return TFailureCause::fcDiskFull;
  } catch (const EWriteError& e) {
    // A write the disk refused; one without a cause is taken for a full disk too.
    const int err = e.SysError();
    return err == 0 || err == ENOSPC || err == EDQUOT ? TFailureCause::fcDiskFull
                                                      : TFailureCause::fcUnknown;
  } catch (const EInvalidGraphic&) {
    return TFailureCause::fcCoverUnreadable;
  } catch (const EConversionBusy&) {
    return TFailureCause::fcBusy;
  } catch (const EFCreateError& e) {
    return FileFailure(e, true, cover, output);
  } catch (const EFOpenError& e) {
    return FileFailure(e, false, cover, output);
  } catch (...) {
    return TFailureCause::fcUnknown;
  }
}

std::string FailureCauseText(TFailureCause cause) {
  const char* text = "";
  switch (cause) {
    case TFailureCause::fcUnknown:
      break;
    case TFailureCause::fcNoPermission:
      text = "没有在这个位置写入文件的权限，请换一个文件夹保存（例如“文档”或桌面）。";
      break;
    case TFailureCause::fcFolderMissing:
      text = "要保存到的文件夹不存在（可能已被移走或删除），请重新选择保存位置。";
      break;
    case TFailureCause::fcDiskFull:
      text = "磁盘空间不足，请清理磁盘或换一个位置保存。";
      break;
    case TFailureCause::fcNameTooLong:
      text = "文件名或路径太长，请换一个短一些的书名或保存位置。";
      break;
    case TFailureCause::fcChapterUnreadable:
      text = "有章节文件已不存在或无法读取（可能被移动、改名或删除），请从列表中删除它后重新导入。";
      break;
    case TFailureCause::fcCoverUnreadable:
      text = "封面图片已不存在、无法读取或不是图片，请重新选择封面，或在封面栏上右键清除封面。";
      break;
    case TFailureCause::fcNotAnArchive:
      text = "要保存到的文件已存在，但不是电子书（ZIP）文件，无法更新它。";
      break;
    case TFailureCause::fcBusy:
      text = "另一个转换正在写入这里，请等它完成后再试。";
      break;
  }
  return Utf8ToAnsi(text);
}

}  // namespace lumbrella
