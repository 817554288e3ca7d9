#include "util/GuardedApplication.h"

#include <cstdio>
#include <exception>

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event)
{
    bool handled = false;
    runGuarded([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

GuardedApplication::FailureHandler& GuardedApplication::handler()
{
    static FailureHandler installed;
    return installed;
}

void GuardedApplication::setFailureHandler(FailureHandler newHandler)
{
    handler() = std::move(newHandler);
}

void GuardedApplication::runGuarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& failure) {
        reportFailure(QString::fromUtf8(failure.what()));
    } catch (...) {
        reportFailure(QStringLiteral("未知错误"));
    }
}

void GuardedApplication::reportFailure(const QString& message)
{
    if (handler())
        handler()(message);
    else
        std::fprintf(stderr, "webgleaner: %s\n", message.toUtf8().constData());
}
