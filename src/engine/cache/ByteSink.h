#pragma once

#include <QByteArrayView>

// Where a stream of bytes goes: a file being written, an archive part being encoded, a buffer, a counter.
// Writers hand over the bytes in chunks and stop at the first refusal.
class ByteSink
{
public:
    virtual ~ByteSink() = default;

    // Takes `bytes`; false when the sink failed (a full disk, a cap reached), which ends the stream.
    virtual bool write(QByteArrayView bytes) = 0;
};
