#include "FirefoxEntryEditor.h"

#include "engine/cache/FirefoxEntryFile.h"

#include <QCryptographicHash>
#include <QtEndian>

namespace
{

constexpr qsizetype kChunkSize = 256 * 1024;

quint32 bigEndianAt(const QByteArray& bytes, qsizetype pos)
{
    return qFromBigEndian<quint32>(bytes.constData() + pos);
}

void appendBigEndian(QByteArray& bytes, quint32 value)
{
    char buffer[4];
    qToBigEndian(value, buffer);
    bytes.append(buffer, 4);
}

} // namespace

std::optional<FirefoxEntryEditor> FirefoxEntryEditor::fromFile(const QByteArray& file)
{
    if (file.size() < 8 || bigEndianAt(file, file.size() - 8) != 4)
        return std::nullopt;
    const qsizetype dataSize = bigEndianAt(file, file.size() - 4) & 0x7FFFFFFF;
    const qsizetype headerStart = dataSize + 4 + 2 * ((dataSize + kChunkSize - 1) / kChunkSize);
    if (headerStart + 32 > file.size() - 8)
        return std::nullopt;
    FirefoxEntryEditor editor;
    editor.data = file.left(dataSize);
    for (int field = 0; field < 8; ++field)
        editor.header[field] = bigEndianAt(file, headerStart + 4 * field);
    const qsizetype keyStart = headerStart + 32;
    if (editor.header[KeySize] >= quint32(file.size() - 8 - keyStart))
        return std::nullopt;
    editor.key = file.mid(keyStart, editor.header[KeySize]);
    const QList<QByteArray> parts = file.mid(keyStart + editor.key.size() + 1).chopped(8).split('\0');
    // The area ends with a NUL, so split() leaves an empty last part behind.
    for (qsizetype i = 0; i + 1 < parts.size() - 1; i += 2)
        editor.elements.append({parts[i], parts[i + 1]});
    return editor;
}

void FirefoxEntryEditor::resealMetadata(QByteArray& file)
{
    const qsizetype size = file.size();
    if (size < 8)
        return;
    const bool currentLayout = file[size - 5] != '\0';
    const qsizetype trailerLength = currentLayout ? 8 : 4;
    const qint64 dataSize = bigEndianAt(file, size - 4) & (currentLayout ? 0x7FFFFFFF : 0xFFFFFFFF);
    if (dataSize + 4 > size - trailerLength)
        return;
    const quint32 hash =
        FirefoxEntryFile::hash(QByteArrayView(file).sliced(dataSize + 4, size - trailerLength - dataSize - 4));
    qToBigEndian(hash, file.data() + dataSize);
}

void FirefoxEntryEditor::setKey(const QByteArray& newKey)
{
    key = newKey;
    header[KeySize] = quint32(key.size());
}

void FirefoxEntryEditor::setElement(const QByteArray& name, const QByteArray& value)
{
    for (auto& [elementName, elementValue] : elements) {
        if (elementName == name) {
            elementValue = value;
            return;
        }
    }
    elements.append({name, value});
}

void FirefoxEntryEditor::removeElement(const QByteArray& name)
{
    elements.removeIf([&](const QPair<QByteArray, QByteArray>& element) { return element.first == name; });
}

QByteArray FirefoxEntryEditor::toFile() const
{
    QByteArray metadata;
    for (qsizetype chunk = 0; chunk < data.size(); chunk += kChunkSize) {
        const quint16 chunkHash = FirefoxEntryFile::hash(QByteArrayView(data).sliced(chunk).first(
                                      std::min(kChunkSize, data.size() - chunk))) &
                                  0xFFFF;
        metadata.append(char(chunkHash >> 8)).append(char(chunkHash & 0xFF));
    }
    const int headerFields = header[Version] == 1 ? 7 : 8;
    for (int field = 0; field < headerFields; ++field)
        appendBigEndian(metadata, header[field]);
    metadata.append(key).append('\0');
    for (const auto& [name, value] : elements)
        metadata.append(name).append('\0').append(value).append('\0');

    QByteArray file = data;
    appendBigEndian(file, FirefoxEntryFile::hash(metadata));
    file.append(metadata);
    if (header[Version] >= 4) {
        appendBigEndian(file, header[Version]);
    }
    appendBigEndian(file, quint32(data.size()));
    return file;
}

QString FirefoxEntryEditor::fileNameFor(const QByteArray& key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().toUpper());
}
