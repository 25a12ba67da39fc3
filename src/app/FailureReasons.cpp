#include "FailureReasons.h"

#include <cstring>
#include <new>

#include "SysUtils.h"

namespace {

bool Writing(const Exception& e) {
    return dynamic_cast<const EFCreateError*>(&e) || dynamic_cast<const EWriteError*>(&e);
}

// The system's own words where it gave any, for a kind that says little by itself.
std::string WithSystemText(std::string reason, int sysErrno) {
    if (sysErrno != 0) reason += std::string("（") + std::strerror(sysErrno) + "）";
    return reason + "。";
}

std::string Reason(const Exception& e) {
    const bool writing = Writing(e);
    switch (e.Kind()) {
    case TFailureKind::NotFound: return writing ? "保存先のフォルダーが見つかりません。" : "ファイルが見つかりません。";
    case TFailureKind::NoPermission:
        return writing ? "保存先に書き込む権限がありません。" : "ファイルを読む権限がありません。";
    case TFailureKind::NotRegularFile: return "ふつうのファイルではありません（フォルダーなど）。";
    case TFailureKind::DiskFull: return "ディスクの空きが足りません。";
    case TFailureKind::OutOfMemory: return "メモリが足りません。";
    case TFailureKind::TooLarge: return "画像が大きすぎます。";
    case TFailureKind::Damaged:
        if (e.Offset() >= 0) return "ファイルが壊れています（" + std::to_string(e.Offset()) + " バイト目）。";
        return "ファイルが壊れています。";
    case TFailureKind::Unsupported: return "ビットマップファイルではないか、対応していない種類のビットマップです。";
    case TFailureKind::SameAsSource: return "保存先が元のファイルと同じです。";
    case TFailureKind::IoError:
        return WithSystemText(writing ? "ファイルを書き込めませんでした" : "ファイルを読み込めませんでした",
                              e.SysErrno());
    case TFailureKind::Other: break;
    }
    // Code that knows only a text: what kind of step failed still tells the user something.
    if (dynamic_cast<const EInvalidGraphic*>(&e)) return "ビットマップファイルではないか、壊れています。";
    if (writing) return WithSystemText("ファイルを書き込めませんでした", e.SysErrno());
    if (dynamic_cast<const EStreamError*>(&e)) return WithSystemText("ファイルを読み込めませんでした", e.SysErrno());
    return "処理できませんでした（" + e.Message() + "）。";
}

}  // namespace

std::string FailureReason(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return Reason(e);
    } catch (const std::bad_alloc&) {
        return Reason(Exception("", TFailureKind::OutOfMemory));
    } catch (const std::exception& e) {
        return std::string("処理できませんでした（") + e.what() + "）。";
    } catch (...) {
        return "処理できませんでした。";
    }
}
