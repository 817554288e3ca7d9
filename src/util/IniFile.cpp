#include "util/IniFile.h"

#include "util/LegacyText.h"

#include <QFile>
#include <QSaveFile>
#include <stdexcept>

namespace
{

// The name of a "[name]" line, or a null string for any other line.
QString sectionNameOf(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(QLatin1Char('[')))
        return {};
    const qsizetype close = trimmed.indexOf(QLatin1Char(']'));
    if (close < 0)
        return {};
    return trimmed.mid(1, close - 1).trimmed();
}

bool isComment(const QString& line)
{
    const QString trimmed = line.trimmed();
    return trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
}

// Splits "key=value" at the first '='; false for lines that are not key lines.
bool splitKeyLine(const QString& line, QString* key, QString* value)
{
    if (isComment(line))
        return false;
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return false;
    *key = line.left(equals).trimmed();
    *value = line.mid(equals + 1).trimmed();
    return true;
}

} // namespace

IniFile::IniFile(QString path) : path_(std::move(path))
{
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray content = file.readAll();
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);
    lines_ = LegacyText::decode(content).split(QLatin1Char('\n'));
    // A final line break leaves an empty piece behind it that is not a line of the file.
    if (!lines_.isEmpty() && lines_.last().isEmpty())
        lines_.removeLast();
    for (QString& line : lines_) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
}

IniFile::SectionRange IniFile::findSection(const QString& section) const
{
    SectionRange range;
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const QString name = sectionNameOf(lines_[i]);
        if (name.isNull())
            continue;
        if (range.header >= 0) {
            range.end = i;
            return range;
        }
        if (name.compare(section, Qt::CaseInsensitive) == 0)
            range.header = i;
    }
    if (range.header >= 0)
        range.end = lines_.size();
    return range;
}

qsizetype IniFile::findKey(const SectionRange& range, const QString& key) const
{
    for (qsizetype i = range.header + 1; range.header >= 0 && i < range.end; ++i) {
        QString lineKey, value;
        if (splitKeyLine(lines_[i], &lineKey, &value) && lineKey.compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString IniFile::readString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const qsizetype line = findKey(findSection(section), key);
    if (line < 0)
        return defaultValue;
    QString lineKey, value;
    splitKeyLine(lines_[line], &lineKey, &value);
    return value;
}

int IniFile::readInteger(const QString& section, const QString& key, int defaultValue) const
{
    bool ok = false;
    const int value = readString(section, key, QString()).toInt(&ok);
    return ok ? value : defaultValue;
}

bool IniFile::readBool(const QString& section, const QString& key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QList<QPair<QString, QString>> IniFile::sectionEntries(const QString& section) const
{
    QList<QPair<QString, QString>> entries;
    const SectionRange range = findSection(section);
    for (qsizetype i = range.header + 1; range.header >= 0 && i < range.end; ++i) {
        QString key, value;
        if (splitKeyLine(lines_[i], &key, &value))
            entries.append({key, value});
    }
    return entries;
}

QStringList IniFile::sectionNames() const
{
    QStringList names;
    for (const QString& line : lines_) {
        const QString name = sectionNameOf(line);
        if (!name.isNull())
            names << name;
    }
    return names;
}

void IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    SectionRange range = findSection(section);
    if (range.header < 0) {
        lines_ << QLatin1Char('[') + section + QLatin1Char(']');
        range = {lines_.size() - 1, lines_.size()};
    }
    const qsizetype existing = findKey(range, key);
    if (existing >= 0) {
        // The key keeps the spelling it has in the file.
        QString existingKey, oldValue;
        splitKeyLine(lines_[existing], &existingKey, &oldValue);
        lines_[existing] = existingKey + QLatin1Char('=') + value;
    } else {
        const QString keyLine = key + QLatin1Char('=') + value;
        // After the section's last non-blank line, so blank lines between sections stay between them.
        qsizetype insertAt = range.end;
        while (insertAt > range.header + 1 && lines_[insertAt - 1].trimmed().isEmpty())
            --insertAt;
        lines_.insert(insertAt, keyLine);
    }
    saveUnlessDeferred();
}

void IniFile::writeInteger(const QString& section, const QString& key, int value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString& section, const QString& key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void IniFile::removeKey(const QString& section, const QString& key)
{
    const qsizetype line = findKey(findSection(section), key);
    if (line < 0)
        return;
    lines_.removeAt(line);
    saveUnlessDeferred();
}

void IniFile::eraseSection(const QString& section)
{
    const SectionRange range = findSection(section);
    if (range.header < 0)
        return;
    lines_.remove(range.header, range.end - range.header);
    saveUnlessDeferred();
}

void IniFile::saveUnlessDeferred() const
{
    if (deferredSaves_ == 0)
        save();
}

void IniFile::save() const
{
    QByteArray content;
    for (const QString& line : lines_)
        content += line.toUtf8() + '\n';
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        throw std::runtime_error(
            QStringLiteral("无法写入文件 %1：%2").arg(path_, file.errorString()).toUtf8().toStdString());
    }
}
