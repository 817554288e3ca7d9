#include "util/IniFile.h"

#include "util/LegacyText.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
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

QString decodeText(QByteArray content)
{
    // UTF-16 is what Windows editors write when asked for "Unicode"; neither GBK nor UTF-8 text can start
    // with these bytes.
    if (content.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringDecoder::Utf16LE).decode(content.sliced(2));
    if (content.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringDecoder::Utf16BE).decode(content.sliced(2));
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);
    return LegacyText::decode(content);
}

// The lines of `text`, each ended by CR LF, LF or a lone CR. A final line break leaves nothing after it
// that is a line of the file.
QStringList splitLines(const QString& text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            continue;
        lines << text.sliced(start, i - start);
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines << text.sliced(start);
    return lines;
}

// Why `file` could not be read, in the user's words; the system's own text is kept for the rest.
QString readFailure(const QFile& file, const QFileInfo& info)
{
    if (file.error() == QFileDevice::OpenError && !info.isReadable())
        return QStringLiteral("没有读取权限");
    return QStringLiteral("读取出错（%1）").arg(file.errorString());
}

} // namespace

IniFile::IniFile(QString path) : path_(std::move(path))
{
    const QFileInfo info(path_);
    if (!info.exists())
        return;
    // A folder, FIFO or device is nothing this class wrote; opening a FIFO would also wait for a writer.
    if (!info.isFile()) {
        readError_ = QStringLiteral("不是普通文件");
        return;
    }
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        readError_ = readFailure(file, info);
        return;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        readError_ = readFailure(file, info);
        return;
    }
    lines_ = splitLines(decodeText(content));
}

const IniFile::Index& IniFile::index() const
{
    if (index_)
        return *index_;
    Index built;
    qsizetype current = -1; // the section the line belongs to, in built.sections
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const QString name = sectionNameOf(lines_[i]);
        if (!name.isNull()) {
            if (current >= 0)
                built.sections[current].end = i;
            current = qsizetype(built.sections.size());
            built.sections.push_back({i, lines_.size(), {}});
            const QString folded = name.toCaseFolded();
            if (!built.byName.contains(folded))
                built.byName.insert(folded, current);
            continue;
        }
        QString key, value;
        if (current >= 0 && splitKeyLine(lines_[i], &key, &value)) {
            QHash<QString, qsizetype>& keys = built.sections[current].keys;
            const QString folded = key.toCaseFolded();
            if (!keys.contains(folded))
                keys.insert(folded, i);
        }
    }
    index_ = std::move(built);
    return *index_;
}

const IniFile::Section* IniFile::findSection(const QString& section) const
{
    const Index& sections = index();
    const auto found = sections.byName.constFind(section.toCaseFolded());
    return found == sections.byName.cend() ? nullptr : &sections.sections[*found];
}

qsizetype IniFile::findKey(const Section* section, const QString& key) const
{
    return section != nullptr ? section->keys.value(key.toCaseFolded(), -1) : -1;
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
    const Section* const found = findSection(section);
    if (found == nullptr)
        return entries;
    for (qsizetype i = found->header + 1; i < found->end; ++i) {
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
    const Section* const found = findSection(section);
    qsizetype header = 0;
    qsizetype end = 0;
    qsizetype existing = -1;
    if (found != nullptr) {
        header = found->header;
        end = found->end;
        existing = findKey(found, key);
    } else {
        lines_ << QLatin1Char('[') + section + QLatin1Char(']');
        linesMoved();
        header = lines_.size() - 1;
        end = lines_.size();
    }
    if (existing >= 0) {
        // The key keeps the spelling it has in the file, so the index stays true.
        QString existingKey, oldValue;
        splitKeyLine(lines_[existing], &existingKey, &oldValue);
        lines_[existing] = existingKey + QLatin1Char('=') + value;
    } else {
        const QString keyLine = key + QLatin1Char('=') + value;
        // After the section's last non-blank line, so blank lines between sections stay between them.
        qsizetype insertAt = end;
        while (insertAt > header + 1 && lines_[insertAt - 1].trimmed().isEmpty())
            --insertAt;
        lines_.insert(insertAt, keyLine);
        linesMoved();
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
    linesMoved();
    saveUnlessDeferred();
}

void IniFile::eraseSection(const QString& section)
{
    const Section* const found = findSection(section);
    if (found == nullptr)
        return;
    lines_.remove(found->header, found->end - found->header);
    linesMoved();
    saveUnlessDeferred();
}

void IniFile::saveUnlessDeferred() const
{
    if (deferredSaves_ == 0)
        save();
}

void IniFile::save() const
{
    if (!readError_.isEmpty()) {
        throw std::runtime_error(QStringLiteral("未写入文件 %1：它无法读取（%2），写入会替换其中的内容")
                                     .arg(path_, readError_)
                                     .toUtf8()
                                     .toStdString());
    }
    QByteArray content;
    for (const QString& line : lines_)
        content += line.toUtf8() + '\n';
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        throw std::runtime_error(
            QStringLiteral("无法写入文件 %1：%2").arg(path_, file.errorString()).toUtf8().toStdString());
    }
}
