# Runs inside Blender (blender -b --factory-startup --python edit_in_blender.py -- ARGS): imports a
# map's OBJ or .glb as a modder would, edits it, and exports it again with the settings given.
#
# ARGS: FORMAT IN OUT [--move X,Y,Z,DY]... [--palette FACE,P] [--setting NAME=VALUE]...
#   FORMAT  obj or glb
#   --move  every vertex at (X, Y, Z) in the file's axes (y up) moves DY up
#   --raise X,Z,R,H  a hill: every vertex within R of (X, Z) rises by H at the centre, less outwards
#   --merge 1  first merge the vertices at one spot into one (Mesh > Clean Up > Merge by Distance)
#   --palette  terrain face FACE (from 0, in the object's order) gets material palette_P
#   --setting  an export setting, as Python (e.g. export_normals=False)
#   --export-as  obj or glb: export in this format rather than the one imported
import ast
import sys

import bpy
import numpy

# Debian's numpy no longer has numpy.bool, which Blender 3.4's glTF add-on still uses.
if not hasattr(numpy, "bool"):
    numpy.bool = bool

args = sys.argv[sys.argv.index("--") + 1:]
fmt, source, target = args[0], args[1], args[2]
moves, raises, palette_edits, settings, merge = [], [], [], {}, False
export_as = fmt
i = 3
while i < len(args):
    if args[i] == "--move":
        moves.append([float(x) for x in args[i + 1].split(",")])
    elif args[i] == "--merge":
        merge = args[i + 1] == "1"
    elif args[i] == "--raise":
        raises.append([float(x) for x in args[i + 1].split(",")])
    elif args[i] == "--palette":
        face, palette = args[i + 1].split(",")
        palette_edits.append((int(face), int(palette)))
    elif args[i] == "--export-as":
        export_as = args[i + 1]
    elif args[i] == "--setting":
        name, value = args[i + 1].split("=", 1)
        settings[name] = ast.literal_eval(value)
    i += 2

bpy.ops.wm.read_factory_settings(use_empty=True)
if fmt == "obj":
    bpy.ops.wm.obj_import(filepath=source)
else:
    bpy.ops.import_scene.gltf(filepath=source)

for obj in bpy.data.objects:
    if obj.type != "MESH":
        continue
    mesh = obj.data
    if merge:
        bpy.context.view_layer.objects.active = obj
        bpy.ops.object.mode_set(mode="EDIT")
        bpy.ops.mesh.select_all(action="SELECT")
        bpy.ops.mesh.remove_doubles(threshold=0.0001)
        bpy.ops.object.mode_set(mode="OBJECT")
    world = obj.matrix_world
    inverse = world.inverted()
    for x, y, z, dy in moves:
        # Blender's z is the file's y, and its y the file's -z.
        for v in mesh.vertices:
            w = world @ v.co
            if abs(w.x - x) < 1e-4 and abs(w.y + z) < 1e-4 and abs(w.z - y) < 1e-4:
                w.z += dy
                v.co = inverse @ w
    for x, z, radius, height in raises:
        for v in mesh.vertices:
            w = world @ v.co
            d = ((w.x - x) ** 2 + (w.y + z) ** 2) ** 0.5
            if d < radius:
                w.z += height * (1 - (d / radius) ** 2)
                v.co = inverse @ w
    if obj.name.startswith("terrain"):
        for face, palette in palette_edits:
            names = [m.name for m in mesh.materials]
            wanted = [k for k, n in enumerate(names) if n.endswith("palette_%d" % palette)]
            if not wanted:
                sys.exit("no material for palette %d among %s" % (palette, names))
            mesh.polygons[face].material_index = wanted[0]
    mesh.update()

if export_as == "obj":
    bpy.ops.wm.obj_export(filepath=target, **settings)
else:
    bpy.ops.export_scene.gltf(filepath=target, export_format="GLB", **settings)
