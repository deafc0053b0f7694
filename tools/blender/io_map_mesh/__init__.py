"""Map meshes in Blender, through mapconv: File > Import > Map mesh (.msh) converts a map with
mapconv and imports its glTF binary; File > Export > Map mesh (.msh) exports the map's objects and
writes them back into a copy of the map mesh with mapconv --write-back, and a repainted sheet into
a copy of the sheet."""

bl_info = {
    "name": "Map mesh (mapconv)",
    "author": "The mapconv developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Import > Map mesh (.msh), File > Export > Map mesh (.msh)",
    "description": "Opens a map mesh through mapconv and saves it back into a copy of the map",
    "category": "Import-Export",
}

# pylint: disable=wrong-import-position
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

import bpy
from bpy.props import BoolProperty, StringProperty
from bpy_extras.io_utils import ExportHelper, ImportHelper

# What the imported objects and images keep of where they came from.
SOURCE_MESH = "mapconv_mesh"
SOURCE_SHEET = "mapconv_sheet"
OPTIONS = "mapconv_options"
PALETTE = "mapconv_palette"

# The conversion's options: the ones that keep the most (every palette's true colours, a .glb).
CONVERT_OPTIONS = ["-q", "--glb", "--all-palettes"]


def allow_numpy_bool():
    """Blender's glTF add-on needs numpy, and Blender 3.4's uses numpy.bool, which numpy 1.24
    (Debian 12's) removed. Returns what is missing, or None."""
    try:
        import numpy  # pylint: disable=import-outside-toplevel
    except ImportError:
        return "Blender's glTF add-on needs numpy (on Debian: apt-get install python3-numpy)"
    if not hasattr(numpy, "bool"):
        numpy.bool = bool
    return None


class MapconvPreferences(bpy.types.AddonPreferences):
    bl_idname = __package__ or __name__

    mapconv_path: StringProperty(
        name="mapconv",
        description="The mapconv program (empty: mapconv, or mapconv.exe, found on PATH)",
        subtype="FILE_PATH",
        default="",
    )

    def draw(self, _context):
        self.layout.prop(self, "mapconv_path")


def mapconv_program(context):
    """The mapconv to run: the one set in the preferences, or the one on PATH."""
    addon = context.preferences.addons.get(__package__ or __name__)
    chosen = addon.preferences.mapconv_path if addon else ""
    if chosen:
        return bpy.path.abspath(chosen)
    return shutil.which("mapconv") or shutil.which("mapconv.exe")


def run_mapconv(context, arguments):
    """Runs mapconv. Returns (ok, the line it printed, or its error messages)."""
    program = mapconv_program(context)
    if not program:
        return False, "mapconv was not found: install it, or set its path in the add-on's preferences"
    result = subprocess.run([program] + arguments, capture_output=True, text=True, check=False)
    said = (result.stdout if result.returncode == 0 else result.stderr).strip()
    return result.returncode == 0, said.replace("mapconv: ", "")


class ImportMapMesh(bpy.types.Operator, ImportHelper):
    """Convert a map mesh with mapconv (true colours, glTF) and import it"""
    bl_idname = "import_scene.map_mesh"
    bl_label = "Import map mesh"
    bl_options = {"REGISTER", "UNDO"}

    filename_ext = ".msh"
    filter_glob: StringProperty(default="*.msh;*", options={"HIDDEN"})
    sheet: StringProperty(
        name="Sheet",
        description="The texture sheet (empty: the files beside the mesh whose names begin with its own)",
        subtype="FILE_PATH",
        default="",
    )

    def convert(self, context, mesh_path, work):
        """Converts the map into work. Returns (ok, what mapconv said, [(sheet, .glb)])."""
        if self.sheet:
            # A sheet picked by hand: the two, under names that make them a pair.
            sheet = os.path.abspath(bpy.path.abspath(self.sheet))
            shutil.copyfile(mesh_path, os.path.join(work, "map.msh"))
            shutil.copyfile(sheet, os.path.join(work, "map.tex"))
            ok, said = run_mapconv(context, CONVERT_OPTIONS + ["-C", work, "map"])
            return ok, said, [(sheet, os.path.join(work, "map.msh_map.tex.glb"))]
        # As a mesh dropped onto mapconv: with every file beside it whose name begins with its own.
        ok, said = run_mapconv(context, CONVERT_OPTIONS + ["-o", work, mesh_path])
        folder, name = os.path.split(mesh_path)
        pairs = []
        for glb in sorted(f for f in os.listdir(work) if f.endswith(".glb")):
            pairs.append((os.path.join(folder, glb[len(name) + 1:-len(".glb")]), os.path.join(work, glb)))
        return ok, said, pairs

    def execute(self, context):
        mesh_path = os.path.abspath(self.filepath)
        work = tempfile.mkdtemp(prefix="mapconv-import-")
        ok, said, pairs = self.convert(context, mesh_path, work)
        if not ok or not pairs:
            self.report({"ERROR"}, said or "mapconv found no texture sheet for this mesh: pick one")
            return {"CANCELLED"}
        missing = allow_numpy_bool()
        if missing:
            self.report({"ERROR"}, missing)
            return {"CANCELLED"}
        # One map, with the first sheet: each sheet's file holds the whole map again, and two
        # copies of the map could not both go back into one mesh.
        sheet_path, glb = pairs[0]
        before = set(bpy.data.objects)
        bpy.ops.import_scene.gltf(filepath=glb)
        for obj in set(bpy.data.objects) - before:
            obj[SOURCE_MESH] = mesh_path
            obj[SOURCE_SHEET] = sheet_path
            obj[OPTIONS] = " ".join(CONVERT_OPTIONS[1:])
        # The images carry their palette in their names: PAIR_palette_P.
        for image in bpy.data.images:
            if "_palette_" in image.name and SOURCE_SHEET not in image:
                image[SOURCE_SHEET] = sheet_path
                image[PALETTE] = int(image.name.rsplit("_palette_", 1)[1].split(".")[0])
        others = "" if len(pairs) == 1 else " (%d other sheets beside it: pick one as Sheet to use it)" % (
            len(pairs) - 1)
        self.report({"INFO"}, "Imported %s with %s%s" % (os.path.basename(mesh_path), os.path.basename(sheet_path),
                                                         others))
        return {"FINISHED"}


