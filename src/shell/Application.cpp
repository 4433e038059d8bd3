#include "Application.h"

#include <exception>

namespace tsc::shell {

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

void Application::SetExceptionHandler(std::function<void(const std::string &)> handler) {
    exceptionHandler_ = std::move(handler);
}

bool Application::notify(QObject *receiver, QEvent *event) {
    std::string message;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &exception) {
        message = exception.what();
    } catch (...) {
        message = "Unknown exception";
    }
    // The handler runs outside the catch blocks so that it may itself dispatch events.
    if (exceptionHandler_) {
        try {
            exceptionHandler_(message);
        } catch (...) {
        }
    }
    return false;
}

} // namespace tsc::shell
