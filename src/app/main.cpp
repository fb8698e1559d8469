// tamsel: the window.
#include <QApplication>
#include <QFont>
#include <QIcon>

#include "app/MainWindow.h"
#include "models/UpdateChecker.h"
#include "views/Theme.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tamsel"));
    QApplication::setOrganizationName(QStringLiteral("tamsel"));
    QApplication::setDesktopFileName(QStringLiteral("tamsel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app/tamsel.svg")));
    tamsel::views::Theme::shared().followDesktop();

    tamsel::app::MainWindow window(tamsel::models::UpdateChecker::shared());
    window.show();
    return QApplication::exec();
}
