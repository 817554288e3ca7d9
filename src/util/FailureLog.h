#pragma once

#include <QString>

// Where the engine's threads report what failed: a saved file that could not be written, an entry
// refused, an exception a worker caught. Callable from any thread at once.
class FailureLog
{
public:
    virtual ~FailureLog() = default;

    // One failure as one line of text; never throws.
    virtual void logFailure(const QString& message) noexcept = 0;
};
