#include "engine/archive/MimeEncoding.h"

#include <QtEndian>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define WEBGLEANER_AVX2_BASE64 1
#endif

namespace
{

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kLineEnd[] = "\r\n";

// The two base64 characters of every 12 bits, so that three bytes take two look-ups.
constexpr std::array<std::array<char, 2>, 4096> kBase64Pairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (unsigned bits = 0; bits < pairs.size(); ++bits)
        pairs[bits] = {kBase64Alphabet[bits >> 6], kBase64Alphabet[bits & 63]};
    return pairs;
}();

// Printable ASCII but "=": written as it is wherever it stands in a line.
bool isPlain(unsigned char byte)
{
    return byte >= 33 && byte <= 126 && byte != '=';
}

bool isLiteral(unsigned char byte)
{
    return isPlain(byte) || byte == ' ' || byte == '\t';
}

// Whether the byte at `at` is written as it is, as far as the bytes up to `end` tell: printable ASCII
// but "=", or a space or tab that the next byte shows to be followed by more of its encoded line (not by a
// line break, which a CR may start; a lone LF is escaped, but is taken as a break here too).
bool standsForItself(const char* at, const char* end)
{
    const auto byte = static_cast<unsigned char>(*at);
    if (isPlain(byte))
        return true;
    if ((byte != ' ' && byte != '\t') || at + 1 == end)
        return false;
    const char next = at[1];
    return next != '\r' && next != '\n';
}

// Writes "=XX" for `byte` at `out`.
void escape(unsigned char byte, char* out)
{
    out[0] = '=';
    out[1] = kHex[byte >> 4];
    out[2] = kHex[byte & 0x0F];
}

// Where a soft line break goes in an encoded line longer than 76 characters: after 75 characters, or
// before an "=XX" that would be split there. Every "=" in an encoded line opens an escape.
qsizetype softBreakAt(const char* encoded)
{
    qsizetype cut = MimeEncoding::kMaxLineLength - 1;
    while (encoded[cut - 1] == '=' || encoded[cut - 2] == '=')
        --cut;
    return cut;
}

// Appends the encoded text `segment` to `out` as lines of at most 76 characters, soft-broken where longer;
// with `softBreakAfter`, its last line ends with a soft break too, and so holds at most 75 characters.
void appendSegment(const QByteArray& segment, bool softBreakAfter, QByteArrayList& out)
{
    const qsizetype limit = softBreakAfter ? MimeEncoding::kMaxLineLength - 1 : MimeEncoding::kMaxLineLength;
    qsizetype pos = 0;
    while (segment.size() - pos > limit) {
        const qsizetype cut = pos + softBreakAt(segment.constData() + pos);
        out << segment.mid(pos, cut - pos) + '=';
        pos = cut;
    }
    out << (softBreakAfter ? segment.mid(pos) + '=' : segment.mid(pos));
}

// base64 of `triples` whole groups of three bytes at `in`, four characters each, to `out`.
void encodeTriples(const unsigned char* in, qsizetype triples, char* out)
{
    for (qsizetype i = 0; i < triples; ++i, in += 3, out += 4) {
        const unsigned bits = (unsigned(in[0]) << 16) | (unsigned(in[1]) << 8) | in[2];
        std::memcpy(out, kBase64Pairs[bits >> 12].data(), 2);
        std::memcpy(out + 2, kBase64Pairs[bits & 0xFFF].data(), 2);
    }
}

// One whole line: 57 bytes at `in` as 76 characters at `out`. Two groups of three bytes are taken from
// one 8-byte load and written with one 8-byte store; the last load ends at the line's 56th byte.
void encodeLine(const unsigned char* in, char* out)
{
    constexpr int kGroups = 9; // of six bytes; the 19th group of three follows on its own
    for (int group = 0; group < kGroups; ++group, in += 6, out += 8) {
        quint64 loaded;
        std::memcpy(&loaded, in, 8);
        const quint64 bits = qFromBigEndian(loaded);
        const auto pairOf = [](quint64 twelveBits) {
            const std::array<char, 2>& pair = kBase64Pairs[twelveBits & 0xFFF];
            return quint64(static_cast<unsigned char>(pair[0])) | quint64(static_cast<unsigned char>(pair[1])) << 8;
        };
        // The first pair in the lowest bytes, which a little-endian store puts first.
        const quint64 chars = qToLittleEndian(pairOf(bits >> 52) | pairOf(bits >> 40) << 16 | pairOf(bits >> 28) << 32 |
                                              pairOf(bits >> 16) << 48);
        std::memcpy(out, &chars, 8);
    }
    encodeTriples(in, 1, out);
}

