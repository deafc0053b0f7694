#include <string>

#include "wavefront/wavefront.h"

// Emission is black: importers that read Ke as glow would otherwise wash the map out to white.
static const char white_material[] =
    "newmtl blah\n"
    "Ns 100.000\n"
    "d 1.00000\n"
    "illum 2\n"
    "Kd 1.00000 1.00000 1.00000\n"
    "Ka 1.00000 1.00000 1.00000\n"
    "Ks 1.00000 1.00000 1.00000\n"
    "Ke 0.00000 0.00000 0.00000\n";

int write_mtl(const char* png_name, output_file* out)
{
    std::string text = white_material;
    text += "map_Kd ";
    text += png_name;
    text += '\n';
    return output_write(out, text.data(), text.size());
}
