// tamsel-cli: the headless front end for rescue machines and scripts.

#include <cstdio>
#include <iostream>
#include <memory>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#pragma GCC diagnostic pop

#include "cli/Commands.h"
#include "cli/Console.h"

using namespace tamsel::cli;

namespace {

const char* const kName = "tamsel-cli";

// CLI11's help in Japanese: its labels, and group titles through the same table.
class JapaneseFormatter : public CLI::Formatter {
public:
    JapaneseFormatter() {
        label("Usage", "使い方");
        label("OPTIONS", "オプション");
        label("SUBCOMMAND", "コマンド");
        label("SUBCOMMANDS", "コマンド");
        label("Positionals", "引数");
        label("Options", "オプション");
        label("Subcommands", "コマンド");
        label("REQUIRED", "");
        label("TEXT", "");
        column_width(24);
    }
    std::string make_group(std::string group, bool isPositional, std::vector<const CLI::Option*> opts) const override {
        return CLI::Formatter::make_group(get_label(group), isPositional, std::move(opts));
    }
    std::string make_option_opts(const CLI::Option*) const override { return {}; }
    std::string make_footer(const CLI::App* app) const override {
        if (app->get_parent()) return {};
        return "くわしくは「" + std::string(kName) + " コマンド --help」で確かめられます。\n"
               "終了コード: 0 完了、1 エラー、2 中断(同じコマンドで再開)、3・4 check の判定(要注意・異常あり)、64 引数の誤り\n"
               "説明書は「man tamsel-cli」で読めます。\n";
    }
};

const CLI::App* chosenCommand(const CLI::App& app) {
    for (const CLI::App* sub : app.get_subcommands({}))
        if (sub->parsed()) return sub;
    return nullptr;
}

std::string helpHint(const CLI::App* command) {
    return "使い方は「" + std::string(kName) + (command ? " " + command->get_name() : std::string()) +
           " --help」で確かめてください。";
}

// The parser's complaint, in Japanese and with the user's words escaped.
void printUsageError(const CLI::App& app, const CLI::ParseError& e) {
    const CLI::App* command = chosenCommand(app);
    std::string message;
    if (dynamic_cast<const CLI::RequiredError*>(&e)) {
        if (!command) {
            message = "コマンドを指定してください(scan・recover・image・salvage・check・disks)。";
        } else {
            std::string missing;
            for (const CLI::Option* opt : command->get_options())
                if (opt->get_required() && opt->count() == 0) missing += (missing.empty() ? "" : " ") + opt->get_name();
            message = "引数が足りません: " + (missing.empty() ? std::string("?") : missing);
        }
    } else if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        std::string options, extras;
        std::vector<std::string> rest = app.remaining(true);
        for (const auto& arg : rest) {
            std::string& into = arg.size() > 1 && arg[0] == '-' ? options : extras;
            into += (into.empty() ? "" : " ") + escapeForTerminal(arg);
        }
        if (!options.empty()) message = "不明なオプションです: " + options;
        if (!extras.empty()) message += (message.empty() ? "" : "\n") + std::string("余分な引数があります: ") + extras;
        if (message.empty()) message = "余分な引数があります。";
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && command) {
        std::string expected;
        for (const CLI::Option* opt : command->get_options())
            if (opt->get_positional()) expected += (expected.empty() ? "" : " ") + opt->get_name();
        message = "引数の数が合いません: " + expected;
    } else {
        message = "引数が正しくありません。";
    }
    std::fprintf(stderr, "%s\n%s\n", message.c_str(), helpHint(command).c_str());
}

