#include "engine/warc/Base32.h"

QByteArray Base32::encode(QByteArrayView bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    QByteArray text;
    text.reserve((bytes.size() + 4) / 5 * 8);
    quint64 bits = 0;
    int held = 0;
    for (const char byte : bytes) {
        bits = (bits << 8) | quint8(byte);
        held += 8;
        while (held >= 5) {
            held -= 5;
            text.append(kAlphabet[(bits >> held) & 31]);
        }
    }
    if (held > 0)
        text.append(kAlphabet[(bits << (5 - held)) & 31]);
    while (text.size() % 8 != 0)
        text.append('=');
    return text;
}
