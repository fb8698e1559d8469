// tamsel-cli: the headless front end for rescue machines and scripts.

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"tamsel: SD カード・USB メモリ・故障しかけたディスクからのデータ復旧"};
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return e.get_exit_code() == 0 ? rc : 64;
    }
    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stdout);
    }
    return 0;
}
