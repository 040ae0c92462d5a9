#include "Preview.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jpeglib.h>

#include "BigEndian.h"

namespace zelt {
namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager *>(info->err)->jump, 1);
}

void Quiet(j_common_ptr, int) {}

// The swap itself, in plain C style: no object with a destructor lives
// across the long jump of an error.
bool Swap(const uint8_t *in, std::size_t size, unsigned char **out, unsigned long *outSize, unsigned char **rows)
{
    jpeg_decompress_struct d;
    jpeg_compress_struct c;
    ErrorManager em;
    std::memset(&d, 0, sizeof d);
    std::memset(&c, 0, sizeof c);
    d.err = c.err = jpeg_std_error(&em.base);
    em.base.error_exit = OnJpegError;
    em.base.emit_message = Quiet;
    volatile bool decoding = false, encoding = false;
    if (setjmp(em.jump)) {
        if (decoding)
            jpeg_destroy_decompress(&d);
        if (encoding)
            jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_create_decompress(&d);
    decoding = true;
    jpeg_mem_src(&d, in, static_cast<unsigned long>(size));
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK)
        std::longjmp(em.jump, 1);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    const JDIMENSION width = d.output_width, height = d.output_height;
    if (d.output_components != 3 || width == 0 || height == 0 || width > 4096 || height > 4096)
        std::longjmp(em.jump, 1);
    *rows = static_cast<unsigned char *>(std::malloc(std::size_t{width} * height * 3));
    if (!*rows)
        std::longjmp(em.jump, 1);
    while (d.output_scanline < height) {
        JSAMPROW row = *rows + std::size_t{d.output_scanline} * width * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    decoding = false;
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
        unsigned char *px = *rows + i * 3;
        const unsigned char r = px[0];
        px[0] = px[2];
        px[2] = r;
    }
    jpeg_create_compress(&c);
    encoding = true;
    jpeg_mem_dest(&c, out, outSize);
    c.image_width = width;
    c.image_height = height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < height) {
        JSAMPROW row = *rows + std::size_t{c.next_scanline} * width * 3;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return true;
}

} // namespace

bool ParseThumbnailHeader(const uint8_t *data, ThumbnailHeader &h)
{
    h.format = LoadBE32(data);
    h.width = LoadBE32(data + 4);
    h.height = LoadBE32(data + 8);
    h.compressedSize = LoadBE32(data + 20);
    h.bitsPerPixel = LoadBE16(data + 24);
    h.planes = LoadBE16(data + 26);
    return h.format == 1 && h.bitsPerPixel == 24 && h.planes == 1 && h.width >= 1 && h.height >= 1 &&
           h.width <= 4096 && h.height <= 4096 && h.compressedSize >= 4;
}

std::vector<uint8_t> SwapJpegRedBlue(const std::vector<uint8_t> &jpeg)
{
    unsigned char *out = nullptr, *rows = nullptr;
    unsigned long outSize = 0;
    const bool ok = Swap(jpeg.data(), jpeg.size(), &out, &outSize, &rows);
    std::vector<uint8_t> result;
    if (ok && out)
        result.assign(out, out + outSize);
    std::free(out);
    std::free(rows);
    return result;
}

} // namespace zelt