#ifdef WEBGLEANER_AVX2_BASE64
// The same with AVX2: 24 bytes become 32 characters in a few instructions, twice a line, the line's last
// nine bytes as above. Each half register takes twelve bytes, read from a 16-byte load; the second
// line's loads end at its 52nd byte.
__attribute__((target("avx2"))) void encodeLineAvx2(const unsigned char* in, char* out)
{
    // Each 32-bit group takes three input bytes, ordered so that the multiplies below can shift its four
    // 6-bit fields into bytes of their own.
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    // What to add to a 6-bit value, by the range it is in, to have its character.
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    for (int half = 0; half < 2; ++half, in += 24, out += 32) {
        const __m256i loaded =
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
        const __m256i groups = _mm256_shuffle_epi8(loaded, spread);
        const __m256i high =
            _mm256_mulhi_epu16(_mm256_and_si256(groups, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
        const __m256i low =
            _mm256_mullo_epi16(_mm256_and_si256(groups, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
        const __m256i values = _mm256_or_si256(high, low);
        // Which range a value is in: 13 for A-Z, 0 for a-z, 1-10 for the digits, 11 for "+", 12 for "/".
        __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
        const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
        range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
        const __m256i chars = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, range), values);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    }
    encodeTriples(in, 3, out);
}
#endif

using LineEncoder = void (*)(const unsigned char* in, char* out);

LineEncoder lineEncoderFor(MimeEncoding::Base64Writer::Instructions instructions)
{
#ifdef WEBGLEANER_AVX2_BASE64
    static const bool hasAvx2 = __builtin_cpu_supports("avx2");
    if (instructions == MimeEncoding::Base64Writer::Instructions::Best && hasAvx2)
        return encodeLineAvx2;
#endif
    Q_UNUSED(instructions);
    return encodeLine;
}

// Hands `batch` to `out` and empties it, keeping its room for the next lines.
bool passBatch(QByteArray& batch, ByteSink& out)
{
    if (batch.isEmpty())
        return true;
    const bool written = out.write(batch);
    batch.resize(0);
    return written;
}

} // namespace

QByteArrayList MimeEncoding::quotedPrintable(const QByteArray& bytes)
{
    QByteArrayList out;
    // The encoded text since the last line break or lone CR or LF.
    QByteArray segment;
    bool softBreakDue = false;
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\r' && i + 1 < size && bytes[i + 1] == '\n') {
            appendSegment(segment, false, out);
            segment.clear();
            softBreakDue = false;
            ++i;
            continue;
        }
        if (softBreakDue) {
            appendSegment(segment, true, out);
            segment.clear();
            softBreakDue = false;
        }
        // A space or tab that ends a line would be taken for padding and dropped.
        const bool blank = byte == ' ' || byte == '\t';
        const bool beforeBreak = i + 1 == size || bytes[i + 1] == '\r' || bytes[i + 1] == '\n';
        if (isLiteral(byte) && !(blank && beforeBreak)) {
            segment += static_cast<char>(byte);
        } else {
            char escaped[3];
            escape(byte, escaped);
            segment.append(escaped, 3);
        }
        softBreakDue = byte == '\r' || byte == '\n';
    }
    appendSegment(segment, false, out);
    return out;
}

QByteArrayList MimeEncoding::base64Lines(const QByteArray& bytes)
{
    const QByteArray encoded = bytes.toBase64();
    QByteArrayList out;
    out.reserve(encoded.size() / kMaxLineLength + 1);
    for (qsizetype pos = 0; pos < encoded.size(); pos += kMaxLineLength)
        out << encoded.mid(pos, kMaxLineLength);
    return out;
}

