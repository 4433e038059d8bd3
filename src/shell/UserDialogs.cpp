#include "UserDialogs.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace tsc::shell {

UserDialogs::Answer QtUserDialogs::ShowMessage(const std::string &caption, const std::string &text,
                                               Buttons buttons) {
    return ShowMessage(caption, text, buttons, Icon::Information);
}

UserDialogs::Answer QtUserDialogs::ShowMessage(const std::string &caption, const std::string &text,
                                               Buttons buttons, Icon icon) {
    const auto standard = buttons == Buttons::Ok         ? QMessageBox::Ok
                          : buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                         : QMessageBox::Yes | QMessageBox::No;
    const auto shape = icon == Icon::Question ? QMessageBox::Question
                       : icon == Icon::Error  ? QMessageBox::Critical
                                              : QMessageBox::Information;
    QMessageBox box(shape, QString::fromStdString(caption), QString::fromStdString(text), standard, parent_);
    // Messages carry file and connection names and texts of profiles: never markup.
    box.setTextFormat(Qt::PlainText);
    // A question that changes something answers No unless the user says otherwise.
    if (buttons == Buttons::YesNo && icon == Icon::Question) box.setDefaultButton(QMessageBox::No);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Cancel:
        return Answer::Cancel;
    default:
        return Answer::Ok;
    }
}

std::string QtUserDialogs::SelectFolder(const std::string &caption, const std::string &startFolder) {
    return QFileDialog::getExistingDirectory(parent_, QString::fromStdString(caption),
                                             QString::fromStdString(startFolder))
        .toStdString();
}

// Cancel is the default button: Enter or Escape on a surprise never connects.
OpenedProfileAnswer QtUserDialogs::AskOpenedProfile(const std::string &caption,
                                                    const OpenedProfileQuestion &question) {
    QMessageBox box(question.hostKnown ? QMessageBox::Question : QMessageBox::Warning,
                    QString::fromStdString(caption), QString::fromStdString(QuestionText(question)),
                    QMessageBox::NoButton, parent_);
    box.setObjectName(QStringLiteral("OpenedProfileQuestion"));
    box.setTextFormat(Qt::PlainText);
    QPushButton *connect = box.addButton(QStringLiteral("Connect"), QMessageBox::AcceptRole);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    auto *dontAsk = new QCheckBox(QStringLiteral("Don't ask again for this file"), &box);
    box.setCheckBox(dontAsk);
    box.exec();
    OpenedProfileAnswer answer;
    answer.connect = box.clickedButton() == connect;
    answer.dontAskAgain = answer.connect && dontAsk->isChecked();
    return answer;
}

} // namespace tsc::shell
