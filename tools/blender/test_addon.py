# Runs inside Blender (blender -b --factory-startup --python test_addon.py -- ADDON_FOLDER WORK):
# the add-on's two menu items as a modder uses them, on the sample in WORK. Imports map01.msh,
# moves the terrain's corners at one spot up, repaints a row of the palette-0 sheet's pixels,
# exports into map01_edited.msh with the repainted sheet; then imports it again, deletes a face and
# exports into refused.msh, which mapconv must refuse. Writes what it did into WORK/addon.txt for
# the shell script to check; exits 1 at the first thing that did not happen.
import os
import sys

import bpy

args = sys.argv[sys.argv.index("--") + 1:]
sys.path.insert(0, args[0])
work = args[1]
import io_map_mesh  # noqa: E402  pylint: disable=wrong-import-position

said = []


def fail(message):
    print("test_addon: " + message)
    sys.exit(1)


bpy.ops.wm.read_factory_settings(use_empty=True)
io_map_mesh.register()  # once: the settings read again below keep it
if bpy.ops.import_scene.map_mesh(filepath=os.path.join(work, "map01.msh")) != {"FINISHED"}:
    fail("the import did not finish")
terrain = [o for o in bpy.data.objects if o.name.startswith("terrain")]
if not terrain or terrain[0].get("mapconv_mesh") != os.path.join(work, "map01.msh") or \
        terrain[0].get("mapconv_sheet") != os.path.join(work, "map01.tex") or \
        terrain[0].get("mapconv_options") != "--glb --all-palettes":
    fail("no terrain that keeps where it came from")
# The corners at (-14, 0.47, -14) in the file's axes (Blender's z up, y the file's -z), 0.5 up.
moved = 0
for obj in [o for o in bpy.data.objects if o.type == "MESH"]:
    world, inverse = obj.matrix_world, obj.matrix_world.inverted()
    for v in obj.data.vertices:
        w = world @ v.co
        if abs(w.x + 14) < 1e-4 and abs(w.y - 14) < 1e-4 and abs(w.z - 0.47) < 1e-4:
            w.z += 0.5
            v.co = inverse @ w
            moved += 1
    obj.data.update()
if moved == 0:
    fail("no corner at the spot")
# Pixels 10 to 13 of the picture's row 5 (Blender's row 1018) take a colour of the sheet they do not
# have: the first pixel's colour that differs from theirs.
image = next(i for i in bpy.data.images if i.get("mapconv_palette") == 0)
pixels = list(image.pixels[:])
width = image.size[0]
row = 1018 * width * 4
targets = [pixels[row + 4 * x:row + 4 * x + 4] for x in range(10, 14)]
colour = next(pixels[at:at + 4] for at in range(0, len(pixels), 4) if pixels[at:at + 4] not in targets)
for x in range(10, 14):
    pixels[row + 4 * x:row + 4 * x + 4] = colour
image.pixels[:] = pixels
# Never over the map it came from, unless asked.
try:
    bpy.ops.export_scene.map_mesh(filepath=os.path.join(work, "map01.msh"))
    fail("exported over the original")
except RuntimeError as error:
    said.append("kept the original: " + str(error).strip())
new = os.path.join(work, "map01_edited.msh")
if bpy.ops.export_scene.map_mesh(filepath=new, sheets=True) != {"FINISHED"}:
    fail("the export did not finish")
said.append("exported")

# A deleted face cannot go back: mapconv's refusal is the operator's error, and nothing is written.
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.import_scene.map_mesh(filepath=os.path.join(work, "map01.msh"))
terrain = next(o for o in bpy.data.objects if o.name.startswith("terrain"))
bpy.context.view_layer.objects.active = terrain
bpy.ops.object.mode_set(mode="EDIT")
bpy.ops.mesh.select_all(action="DESELECT")
bpy.ops.object.mode_set(mode="OBJECT")
terrain.data.polygons[0].select = True
bpy.ops.object.mode_set(mode="EDIT")
bpy.ops.mesh.delete(type="FACE")
bpy.ops.object.mode_set(mode="OBJECT")
try:
    bpy.ops.export_scene.map_mesh(filepath=os.path.join(work, "refused.msh"))
    fail("a map with a face deleted was exported")
except RuntimeError as error:
    said.append("refused: " + str(error).strip().replace("\n", " "))
with open(os.path.join(work, "addon.txt"), "w", encoding="utf-8") as out:
    out.write("\n".join(said) + "\n")
