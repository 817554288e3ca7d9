#include "WebKitRecordEditor.h"

#include <QCryptographicHash>
#include <QtEndian>
#include <algorithm>

namespace
{

constexpr qint64 kDigestSize = 20;

// The offset after the string at `offset`, std::nullopt when it runs past the end.
std::optional<qint64> afterString(const QByteArray& bytes, qint64 offset)
{
    if (offset + 4 > bytes.size())
        return std::nullopt;
    const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + offset);
    if (length == 0xffffffff)
        return offset + 4;
    if (offset + 5 > bytes.size())
        return std::nullopt;
    const qint64 end = offset + 5 + (bytes[offset + 4] ? qint64(length) : 2 * qint64(length));
    return end <= bytes.size() ? std::optional<qint64>(end) : std::nullopt;
}

QByteArray saltedSha1(const QByteArray& salt, QByteArrayView bytes)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(salt);
    hash.addData(bytes);
    return hash.result();
}

QString hexAt(const QByteArray& record, std::optional<qint64> offset)
{
    if (!offset || *offset + kDigestSize > record.size())
        return QString();
    return QString::fromLatin1(record.mid(*offset, kDigestSize).toHex().toUpper());
}

} // namespace

std::optional<WebKitRecordEditor::Layout> WebKitRecordEditor::layoutOf(const QByteArray& record)
{
    std::optional<qint64> offset = 4; // the version
    for (int i = 0; i < 4 && offset; ++i)
        offset = afterString(record, *offset);
    if (!offset)
        return std::nullopt;
    Layout layout;
    layout.keyHash = *offset;
    layout.partitionHash = layout.keyHash + kDigestSize;
    layout.timeStamp = layout.partitionHash + kDigestSize;
    layout.headerHash = layout.timeStamp + 8;
    layout.headerSize = layout.headerHash + kDigestSize;
    layout.bodyHash = layout.headerSize + 8;
    layout.bodySize = layout.bodyHash + kDigestSize;
    layout.bodyInline = layout.bodySize + 8;
    layout.header = layout.bodyInline + 1 + kDigestSize;
    if (layout.header > record.size())
        return std::nullopt;
    return layout;
}

bool WebKitRecordEditor::reseal(QByteArray& record, const QByteArray& salt)
{
    const std::optional<Layout> layout = layoutOf(record);
    if (!layout)
        return false;
    const quint64 headerSize = qFromLittleEndian<quint64>(record.constData() + layout->headerSize);
    const qint64 header = std::min<quint64>(headerSize, quint64(record.size() - layout->header));
    const QByteArrayView headerBytes = QByteArrayView(record).sliced(layout->header, header);
    record.replace(layout->headerHash, kDigestSize, saltedSha1(salt, headerBytes));
    if (record[layout->bodyInline]) {
        const qint64 body = layout->header + header;
        record.replace(layout->bodyHash, kDigestSize, saltedSha1(salt, QByteArrayView(record).sliced(body)));
    }
    return true;
}

QString WebKitRecordEditor::fileNameOf(const QByteArray& record)
{
    const std::optional<Layout> layout = layoutOf(record);
    return hexAt(record, layout ? std::optional<qint64>(layout->keyHash) : std::nullopt);
}

QString WebKitRecordEditor::folderNameOf(const QByteArray& record)
{
    const std::optional<Layout> layout = layoutOf(record);
    return hexAt(record, layout ? std::optional<qint64>(layout->partitionHash) : std::nullopt);
}
