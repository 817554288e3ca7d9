#include "engine/run/PlanMatcher.h"

#include "engine/cache/CacheEntry.h"
#include "engine/cache/EntryBody.h"
#include "engine/run/PageTextSearch.h"
#include "plans/StrucRec.h"
#include "util/DateText.h"

#include <QStringEncoder>
#include <optional>
#include <variant>

namespace
{

QString asciiUpper(const QString& text)
{
    QString upper = text;
    for (QChar& c : upper) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    }
    return upper;
}

bool fileTypeMatches(const QString& tpname, const QString& localFile)
{
    const QString extension = PlanMatcher::extensionOf(localFile);
    if (extension.isEmpty())
        return false;
    return tpname.contains(extension) || asciiUpper(tpname).contains(extension);
}

bool sizeMatches(const StrucRec& plan, qint64 size)
{
    return qint64(plan.lsize) * 1024 < size && size < qint64(plan.hsize) * 1024;
}

bool dateRangeMatches(const StrucRec& plan, const QDate& browseDate)
{
    // A bound written under another date form does not parse; such a plan matches nothing.
    const QDate first = DateText::parse(plan.lday);
    const QDate last = DateText::parse(plan.hday);
    return first.isValid() && last.isValid() && first <= browseDate && browseDate <= last;
}

bool recentDaysMatch(int days, const QDate& browseDate, const QDateTime& now)
{
    // The browse date counts as its midnight, compared with "now" less the days: with 1 day only today
    // passes, and an entry used exactly `days` days ago does not. A midnight is later than that moment
    // exactly when its date is later than the moment's date, so dates are compared: converting a
    // midnight to compare it costs a time-zone lookup for every entry of a scan.
    return browseDate > now.date().addDays(-days);
}

} // namespace

QString PlanMatcher::extensionOf(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || fileName.indexOf(QLatin1Char('/'), dot) >= 0)
        return {};
    return fileName.mid(dot + 1);
}

QByteArrayList PlanMatcher::pageEncodings(const QString& text)
{
    QByteArrayList encodings{text.toUtf8()};
    QStringEncoder gbk("GBK");
    if (gbk.isValid()) {
        const QByteArray asGbk = gbk.encode(text);
        if (!gbk.hasError() && asGbk != encodings.first())
            encodings << asGbk;
    }
    return encodings;
}

bool PlanMatcher::PlanMatches(const StrucRec& plan, const CacheEntry& entry, const QDateTime& now)
{
    if (!plan.tpname.isEmpty() && !fileTypeMatches(plan.tpname, entry.localName))
        return false;
    if (plan.hsize > 0) {
        // A size that cannot be known (the body is unreadable or passes the decoding cap) matches no bound.
        const std::optional<qint64> size = entry.knownSize();
        if (!size || !sizeMatches(plan, *size))
            return false;
    }
    const QDate browseDate = entry.lastAccess.toUTC().date();
    if (!plan.lday.isEmpty() && !plan.hday.isEmpty() && !dateRangeMatches(plan, browseDate))
        return false;
    if (plan.days > 0 && !recentDaysMatch(plan.days, browseDate, now))
        return false;
    if (!plan.urlStr.isEmpty() && !entry.url.contains(plan.urlStr))
        return false;
    if (plan.ztype != 0 || (plan.tilStr.isEmpty() && plan.conStr.isEmpty()))
        return true;

    PageTextSearch search(plan.conStr.isEmpty() ? QByteArrayList() : pageEncodings(plan.conStr),
                          plan.tilStr.isEmpty() ? QByteArrayList() : pageEncodings(plan.tilStr), kMaxPageSize);
    return EntryBody::stream(entry.body, search, kMaxPageSize) == EntryBody::Refusal::None && search.textFound() &&
           search.titleFound();
}
