#include "engine/common/Error.h"

#include <cerrno>

namespace tamsel {

std::string errorText(int code) {
    switch (code) {
        case ENOENT: return "ファイルまたはフォルダがありません";
        case EACCES: return "アクセスが許可されていません";
        case EPERM: return "この操作は許可されていません";
        case ENOSPC: return "ディスクの空き容量が足りません";
        case EDQUOT: return "ディスクの使用量の上限に達しました";
        case EROFS: return "読み取り専用のディスクです";
        case EIO: return "読み書き中にエラーが起きました(ディスクが傷んでいるか、接続が切れた可能性があります)";
        case ENOTDIR: return "途中にフォルダではないものがあります";
        case EISDIR: return "フォルダです(ファイルではありません)";
        case EEXIST: return "同じ名前のものがすでにあります";
        case ENXIO: return "デバイスが見つかりません(取り外された可能性があります)";
        case ENODEV: return "このデバイスでは使えない操作です";
        case ENOMEDIUM: return "メディアが入っていません";
        case EBUSY: return "使用中です";
        case ENAMETOOLONG: return "名前が長すぎます";
        case ELOOP: return "シンボリックリンクが多すぎるか、ループしています";
        case EINVAL: return "この読み取り元・保存先では使えない操作です";
        case EMFILE:
        case ENFILE: return "開いているファイルが多すぎます";
        case ENOMEM: return "メモリが足りません";
        case EFBIG: return "ファイルが大きすぎます(保存先のファイルシステムの上限を超えています)";
        case EXDEV: return "別のディスクをまたいだ操作はできません";
        case ENOTEMPTY: return "フォルダが空ではありません";
        case ETIMEDOUT: return "応答がなく時間切れになりました";
        case ESTALE: return "ネットワーク上のファイルが無効になりました";
        case EAGAIN: return "一時的に使えません";
        case EINTR: return "中断されました";
        default: return "システムエラー(番号 " + std::to_string(code) + ")";
    }
}

FileError::FileError(int code, std::string path, const std::string& action)
    : Error(path + " を" + action + ": " + errorText(code)), code_(code), path_(std::move(path)) {}

void throwFileError(const std::string& path, const std::string& action) {
    throw FileError(errno, path, action);
}

std::string describe(const std::exception& e) {
    if (auto* err = dynamic_cast<const Error*>(&e)) return err->description();
    return e.what();
}

}  // namespace tamsel
