#pragma once

// Message boxes and the folder dialog, behind one interface so that tests can
// answer them without a person.

#include "OpenedProfileSafety.h"

#include <string>

class QWidget;

namespace tsc::shell {

class UserDialogs {
  public:
    enum class Buttons { Ok, OkCancel, YesNo };
    enum class Answer { Ok, Cancel, Yes, No };
    enum class Icon { Information, Question, Error };

    virtual ~UserDialogs() = default;
    virtual Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons) = 0;
    // The same with the icon the message calls for; answering dialogs may ignore it.
    virtual Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons, Icon) {
        return ShowMessage(caption, text, buttons);
    }
    // The chosen folder, or empty when the user cancelled.
    virtual std::string SelectFolder(const std::string &caption, const std::string &startFolder) = 0;
    // The question before a profile from elsewhere connects: "Connect", "Cancel" and
    // "Don't ask again for this file". Dialogs that do not ask decline.
    virtual OpenedProfileAnswer AskOpenedProfile(const std::string &caption, const OpenedProfileQuestion &) {
        (void)caption;
        return {};
    }
};

// The real dialogs, modal to `parent`.
class QtUserDialogs final : public UserDialogs {
  public:
    explicit QtUserDialogs(QWidget *parent) : parent_(parent) {}
    Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons) override;
    Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons,
                       Icon icon) override;
    std::string SelectFolder(const std::string &caption, const std::string &startFolder) override;
    OpenedProfileAnswer AskOpenedProfile(const std::string &caption,
                                         const OpenedProfileQuestion &question) override;

  private:
    QWidget *parent_;
};

} // namespace tsc::shell
