#include "workflow/Summaries.h"

#include "engine/common/Formatting.h"
#include "engine/carve/MediaClass.h"

namespace tamsel {

std::string imagingPhaseLabel(RescuePhase phase) {
    switch (phase) {
        case RescuePhase::trimming: return "読めない部分の端を読み取り中";
        case RescuePhase::scraping: return "読めない部分を1セクタずつ読み取り中";
        case RescuePhase::retrying: return "読めなかったセクタを読み直し中";
        case RescuePhase::copying:
        case RescuePhase::finished: break;
    }
    return "イメージ化中";
}

std::string imagingSummary(const ImagerProgress& p) {
    if (p.bytesDone >= p.totalBytes) {
        std::string s = "完了: " + formatByteCount(p.bytesDone) + " を吸い出しました";
        if (p.badBytes >= 1)
            s += "(読めなかった部分: " + formatByteCount(p.badBytes) + "・" + std::to_string(p.badRangeCount) + " 箇所)";
        return s;
    }
    return "中断しました(" + formatByteCount(p.bytesDone) + " まで完了・同じ保存先で再開できます)";
}

std::string imageCompleteNote(const std::filesystem::path& image) {
    return image.string() + " は吸い出し済みです(同じ読み取り元の完全なイメージです。読み直しはしません)";
}

std::string imageNameTakenNote(const std::filesystem::path& taken, const std::filesystem::path& chosen) {
    return taken.filename().string() + " は別の読み取り元のイメージなので、そのまま残して " + chosen.string() + " に保存します";
}

std::string imageMissingNote(const std::filesystem::path& image) {
    return "前回のイメージ " + image.string() + " が見つからないため、最初から吸い出します";
}

std::string imageIdentityUnknownNote() {
    return "前回の記録は以前の版のものです。イメージにすでに写した部分が今回の読み取り元と一致することを確かめて再開します";
}

std::string salvageSummary(const SalvageProgress& p, bool dryRun, bool cancelled) {
    // Files the filter passes over are counted, never silently dropped.
    std::string leftOut = p.filesLeftOut >= 1 ? "・対象外 " + std::to_string(p.filesLeftOut) + " 件" : "";
    if (p.specialFiles >= 1) leftOut += "・" + std::to_string(p.specialFiles) + " 件は特殊ファイルのためコピーしません";
    if (dryRun) {
        std::string s = "下見の結果: " + std::to_string(p.filesCopied) + " 件・" + formatByteCount(p.bytesCopied) +
                        " がコピー対象です(まだ何もコピーしていません)";
        if (p.filesFailed >= 1) s += "・" + std::to_string(p.filesFailed) + " 件は読み取れません";
        return s + leftOut;
    }
    if (cancelled) return "中断しました(再開できます)";
    std::string s = "完了: " + std::to_string(p.filesCopied) + " 件コピー";
    if (p.filesSkipped >= 1) s += "・" + std::to_string(p.filesSkipped) + " 件はコピー済みでスキップ";
    if (p.filesDamaged >= 1) s += "・" + std::to_string(p.filesDamaged) + " 件は一部読めずゼロ埋め";
    if (p.filesFailed >= 1) s += "・" + std::to_string(p.filesFailed) + " 件は失敗";
    return s + leftOut;
}

const std::set<std::string>& mediaExtensions() { return mediaClassExtensions(); }

DriveAdvice driveAdvice(bool preserveFirst) {
    if (preserveFirst)
        return {"先に保全(イメージ化)をおすすめします",
                "このドライブは読み取りを繰り返すほど悪化する恐れがあります。まず1回だけ通し読みして保全し、以降の作業は保全した複製に対して行うのが安全です。",
                {"このドライブを保全する（1回だけ通し読みします）", "保全した複製に対してスキャンし、中身を確認する", "必要なファイルを取り出す"},
                ""};
    return {"サンプルの範囲では異常は見つかりませんでした",
            "健康だと確定したわけではありません。確認したのはディスクのごく一部です。作業中に異音やエラーに気づいたら、すぐ中止して保全に切り替えてください。",
            {},
            "消したファイルを探す場合はスキャンへ、ドライブが認識できていて中身をそのまま退避したい場合は救出コピーへ進んでください。"};
}

}  // namespace tamsel
