#include "models/WindowState.h"

namespace tamsel::models {

QString WindowState::id(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("start");
        case Mode::carve: return QStringLiteral("carve");
        case Mode::salvage: return QStringLiteral("salvage");
        case Mode::image: return QStringLiteral("image");
    }
    return {};
}

QString WindowState::title(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("はじめに");
        case Mode::carve: return QStringLiteral("削除ファイル復元");
        case Mode::salvage: return QStringLiteral("救出コピー");
        case Mode::image: return QStringLiteral("ディスクをイメージ化");
    }
    return {};
}

QString WindowState::symbol(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("stethoscope");
        case Mode::carve: return QStringLiteral("zoom-scan");
        case Mode::salvage: return QStringLiteral("file-download");
        case Mode::image: return QStringLiteral("database-export");
    }
    return {};
}

void WindowState::setMode(Mode v) { assignAndNotify(*this, mode_, v, &WindowState::modeChanged); }
void WindowState::setToast(const OptionalString& v) { assignAndNotify(*this, toast_, v, &WindowState::toastChanged); }
void WindowState::setErrorMessage(const OptionalString& v) { assignAndNotify(*this, errorMessage_, v, &WindowState::errorMessageChanged); }
void WindowState::setCheckedSource(const OptionalSource& v) { assignAndNotify(*this, checkedSource_, v, &WindowState::checkedSourceChanged); }

}  // namespace tamsel::models
