#include "UserDialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tsc::shell {

UserDialogs::Answer QtUserDialogs::ShowMessage(const std::string &caption, const std::string &text,
                                               Buttons buttons) {
    const auto standard = buttons == Buttons::Ok         ? QMessageBox::Ok
                          : buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                         : QMessageBox::Yes | QMessageBox::No;
    switch (QMessageBox::information(parent_, QString::fromStdString(caption), QString::fromStdString(text),
                                     standard)) {
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
