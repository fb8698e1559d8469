#include "workflow/Destination.h"

#include <sys/stat.h>

#include <cerrno>

#include "engine/common/Error.h"

namespace tamsel {

namespace fs = std::filesystem;

namespace {

// "out/" and "out/." name the folder out itself.
fs::path withoutTrailingSeparators(const fs::path& p) {
    fs::path n = p.lexically_normal();
    if (!n.has_filename() && n.has_relative_path()) n = n.parent_path();
    return n;
}

bool isFolder(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when `dest` is already a folder; throws when it cannot become one.
bool existingOrPossible(const fs::path& dest) {
    struct stat st {};
    if (::stat(dest.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        throw Error("保存先 " + dest.string() + " はフォルダではありません。保存先にはフォルダを指定してください。");
    }
    if (errno != ENOENT && errno != ENOTDIR) throwFileError(dest.string(), "確認できませんでした");
    fs::path parent = dest.parent_path();
    if (parent.empty()) parent = ".";
    if (!isFolder(parent))
        throw Error("保存先の親フォルダ " + parent.string() +
                    " がありません。保存先のディスクがつながっているか、パスに誤りがないかを確かめてください"
                    "(作られるのは保存先のフォルダ 1 つだけです)。");
    return false;
}

}  // namespace

void checkDestinationFolder(const fs::path& dest) { existingOrPossible(withoutTrailingSeparators(dest)); }

void prepareDestinationFolder(const fs::path& dest) {
    const fs::path folder = withoutTrailingSeparators(dest);
    if (existingOrPossible(folder)) return;
    if (::mkdir(folder.c_str(), 0777) != 0 && !(errno == EEXIST && isFolder(folder)))
        throwFileError(folder.string(), "作成できませんでした");
}

}  // namespace tamsel
