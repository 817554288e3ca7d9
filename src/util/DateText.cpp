#include "util/DateText.h"

#include <QRegularExpression>

namespace
{

// The long time form may name the time zone ("t"); a log line wants the wall-clock time only.
// Text inside single quotes is literal and stays.
QString withoutTimeZone(const QString& pattern)
{
    QString result;
    bool quoted = false;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (quoted || c != QLatin1Char('t'))
            result += c;
    }
    return result.simplified();
}

} // namespace

QString DateText::dateFormat(const QLocale& locale)
{
    QString pattern = locale.dateFormat(QLocale::ShortFormat);
    if (!pattern.contains(QLatin1String("yyyy")))
        pattern.replace(QRegularExpression(QStringLiteral("y+")), QStringLiteral("yyyy"));
    return pattern;
}

QString DateText::format(const QDate& date, const QLocale& locale)
{
    return locale.toString(date, dateFormat(locale));
}

QDate DateText::parse(const QString& text, const QLocale& locale)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    QDate date = locale.toDate(trimmed, dateFormat(locale));
    if (date.isValid())
        return date;
    for (const char* pattern : {"yyyy-MM-dd", "yyyy/M/d", "yyyy-M-d"}) {
        date = QDate::fromString(trimmed, QLatin1String(pattern));
        if (date.isValid())
            return date;
    }
    return {};
}

QString DateText::timeStamp(const QDateTime& local, const QLocale& locale)
{
    const QString date = format(local.date(), locale);
    const QTime time = local.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;
    return date + QLatin1Char(' ') + locale.toString(time, withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}
