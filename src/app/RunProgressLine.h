#pragma once

#include <QString>
#include <chrono>

class QTextStream;
struct KeepTotals;

// The progress of a harvest run as one line on a terminal: entries walked of the total, matches, files
// saved and the time left, rewritten in place (carriage return, then the line, then erase to its end).
// Meant only for a terminal; the caller decides whether the stream is one. Not thread-safe: one thread
// draws it.
class RunProgressLine
{
public:
    struct Counts
    {
        qint64 walked = 0;
        qint64 total = -1; // -1 while unknown; an estimate that may grow
        qint64 matches = 0;
        qint64 saved = 0;   // put in place, or already there with the same bytes
        qint64 handled = 0; // matches the copy worker is done with, saved or not
        bool walkEnded = false;
    };

    explicit RunProgressLine(QTextStream& terminal);

    // The line's text for `counts`, `elapsed` since the run began.
    static QString text(const Counts& counts, std::chrono::milliseconds elapsed);
    // The line while keeping, which has no end to estimate: what was saved and matched in `elapsed`.
    static QString keepingText(const KeepTotals& totals, std::chrono::milliseconds elapsed);

    void draw(const Counts& counts, std::chrono::milliseconds elapsed);
    void draw(const QString& line);
    // Takes the line off the screen, so that what is written next starts on an empty line.
    void clear();

private:
    QTextStream& terminal_;
    bool shown_ = false;
};
