#pragma once

#include <QByteArray>
#include <QImage>

// Decodes JPEG files with libjpeg, called directly.
class JpegImage
{
public:
    // Pictures larger than this are refused rather than decoded.
    static constexpr int kMaxSide = 8192;

    // The picture as RGB (grey pictures stay grey); a null image for bytes that are not a JPEG file libjpeg
    // can decode to RGB or grey, or that stop before the picture is whole.
    static QImage decode(const QByteArray& bytes);
};
