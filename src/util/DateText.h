#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>

// The one place where dates become text and back: plan dates, the log's time stamps and the editor.
// Dates use the locale's short date form, but always with a four-digit year, since a two-digit year
// does not survive a round trip.
class DateText
{
public:
    static QString dateFormat(const QLocale& locale = QLocale());
    static QString format(const QDate& date, const QLocale& locale = QLocale());

    // Accepts the locale's form and also yyyy-MM-dd, yyyy/M/d and yyyy-M-d. Invalid QDate when none fits.
    static QDate parse(const QString& text, const QLocale& locale = QLocale());

    // Date, one blank, the locale's long time form without a time zone; the date alone at exactly midnight.
    static QString timeStamp(const QDateTime& local, const QLocale& locale = QLocale());
};
