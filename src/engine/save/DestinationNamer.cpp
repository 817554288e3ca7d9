#include "engine/save/DestinationNamer.h"

#include <QRegularExpression>
#include <utility>

const QString DestinationNamer::kForbiddenChars = QStringLiteral("\\/:*?<>|");

DestinationNamer::DestinationNamer(const QString& folder, const QString& name, bool isDocument)
    : folder_(folder), name_(name), isDocument_(isDocument)
{}

DestinationNamer DestinationNamer::forResource(const QString& folder, const QString& localName)
{
    return DestinationNamer(folder, resourceName(localName), false);
}

DestinationNamer DestinationNamer::forDocument(const QString& folder, const QString& localName, const QString& title)
{
    return DestinationNamer(folder, documentName(localName, title), true);
}

std::optional<QString> DestinationNamer::next()
{
    if (tried_ >= kMaxCandidates)
        return std::nullopt;
    ++tried_;
    return JoinPath(folder_, candidate(name_, tried_, isDocument_));
}

QString DestinationNamer::JoinPath(const QString& folder, const QString& fileName)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + fileName : folder + QLatin1Char('/') + fileName;
}

QString DestinationNamer::StripNameChars(const QString& name)
{
    QString stripped = name;
    for (const QChar c : kForbiddenChars) {
        const qsizetype at = stripped.indexOf(c);
        if (at >= 0)
            stripped.remove(at, 1);
    }
    return stripped;
}

bool DestinationNamer::isDirectChildName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

namespace
{

const QString kArchiveExtension = QStringLiteral(".mht");
// Room kept in a name for the counter a taken name gets: " (99999)" or "[99999]".
constexpr int kCounterRoom = 8;

// Control characters (C0, DEL, C1), format characters (the bidirectional overrides that make a name read
// backwards), and what stands for bytes that were not valid text: the replacement character, private-use
// and unassigned code points (a GBK decoder's answer to undefined bytes), lone surrogates.
bool isUnwanted(char32_t c)
{
    if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0xfffd)
        return true;
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
        return true;
    default:
        return false;
    }
}

// `text` without unwanted characters, without leading dots, dashes and blanks, and trimmed.
QString cleaned(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (isUnwanted(c))
            continue;
        out += QString::fromUcs4(&c, 1);
    }
    out = out.trimmed();
    qsizetype lead = 0;
    while (lead < out.size() && (out[lead] == u'.' || out[lead] == u'-' || out[lead].isSpace()))
        ++lead;
    return out.mid(lead);
}

// `text` cut to at most `maxBytes` bytes of UTF-8, never inside a character (or a surrogate pair).
QString cutToBytes(const QString& text, int maxBytes)
{
    int bytes = 0;
    qsizetype at = 0;
    while (at < text.size()) {
        const bool pair = text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate();
        const char16_t c = text[at].unicode();
        const int width = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (bytes + width > maxBytes)
            break;
        bytes += width;
        at += pair ? 2 : 1;
    }
    return text.left(at);
}

// `stem` and `extension` (dot included) as a name within the byte limit, with room for a counter; the
// stem is what gets shorter.
QString fitted(const QString& stem, const QString& extension)
{
    const int extensionBytes = int(extension.toUtf8().size());
    return cutToBytes(stem, DestinationNamer::kMaxNameBytes - kCounterRoom - extensionBytes).trimmed() + extension;
}

// A name split at its last dot: a stem and the extension with its dot (empty without one).
std::pair<QString, QString> splitExtension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return {name, QString()};
    return {name.left(dot), name.mid(dot)};
}

} // namespace

QString DestinationNamer::resourceName(const QString& localName)
{
    QString name = cleaned(localName);
    name.replace(u'/', u'_');
    name.replace(u'\\', u'_');
    if (name.isEmpty())
        name = QStringLiteral("index");
    const auto [stem, extension] = splitExtension(name);
    return fitted(stem, cutToBytes(extension, 32));
}

QString DestinationNamer::documentName(const QString& localName, const QString& title)
{
    QString stem = cleaned(StripNameChars(title));
    // A title the forbidden characters could not be cleared from (a second slash), or that is left blank,
    // gives way to the cached name.
    if (stem.isEmpty() || !isDirectChildName(stem)) {
        stem = splitExtension(resourceName(localName)).first;
        if (stem.isEmpty())
            stem = QStringLiteral("index");
    }
    return fitted(stem, kArchiveExtension);
}

QString DestinationNamer::candidate(const QString& name, int n, bool isDocument)
{
    if (n <= 1)
        return name;
    const auto [stem, extension] = splitExtension(name);
    if (isDocument)
        return stem + QStringLiteral(" (%1)").arg(n) + extension;
    // "logo[1].gif" counts on from its own counter; a name without one gets "[n]".
    static const QRegularExpression counted(QStringLiteral(R"(^(.*)\[(\d{1,5})\]$)"));
    const QRegularExpressionMatch match = counted.match(stem);
    if (match.hasMatch())
        return match.captured(1) + QStringLiteral("[%1]").arg(match.captured(2).toInt() + n - 1) + extension;
    return stem + QStringLiteral("[%1]").arg(n) + extension;
}
