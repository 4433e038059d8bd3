#include "UserDialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tsc::shell {

UserDialogs::Answer QtUserDialogs::ShowMessage(const std::string &caption, const std::string &text,
                                               Buttons buttons) {
    return ShowMessage(caption, text, buttons, Icon::Information);
}

UserDialogs::Answer QtUserDialogs::ShowMessage(const std::string &caption, const std::string &text, Buttons buttons,
                                               Icon icon) {
    const auto standard = buttons == Buttons::Ok         ? QMessageBox::Ok
                          : buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                         : QMessageBox::Yes | QMessageBox::No;
    using Show = QMessageBox::StandardButton (*)(QWidget *, const QString &, const QString &,
                                                 QMessageBox::StandardButtons, QMessageBox::StandardButton);
    const Show show = icon == Icon::Question ? Show(&QMessageBox::question)
                      : icon == Icon::Error  ? Show(&QMessageBox::critical)
                                             : Show(&QMessageBox::information);
    // A question that changes something answers No unless the user says otherwise.
    const auto preset = buttons == Buttons::YesNo && icon == Icon::Question ? QMessageBox::No : QMessageBox::NoButton;
    switch (show(parent_, QString::fromStdString(caption), QString::fromStdString(text), standard, preset)) {
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Cancel: return Answer::Cancel;
    default: return Answer::Ok;
    }
}

std::string QtUserDialogs::SelectFolder(const std::string &caption, const std::string &startFolder) {
    return QFileDialog::getExistingDirectory(parent_, QString::fromStdString(caption),
                                             QString::fromStdString(startFolder))
        .toStdString();
}

} // namespace tsc::shell
