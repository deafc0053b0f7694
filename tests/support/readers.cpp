#include "readers.h"

#include <cstring>

#include <png.h>

// The tests load OBJ files with tinyobjloader, the way importers read them; its code is here.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>

#include "convert.h"
#include "map_writer.h"

decoded_mesh decode_mesh_bytes(const std::string& bytes, const char* name)
{
    decoded_mesh d;
    console_log log;
    std::vector<uint8_t> block;
    byte_source source = memory_source(bytes.data(), bytes.size());
    d.result = read_mesh_stage(&source, name, &d.mesh, &block, &log);
    for (const console_chunk& c : log.chunks)
        (c.to_stderr ? d.err : d.out) += c.text;
    return d;
}

decoded_png read_png(const std::string& bytes, bool alpha)
{
    decoded_png d;
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return d;
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    d.width = image.width;
    d.height = image.height;
    d.rgb.resize(PNG_IMAGE_SIZE(image));
    d.ok = png_image_finish_read(&image, nullptr, d.rgb.data(), 0, nullptr) != 0;
    if (!d.ok)
        d.rgb.clear();
    return d;
}

std::vector<uint8_t> png_pixels(const std::string& path)
{
    return read_png(read_file(path)).rgb;
}
