// tamsel-cli: the headless front end for rescue machines and scripts.

#include <cstdio>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#pragma GCC diagnostic pop

#include "cli/Commands.h"
#include "cli/Console.h"

using namespace tamsel::cli;

int main(int argc, char** argv) {
    CLI::App app{"tamsel: SD カード・USB メモリ・故障しかけたディスクからのデータ復旧"};
    app.require_subcommand(1);

    std::string source, dest;
    bool fresh = false;
    auto* scan = app.add_subcommand("scan", "削除されたファイルを探します(中断したスキャンは続きから再開します)");
    scan->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();
    scan->add_option("DEST", dest, "セッションを置くフォルダ")->required();
    scan->add_flag("--new", fresh, "続きから再開せず、新しいスキャンを始めます");

    // SESSION [SOURCE] DEST: two or three words, SOURCE only in the middle.
    std::vector<std::string> recoverArgs;
    auto* recover = app.add_subcommand("recover", "スキャンで見つかったファイルを復元します");
    recover->add_option("SESSION [SOURCE] DEST", recoverArgs,
                        "スキャンのセッションフォルダ(scan に渡した保存先でも可)、スキャンしたデバイスまたはイメージファイル"
                        "(省略するとセッションの記録から)、復元先のフォルダ")
        ->expected(2, 3)
        ->required();

    auto* image = app.add_subcommand("image", "ディスク全体をイメージファイルに吸い出します(中断しても続きから再開します)");
    image->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();
    image->add_option("DEST", dest, "イメージを置くフォルダ(読み取り元とは別のディスク)")->required();

    bool dryRun = false, allFiles = false;
    auto* salvage = app.add_subcommand("salvage", "認識できるドライブの中身を、読めない部分をゼロ埋めしながらコピーします");
    salvage->add_option("SRC", source, "コピー元フォルダ")->required();
    salvage->add_option("DST", dest, "保存先フォルダ")->required();
    salvage->add_flag("--dry-run", dryRun, "何がコピーされるか調べるだけで、何もコピーしません");
    salvage->add_flag("--all-files", allFiles, "写真・動画・音声以外のファイルもコピーします");

    auto* check = app.add_subcommand("check", "ドライブの状態を確認します(48 か所を読み取り、SMART も確かめます)");
    check->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();

    bool internal = false;
    auto* disks = app.add_subcommand("disks", "読み取り元に選べるディスクを一覧します");
    disks->add_flag("--internal", internal, "内蔵ディスクも含めます");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        app.exit(e, std::cerr, std::cerr);
        return kUsage;
    }
    installInterruptHandlers();
    if (*scan) return scanCommand(source, dest, fresh);
    if (*recover)
        return recoverCommand(recoverArgs.front(),
                              recoverArgs.size() == 3 ? std::optional<std::string>(recoverArgs[1]) : std::nullopt,
                              recoverArgs.back());
    if (*image) return imageCommand(source, dest);
    if (*salvage) return salvageCommand(source, dest, dryRun, allFiles);
    if (*check) return checkCommand(source);
    if (*disks) return disksCommand(internal);
    return kUsage;
}
