#include <string>

#include "wavefront/wavefront.h"

// Emission is black: importers that read Ke as glow would otherwise wash the map out to white.
static const char white_material[] = "Ns 100.000\n"
                                     "d 1.00000\n"
                                     "illum 2\n"
                                     "Kd 1.00000 1.00000 1.00000\n"
                                     "Ka 1.00000 1.00000 1.00000\n"
                                     "Ks 1.00000 1.00000 1.00000\n"
                                     "Ke 0.00000 0.00000 0.00000\n";

static void add_material(std::string* text, const std::string& name, const std::string& png_name)
{
    *text += "newmtl " + name + "\n";
    *text += white_material;
    *text += "map_Kd " + png_name + "\n";
}

static int write_text(const std::string& text, byte_sink* out)
{
    sink_reserve(out, text.size());
    return sink_write(out, text.data(), text.size());
}

int write_mtl(const obj_materials& materials, const std::vector<std::string>& png_names, byte_sink* out)
{
    std::string text;
    for (size_t i = 0; i < materials.palettes->size(); i++)
        add_material(&text, material_name(materials, (*materials.palettes)[i]), png_names[i]);
    return write_text(text, out);
}