MimeEncoding::Base64Writer::Base64Writer(ByteSink& out, Instructions instructions)
    : out_(out), encodeLine_(lineEncoderFor(instructions))
{
    batch_.reserve(kBatchSize + kMaxLineLength + 2);
}

bool MimeEncoding::Base64Writer::write(QByteArrayView bytes)
{
    if (failed_)
        return false;
    if (bytes.isEmpty())
        return true;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    qsizetype left = bytes.size();
    if (heldSize_ > 0) {
        const qsizetype taken = std::min(left, kLineBytes - heldSize_);
        std::memcpy(held_.data() + heldSize_, in, static_cast<size_t>(taken));
        heldSize_ += taken;
        in += taken;
        left -= taken;
        if (heldSize_ < kLineBytes)
            return true;
        heldSize_ = 0;
        if (!encodeLines(reinterpret_cast<const unsigned char*>(held_.data()), 1))
            return false;
    }
    if (!encodeLines(in, left / kLineBytes))
        return false;
    heldSize_ = left % kLineBytes;
    std::memcpy(held_.data(), in + left - heldSize_, static_cast<size_t>(heldSize_));
    return true;
}

bool MimeEncoding::Base64Writer::encodeLines(const unsigned char* in, qsizetype lines)
{
    constexpr qsizetype kLineSize = kMaxLineLength + 2;
    while (lines > 0) {
        // As many lines as fill the batch, encoded in place.
        const qsizetype now = std::min(lines, std::max<qsizetype>(1, (kBatchSize - batch_.size()) / kLineSize));
        const qsizetype at = batch_.size();
        batch_.resize(at + now * kLineSize);
        char* out = batch_.data() + at;
        for (qsizetype line = 0; line < now; ++line, in += kLineBytes, out += kLineSize) {
            encodeLine_(in, out);
            std::memcpy(out + kMaxLineLength, kLineEnd, 2);
        }
        lines -= now;
        if (batch_.size() >= kBatchSize && !pass())
            return false;
    }
    return true;
}

bool MimeEncoding::Base64Writer::finish()
{
    if (failed_)
        return false;
    if (heldSize_ > 0) {
        const auto* in = reinterpret_cast<const unsigned char*>(held_.data());
        const qsizetype triples = heldSize_ / 3;
        char line[kMaxLineLength + 2];
        encodeTriples(in, triples, line);
        char* out = line + triples * 4;
        const unsigned char* tail = in + triples * 3;
        switch (heldSize_ % 3) {
        case 1:
            *out++ = kBase64Alphabet[tail[0] >> 2];
            *out++ = kBase64Alphabet[(tail[0] & 3) << 4];
            *out++ = '=';
            *out++ = '=';
            break;
        case 2:
            *out++ = kBase64Alphabet[tail[0] >> 2];
            *out++ = kBase64Alphabet[((tail[0] & 3) << 4) | (tail[1] >> 4)];
            *out++ = kBase64Alphabet[(tail[1] & 15) << 2];
            *out++ = '=';
            break;
        }
        std::memcpy(out, kLineEnd, 2);
        batch_.append(line, out + 2 - line);
        heldSize_ = 0;
    }
    return pass();
}

bool MimeEncoding::Base64Writer::pass()
{
    failed_ = failed_ || !passBatch(batch_, out_);
    return !failed_;
}

MimeEncoding::QuotedPrintableWriter::QuotedPrintableWriter(ByteSink& out) : out_(out)
{
    batch_.reserve(kBatchSize + 2 * (kMaxLineLength + 2));
}

