// tamsel: the window.
#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <cstring>

#include "app/MainWindow.h"
#include "models/UpdateChecker.h"
#include "views/Theme.h"

int main(int argc, char** argv) {
    // Answered before any display is opened: they must work over ssh and in scripts.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tamsel %s\n", TAMSEL_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("使い方: tamsel [Qt のオプション]\n"
                        "SD カード・USB メモリ・故障しかけたディスクからデータを取り戻すウインドウを開きます。\n"
                        "  --version  版を表示します\n"
                        "  --help     この説明を表示します\n"
                        "コマンドラインで使うには tamsel-cli を、説明書は「man tamsel」をご覧ください。\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    // The window is Japanese whatever the locale: Qt's own dialogs and buttons too.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    QApplication::setApplicationName(QStringLiteral("tamsel"));
    // The update check compares releases with this; without it any release looks newer.
    QApplication::setApplicationVersion(QStringLiteral(TAMSEL_VERSION));
    QApplication::setOrganizationName(QStringLiteral("tamsel"));
    QApplication::setDesktopFileName(QStringLiteral("tamsel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app/tamsel.svg")));
    tamsel::views::Theme::shared().followDesktop();

    tamsel::app::MainWindow window(tamsel::models::UpdateChecker::shared());
    window.show();
    return QApplication::exec();
}
