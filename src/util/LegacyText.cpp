#include "util/LegacyText.h"

#include <QList>
#include <QStringDecoder>
#include <optional>

namespace
{

std::optional<QString> decodeStrictly(QStringDecoder& decoder, const QByteArray& bytes)
{
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QString LegacyText::decode(const QByteArray& text)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    if (std::optional<QString> decoded = decodeStrictly(utf8, text))
        return *decoded;

    QStringDecoder gbk("GBK", QStringDecoder::Flag::Stateless);
    if (!gbk.isValid())
        return QString::fromUtf8(text);
    QString result;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            result += QLatin1Char('\n');
        QStringDecoder lineUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QStringDecoder lineGbk("GBK", QStringDecoder::Flag::Stateless);
        if (std::optional<QString> line = decodeStrictly(lineGbk, lines[i]))
            result += *line;
        else if (std::optional<QString> utf8Line = decodeStrictly(lineUtf8, lines[i]))
            result += *utf8Line;
        else
            result += QStringDecoder("GBK").decode(lines[i]);
    }
    return result;
}
