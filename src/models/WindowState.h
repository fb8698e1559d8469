#pragma once
// What the window shows whatever the flow: its mode, a passing toast, an
// error message, and the source the drive check chose (imaging and carving
// take it up). UI thread only.

#include <QObject>
#include <QString>

#include <array>

#include "models/Shared.h"

namespace tamsel::models {

class WindowState : public QObject {
    Q_OBJECT
public:
    enum class Mode { start, carve, salvage, image };
    Q_ENUM(Mode)
    static constexpr std::array<Mode, 4> allModes{Mode::start, Mode::carve, Mode::salvage, Mode::image};
    static QString id(Mode mode);      // "start", "carve", "salvage", "image"
    static QString title(Mode mode);   // "はじめに", ...
    static QString symbol(Mode mode);  // "stethoscope", ...

    Q_PROPERTY(Mode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(tamsel::models::OptionalString toast READ toast WRITE setToast NOTIFY toastChanged)
    Q_PROPERTY(tamsel::models::OptionalString errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(tamsel::models::OptionalSource checkedSource READ checkedSource WRITE setCheckedSource NOTIFY checkedSourceChanged)

    using QObject::QObject;

    Mode mode() const { return mode_; }
    void setMode(Mode v);
    const OptionalString& toast() const { return toast_; }
    void setToast(const OptionalString& v);
    const OptionalString& errorMessage() const { return errorMessage_; }
    void setErrorMessage(const OptionalString& v);
    const OptionalSource& checkedSource() const { return checkedSource_; }
    void setCheckedSource(const OptionalSource& v);

signals:
    void modeChanged();
    void toastChanged();
    void errorMessageChanged();
    void checkedSourceChanged();

private:
    Mode mode_ = Mode::start;
    OptionalString toast_;
    OptionalString errorMessage_;
    OptionalSource checkedSource_;
};

}  // namespace tamsel::models
