#pragma once

// The application object. Every event passes through notify, so an exception
// escaping any handler is caught here instead of ending the process.

#include <QApplication>

#include <functional>
#include <string>

namespace tsc::shell {

class Application : public QApplication {
  public:
    Application(int &argc, char **argv);

    // Receives the message of every exception that escapes an event handler.
    void SetExceptionHandler(std::function<void(const std::string &message)> handler);
    bool notify(QObject *receiver, QEvent *event) override;

  private:
    std::function<void(const std::string &)> exceptionHandler_;
};

} // namespace tsc::shell