bool MimeEncoding::QuotedPrintableWriter::write(QByteArrayView bytes)
{
    if (failed_)
        return false;
    const char* in = bytes.data();
    const char* const end = in + bytes.size();
    while (in < end) {
        // A CR waits for the next byte, which tells a line break from a lone CR.
        if (afterCr_) {
            afterCr_ = false;
            if (*in == '\n') {
                ++in;
                endLine();
                if (batch_.size() >= kBatchSize && !pass())
                    return false;
                continue;
            }
            putLoneBreak('\r');
        }
        // Most of a style sheet or script is printable ASCII that stands for itself, and blanks inside lines:
        // copied in runs, up to where the line would need a soft break.
        if (blank_ == 0) {
            if (softBreakDue_ && standsForItself(in, end))
                breakSoftly();
            const char* run = in;
            const char* const stop = std::min(end, in + (kMaxLineLength - lineSize_));
            while (run < stop && standsForItself(run, end))
                ++run;
            if (run > in) {
                std::memcpy(line_.data() + lineSize_, in, static_cast<size_t>(run - in));
                lineSize_ += run - in;
                in = run;
                continue;
            }
        }
        const auto byte = static_cast<unsigned char>(*in++);
        if (byte == '\r') {
            putBlank(true);
            afterCr_ = true;
        } else if (byte == '\n') {
            putLoneBreak(byte);
        } else {
            appendByte(byte);
        }
        if (batch_.size() >= kBatchSize && !pass())
            return false;
    }
    return true;
}

bool MimeEncoding::QuotedPrintableWriter::finish()
{
    if (failed_)
        return false;
    if (afterCr_) {
        afterCr_ = false;
        putLoneBreak('\r');
    }
    endLine();
    return pass();
}

void MimeEncoding::QuotedPrintableWriter::appendByte(unsigned char byte)
{
    putBlank(false);
    if (byte == ' ' || byte == '\t')
        blank_ = static_cast<char>(byte);
    else
        put(byte, !isLiteral(byte));
}

void MimeEncoding::QuotedPrintableWriter::putBlank(bool escaped)
{
    // A space or tab that ends a line would be taken for padding and dropped.
    if (blank_ != 0) {
        put(static_cast<unsigned char>(blank_), escaped);
        blank_ = 0;
    }
}

void MimeEncoding::QuotedPrintableWriter::putLoneBreak(unsigned char byte)
{
    putBlank(true);
    put(byte, true);
    softBreakDue_ = true;
}

void MimeEncoding::QuotedPrintableWriter::put(unsigned char byte, bool escaped)
{
    if (softBreakDue_)
        breakSoftly();
    if (escaped) {
        escape(byte, line_.data() + lineSize_);
        lineSize_ += 3;
    } else {
        line_[lineSize_++] = static_cast<char>(byte);
    }
    // The first 76 characters decide the soft break, so it can be made before the line is complete.
    if (lineSize_ > kMaxLineLength) {
        const qsizetype cut = softBreakAt(line_.data());
        batch_.append(line_.data(), cut);
        batch_.append("=\r\n", 3);
        lineSize_ -= cut;
        std::memmove(line_.data(), line_.data() + cut, static_cast<size_t>(lineSize_));
    }
}

void MimeEncoding::QuotedPrintableWriter::breakSoftly()
{
    softBreakDue_ = false;
    // The soft break's "=" needs a place of its own among the 76 characters.
    if (lineSize_ >= kMaxLineLength) {
        const qsizetype cut = softBreakAt(line_.data());
        batch_.append(line_.data(), cut);
        batch_.append("=\r\n", 3);
        lineSize_ -= cut;
        std::memmove(line_.data(), line_.data() + cut, static_cast<size_t>(lineSize_));
    }
    // One append for the line and its break: a page of lone line breaks makes a line of each.
    std::memcpy(line_.data() + lineSize_, "=\r\n", 3);
    batch_.append(line_.data(), lineSize_ + 3);
    lineSize_ = 0;
}

void MimeEncoding::QuotedPrintableWriter::endLine()
{
    putBlank(true);
    // A line break ends the line's text: no soft break is needed before it.
    softBreakDue_ = false;
    std::memcpy(line_.data() + lineSize_, kLineEnd, 2);
    batch_.append(line_.data(), lineSize_ + 2);
    lineSize_ = 0;
}

bool MimeEncoding::QuotedPrintableWriter::pass()
{
    failed_ = failed_ || !passBatch(batch_, out_);
    return !failed_;
}
