#pragma once

#include "engine/cache/ByteSink.h"

#include <QByteArray>
#include <QByteArrayList>
#include <array>

// The two transfer encodings of RFC 2045 that archive parts use; both give back the body's bytes exactly.
// Neither writes "=" before anything but two upper-case hex digits or a line end, so a boundary holding
// "=" and then another character (as "----=gleaner" does) appears in no encoded body. The list functions
// produce lines without their line ends (the archive ends every line with CR LF); the writers take a body
// in chunks of any size and pass on whole CR LF-terminated lines, the same lines the list functions give.
class MimeEncoding
{
public:
    // Encoded lines are at most this long, a soft line break's "=" included.
    static constexpr qsizetype kMaxLineLength = 76;

    // `bytes` in quoted-printable, decoding to exactly `bytes`: each CR LF is a line break of the text, and
    // every other byte outside printable ASCII (a CR or LF alone, NUL), "=", and a space or tab that would
    // end a line are written as "=XX". A CR or LF alone is followed by a soft line break, so that the text
    // keeps its lines whichever line ends it uses. A line longer than 76 characters is split with soft line
    // breaks, never inside an "=XX". The last line is the text after its last CR LF, empty when it ends
    // with one: the CR LF the archive ends it with is the one the next delimiter line owns (RFC 2046), and
    // does not belong to the text.
    static QByteArrayList quotedPrintable(const QByteArray& bytes);

    // base64 in lines of exactly 76 characters (57 bytes), the last one shorter; no lines for no bytes.
    static QByteArrayList base64Lines(const QByteArray& bytes);

    // Encoded lines are collected up to about this many bytes before they are passed on, so that a sink
    // writing to a file sees few large writes rather than one per line.
    static constexpr qsizetype kBatchSize = qsizetype(64) << 10;

    // base64Lines of everything written to it, each line ended with CR LF, into `out`. Call finish()
    // after the last chunk: it writes the last, shorter line and what is still collected.
    class Base64Writer final : public ByteSink
    {
    public:
        // How whole lines are encoded: with AVX2 vector instructions where the processor has them, else
        // eight characters at a time with ordinary ones. Both give the same text; tests name each.
        enum class Instructions
        {
            Best,
            Scalar,
        };

        explicit Base64Writer(ByteSink& out, Instructions instructions = Instructions::Best);

        // False once `out` has refused bytes; nothing more is written then.
        bool write(QByteArrayView bytes) override;
        bool finish();

    private:
        // Bytes per full line.
        static constexpr qsizetype kLineBytes = kMaxLineLength / 4 * 3;

        // Encodes `lines` lines of 57 bytes from `in` into the batch, passing it on whenever it is full.
        bool encodeLines(const unsigned char* in, qsizetype lines);
        bool pass();

        ByteSink& out_;
        void (*const encodeLine_)(const unsigned char* in, char* out);
        QByteArray batch_;
        // The start of a line whose 57 bytes have not all arrived.
        std::array<char, kLineBytes> held_{};
        qsizetype heldSize_ = 0;
        bool failed_ = false;
    };

    // quotedPrintable of everything written to it, each line ended with CR LF, into `out`. Call finish()
    // after the last chunk: it writes the last line, ended too.
    class QuotedPrintableWriter final : public ByteSink
    {
    public:
        explicit QuotedPrintableWriter(ByteSink& out);

        // False once `out` has refused bytes; nothing more is written then.
        bool write(QByteArrayView bytes) override;
        bool finish();

    private:
        void appendByte(unsigned char byte);
        // Writes the space or tab that waits, escaped when a line break or the end follows it.
        void putBlank(bool escaped);
        // Adds `byte` to the line, escaped or as it is, breaking the line when it grows too long.
        void put(unsigned char byte, bool escaped);
        // A CR or LF alone: escaped, with a soft line break once more of the line follows.
        void putLoneBreak(unsigned char byte);
        void breakSoftly();
        void endLine();
        bool pass();

        ByteSink& out_;
        QByteArray batch_;
        // The encoded start of the current line: a longer one gives up its first 73 to 75 characters to a
        // soft-broken line as soon as it passes 76, so this never holds more than 76 + 3.
        std::array<char, kMaxLineLength + 4> line_{};
        qsizetype lineSize_ = 0;
        // A space or tab is written plainly only when more of its line follows, so it waits for the next
        // byte; 0 when none waits.
        char blank_ = 0;
        bool afterCr_ = false;      // the last byte was a CR: an LF now makes both a line break
        bool softBreakDue_ = false; // a lone CR or LF ended the line's text so far
        bool failed_ = false;
    };
};
