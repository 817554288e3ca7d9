#include "util/JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace
{

// libjpeg reports a fatal error by calling error_exit, whose default ends the process; this one jumps back
// to the decoder instead.
struct ErrorManager
{
    jpeg_error_mgr base;
    std::jmp_buf jumpBack;
};

[[noreturn]] void jumpBack(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jumpBack, 1);
}

void ignoreMessage(j_common_ptr) {}

// Only plain C objects live here: the jump back skips every destructor between the failure and setjmp.
bool decodeInto(const QByteArray& bytes, QImage& image)
{
    jpeg_decompress_struct info;
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpBack;
    errors.base.output_message = ignoreMessage;
    if (setjmp(errors.jumpBack)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width > unsigned(JpegImage::kMaxSide) ||
        info.image_height > unsigned(JpegImage::kMaxSide) ||
        (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    const bool grey = info.jpeg_color_space == JCS_GRAYSCALE;
    info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    image = QImage(int(info.output_width), int(info.output_height),
                   grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (image.isNull()) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    // A file that ends early is "finished" by libjpeg with grey rows and a warning; such a picture is not whole.
    const bool whole = errors.base.num_warnings == 0;
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return whole;
}

} // namespace

QImage JpegImage::decode(const QByteArray& bytes)
{
    QImage image;
    if (bytes.isEmpty() || !decodeInto(bytes, image))
        return {};
    return image;
}
