#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <optional>
#include <utility>
#include <zlib.h>

// Reads a web archive file back as a strict reader would, for tests: each gzip member on its own, each
// member exactly one record, the record's header fields, its block as long as Content-Length says, and the
// two CR LF that end it.
class WarcFileReader
{
public:
    struct Record
    {
        qint64 offset = 0; // of its gzip member
        qint64 length = 0; // of that member
        QList<std::pair<QByteArray, QByteArray>> fields;
        QByteArray block;

        QByteArray field(QByteArrayView name) const
        {
            for (const auto& [key, value] : fields) {
                if (key.compare(name, Qt::CaseInsensitive) == 0)
                    return value;
            }
            return {};
        }
        // The HTTP head in the block, up to and with its empty line, and the payload after it.
        QByteArray httpHead() const { return block.left(block.indexOf("\r\n\r\n") + 4); }
        QByteArray payload() const { return block.mid(block.indexOf("\r\n\r\n") + 4); }
    };

    // Every record, or std::nullopt (with `*error` saying why) for a file that is not one record per member.
    static std::optional<QList<Record>> read(const QByteArray& file, QByteArray* error)
    {
        QList<Record> records;
        qint64 offset = 0;
        while (offset < file.size()) {
            qint64 used = 0;
            const std::optional<QByteArray> member = inflateMember(QByteArrayView(file).sliced(offset), &used);
            if (!member) {
                *error = "no whole gzip member at " + QByteArray::number(offset);
                return std::nullopt;
            }
            std::optional<Record> record = parse(*member, error);
            if (!record)
                return std::nullopt;
            record->offset = offset;
            record->length = used;
            records.append(*record);
            offset += used;
        }
        return records;
    }

private:
    static std::optional<QByteArray> inflateMember(QByteArrayView bytes, qint64* used)
    {
        z_stream z{};
        if (inflateInit2(&z, 15 + 16) != Z_OK)
            return std::nullopt;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z.avail_in = uInt(bytes.size());
        QByteArray out;
        char buffer[65536];
        int status = Z_OK;
        while (status == Z_OK) {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            status = inflate(&z, Z_NO_FLUSH);
            out.append(buffer, qsizetype(sizeof buffer - z.avail_out));
        }
        *used = qint64(z.total_in);
        inflateEnd(&z);
        if (status != Z_STREAM_END)
            return std::nullopt;
        return out;
    }

    static std::optional<Record> parse(const QByteArray& member, QByteArray* error)
    {
        Record record;
        const qsizetype headEnd = member.indexOf("\r\n\r\n");
        if (!member.startsWith("WARC/1.1\r\n") || headEnd < 0) {
            *error = "no WARC/1.1 header";
            return std::nullopt;
        }
        for (const QByteArray& line : member.left(headEnd).split('\n').mid(1)) {
            const QByteArray trimmed = line.trimmed();
            const qsizetype colon = trimmed.indexOf(':');
            if (colon <= 0) {
                *error = "bad header line " + trimmed;
                return std::nullopt;
            }
            record.fields.append({trimmed.left(colon), trimmed.mid(colon + 1).trimmed()});
        }
        bool isNumber = false;
        const qint64 length = record.field("Content-Length").toLongLong(&isNumber);
        if (!isNumber || headEnd + 4 + length + 4 != member.size() || !member.endsWith("\r\n\r\n")) {
            *error = "block of the wrong length in " + record.field("WARC-Record-ID");
            return std::nullopt;
        }
        record.block = member.mid(headEnd + 4, length);
        return record;
    }
};