// The first word that is not an option names the command; one that names
// none is reported as such rather than as a missing command.
bool unknownCommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return false;
        if (!arg.empty() && arg[0] == '-') continue;
        for (const CLI::App* sub : app.get_subcommands({}))
            if (sub->get_name() == arg) return false;
        std::fprintf(stderr, "不明なコマンドです: %s\n%s\n", escapeForTerminal(arg).c_str(), helpHint(nullptr).c_str());
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tamsel: SD カード・USB メモリ・故障しかけたディスクからのデータ復旧", kName};
    app.formatter(std::make_shared<JapaneseFormatter>());
    app.option_defaults()->group("オプション");
    app.set_help_flag("-h,--help", "この説明を表示します");
    app.set_version_flag("--version", std::string(kName) + " " + TAMSEL_VERSION, "版を表示します");
    app.require_subcommand(1);

    std::string source, dest;
    bool fresh = false;
    auto* scan = app.add_subcommand("scan", "削除されたファイルを探します(中断したスキャンは続きから再開します)");
    scan->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();
    scan->add_option("DEST", dest, "セッションを置くフォルダ(親フォルダは存在すること)")->required();
    scan->add_flag("--new", fresh, "続きから再開せず、新しいスキャンを始めます");
    bool noThumbnails = false;
    scan->add_flag("--no-thumbnails", noThumbnails, "サムネイルを作りません");

    // SESSION [SOURCE] DEST: two or three words, SOURCE only in the middle.
    std::vector<std::string> recoverArgs;
    auto* recover = app.add_subcommand("recover", "スキャンで見つかったファイルを復元します");
    recover->add_option("SESSION [SOURCE] DEST", recoverArgs,
                        "スキャンのセッションフォルダ(scan に渡した保存先でも可)、スキャンしたデバイスまたはイメージファイル"
                        "(省略するとセッションの記録から)、復元先のフォルダ(親フォルダは存在すること)")
        ->expected(2, 3)
        ->required();
    std::string layout = "original";
    recover->add_option("--layout", layout,
                        "復元先での並べ方: original(カードに残っていた元のフォルダと名前)・type(種類ごと)・"
                        "date(日付ごと、YYYY/YYYY-MM-DD)。名前や日付の分からないファイルは種類ごと")
        ->check(CLI::IsMember({"original", "type", "date"}));

    auto* image = app.add_subcommand("image", "ディスク全体をイメージファイルに吸い出します(中断しても続きから再開します)");
    image->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();
    image->add_option("DEST", dest, "イメージを置くフォルダ(読み取り元とは別のディスク)")->required();
    bool retryBad = false;
    image->add_flag("--retry-bad", retryBad,
                    "読めなかったセクタをもう一度だけ読み直します(吸い出し済みのイメージでは、読めなかった部分だけを読みます)");

    bool dryRun = false, allFiles = false, hidden = false;
    auto* salvage = app.add_subcommand("salvage", "認識できるドライブの中身を、読めない部分をゼロ埋めしながらコピーします");
    salvage->add_option("SRC", source, "コピー元フォルダ")->required();
    salvage->add_option("DST", dest, "保存先フォルダ(親フォルダは存在すること)")->required();
    salvage->add_flag("--dry-run", dryRun, "何がコピーされるか調べるだけで、何もコピーしません");
    salvage->add_flag("--all-files", allFiles, "写真・動画・音声以外のファイルもコピーします");
    salvage->add_flag("--hidden", hidden, "隠しファイル・隠しフォルダ(名前が . で始まるもの)もコピーします");

    auto* check = app.add_subcommand("check", "ドライブの状態を確認します(48 か所を読み取り、SMART も確かめます)");
    check->add_option("SOURCE", source, "デバイスのパスまたはイメージファイル")->required();

    bool internal = false, loop = false;
    auto* disks = app.add_subcommand("disks", "読み取り元に選べるディスクを一覧します");
    disks->add_flag("--internal", internal, "内蔵ディスクも含めます");
    disks->add_flag("--loop", loop, "losetup でつないだイメージ(ループデバイス)も含めます");

    for (CLI::App* sub : app.get_subcommands({})) {
        sub->group("コマンド");
        sub->get_help_ptr()->group("オプション");
    }

    if (unknownCommand(app, argc, argv)) return kUsage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        printUsageError(app, e);
        return kUsage;
    }
    installInterruptHandlers();
    if (*scan) return scanCommand(source, dest, fresh, !noThumbnails);
    if (*recover)
        return recoverCommand(recoverArgs.front(),
                              recoverArgs.size() == 3 ? std::optional<std::string>(recoverArgs[1]) : std::nullopt,
                              recoverArgs.back(), *tamsel::recoveryLayout(layout));
    if (*image) return imageCommand(source, dest, retryBad);
    if (*salvage) return salvageCommand(source, dest, dryRun, allFiles, hidden);
    if (*check) return checkCommand(source);
    if (*disks) return disksCommand(internal, loop);
    return kUsage;
}
