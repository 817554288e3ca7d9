#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QByteArrayList>
#include <optional>

// Keeps every byte written to it, for tests that compare what a writer passed on.
class CollectingSink : public ByteSink
{
public:
    bool write(QByteArrayView bytes) override
    {
        collected.append(bytes);
        return true;
    }

    // What a `Writer` (a MimeEncoding writer) passes on of `input`, handed to it in chunks whose sizes
    // `chunkSizeAt(position)` gives; std::nullopt when a write or the finish failed.
    template <typename Writer, typename ChunkSizeAt>
    static std::optional<QByteArray> through(const QByteArray& input, ChunkSizeAt chunkSizeAt)
    {
        CollectingSink out;
        Writer writer(out);
        for (qsizetype pos = 0; pos < input.size();) {
            const qsizetype size = std::min<qsizetype>(chunkSizeAt(pos), input.size() - pos);
            if (!writer.write(QByteArrayView(input).sliced(pos, size)))
                return std::nullopt;
            pos += size;
        }
        if (!writer.finish())
            return std::nullopt;
        return out.collected;
    }

    // Lines as an archive holds them: each one ends with CR LF, the last one too.
    static QByteArray crlf(const QByteArrayList& lines)
    {
        QByteArray text;
        for (const QByteArray& line : lines)
            text += line + "\r\n";
        return text;
    }

    QByteArray collected;
};