def write_png(path, width, height, pixels):
    """An 8-bit RGB PNG of Blender's pixels (floats, rows from the bottom)."""
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray(b"\0")
        start = y * width * 4
        for x in range(width):
            row += bytes(min(255, max(0, int(v * 255 + 0.5))) for v in pixels[start + 4 * x:start + 4 * x + 3])
        rows.append(bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 6)))
        out.write(chunk(b"IEND", b""))


class ExportMapMesh(bpy.types.Operator, ExportHelper):
    """Write the map's objects back into a copy of its map mesh with mapconv"""
    bl_idname = "export_scene.map_mesh"
    bl_label = "Export map mesh"

    filename_ext = ".msh"
    filter_glob: StringProperty(default="*.msh;*", options={"HIDDEN"})
    replace_original: BoolProperty(
        name="Replace the original",
        description="Allow the new map mesh to be the map it was imported from",
        default=False,
    )
    sheets: BoolProperty(
        name="Repainted sheets",
        description="Also write each repainted sheet back, into a copy of its sheet beside the new mesh",
        default=False,
    )

    def invoke(self, context, event):
        source = self.map_source(context)
        if source:
            self.filepath = os.path.splitext(source)[0] + "_edited.msh"
        return ExportHelper.invoke(self, context, event)

    @staticmethod
    def map_objects(context):
        return [obj for obj in context.scene.objects if SOURCE_MESH in obj]

    def map_source(self, context):
        sources = {obj[SOURCE_MESH] for obj in self.map_objects(context)}
        return sources.pop() if len(sources) == 1 else None

    @staticmethod
    def sheet_pictures(work, new):
        """Each sheet image as a PNG: (the picture, its sheet, the new sheet's path)."""
        runs = []
        for image in bpy.data.images:
            if SOURCE_SHEET not in image:
                continue
            sheet = image[SOURCE_SHEET]
            picture = os.path.join(work, "repainted_tex_%d.png" % image[PALETTE])
            pixels = image.pixels[:]  # loads the image: its size is known only then
            write_png(picture, image.size[0], image.size[1], pixels)
            stem, extension = os.path.splitext(os.path.basename(sheet))
            runs.append((picture, sheet, os.path.join(os.path.dirname(new), stem + "_edited" + extension)))
        return runs

    def repainted_sheets(self, context, work, source, new):
        """The sheets whose pictures changed, each put back into the scratch folder first, so that a
        picture that cannot go back stops the export before anything is written. Returns them, or
        None after an error report."""
        runs = []
        for picture, sheet, new_sheet in self.sheet_pictures(work, new):
            ok, said = run_mapconv(context, ["--write-back", sheet, picture, os.path.join(work, "check.tex"),
                                             "--mesh", source])
            if not ok:
                self.report({"ERROR"}, said)
                return None
            if ": 0 pixels changed" not in said:
                runs.append((picture, sheet, new_sheet))
        return runs

    def execute(self, context):
        source = self.map_source(context)
        if not source:
            self.report({"ERROR"}, "no map to export, or maps of several meshes: import one map mesh")
            return {"CANCELLED"}
        new = os.path.abspath(self.filepath)
        if os.path.exists(new) and os.path.samefile(new, source) and not self.replace_original:
            self.report({"ERROR"}, "%s is the map it was imported from: tick Replace the original, or name "
                                   "another file" % os.path.basename(new))
            return {"CANCELLED"}
        work = tempfile.mkdtemp(prefix="mapconv-export-")
        sheet_runs = self.repainted_sheets(context, work, source, new) if self.sheets else []
        if sheet_runs is None:
            return {"CANCELLED"}
        edited = os.path.join(work, "edited.glb")
        missing = allow_numpy_bool()
        if missing:
            self.report({"ERROR"}, missing)
            return {"CANCELLED"}
        bpy.ops.object.select_all(action="DESELECT")
        for obj in self.map_objects(context):
            obj.select_set(True)
        bpy.ops.export_scene.gltf(filepath=edited, export_format="GLB", use_selection=True)
        # The mesh, then the sheets beside it.
        ok, said = run_mapconv(context, ["--write-back", source, edited, new])
        if not ok:
            self.report({"ERROR"}, said)
            return {"CANCELLED"}
        lines = [said]
        for picture, sheet, new_sheet in sheet_runs:
            ok, said = run_mapconv(context, ["--write-back", sheet, picture, new_sheet, "--mesh", source])
            if not ok:
                self.report({"ERROR"}, said)
                return {"CANCELLED"}
            lines.append(said)
        self.report({"INFO"}, "; ".join(lines))
        return {"FINISHED"}


def menu_import(self, _context):
    self.layout.operator(ImportMapMesh.bl_idname, text="Map mesh (.msh)")


def menu_export(self, _context):
    self.layout.operator(ExportMapMesh.bl_idname, text="Map mesh (.msh)")


classes = (MapconvPreferences, ImportMapMesh, ExportMapMesh)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_import.append(menu_import)
    bpy.types.TOPBAR_MT_file_export.append(menu_export)


def unregister():
    bpy.types.TOPBAR_MT_file_export.remove(menu_export)
    bpy.types.TOPBAR_MT_file_import.remove(menu_import)
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
