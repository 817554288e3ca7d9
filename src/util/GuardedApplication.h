#pragma once

#include <QApplication>
#include <functional>

// QApplication that catches every failure escaping an event handler and hands its message to one
// program-wide handler, so the program goes on with the next event.
class GuardedApplication : public QApplication
{
    Q_OBJECT

public:
    using FailureHandler = std::function<void(const QString& message)>;

    GuardedApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Installs the handler; without one, failures are written to stderr.
    static void setFailureHandler(FailureHandler handler);

    // Runs `step` and reports a failure through the handler instead of letting it escape.
    static void runGuarded(const std::function<void()>& step);

    static void reportFailure(const QString& message);

private:
    static FailureHandler& handler();
};
