# Runs inside Blender with a window (for the pictures of docs/blender.md): imports the sample through
# the add-on, shows it in Material Preview, saves the window as map.png, opens the File menu's
# Import or Export submenu (MENU=import or export) and saves the window again as MENU.png, in OUT.
#
#   MENU=import OUT=/tmp/shots PATH=build:$PATH xvfb-run -a -s "-screen 0 1280x800x24" \
#     blender --factory-startup -noaudio EMPTY.blend --python tools/blender/addon_pictures.py -- MAP.msh
#
# (a .blend named on the command line keeps the splash screen away).
import os
import sys

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import io_map_mesh  # noqa: E402  pylint: disable=wrong-import-position

io_map_mesh.register()
mesh_path = sys.argv[sys.argv.index("--") + 1]
menu, out = os.environ.get("MENU", "import"), os.environ.get("OUT", ".")
state = {"step": 0}


def step():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.type == "VIEW_3D")
    region = next(r for r in area.regions if r.type == "WINDOW")
    state["step"] += 1
    if state["step"] == 1:
        with bpy.context.temp_override(window=window, area=area, region=region):
            bpy.ops.import_scene.map_mesh(filepath=mesh_path)
            area.spaces[0].shading.type = "MATERIAL"
            bpy.ops.view3d.view_axis(type="TOP")
            bpy.ops.view3d.view_orbit(angle=0.8, type="ORBITDOWN")
            bpy.ops.view3d.view_all()
        return 8.0  # the shaders compile
    with bpy.context.temp_override(window=window):
        if state["step"] == 2:
            bpy.ops.screen.screenshot(filepath=os.path.join(out, "map.png"))
            bpy.ops.wm.call_menu(name="TOPBAR_MT_file_" + menu)
            return 1.0
        if state["step"] == 3:
            bpy.ops.screen.screenshot(filepath=os.path.join(out, menu + ".png"))
            return 0.5
    bpy.ops.wm.quit_blender()
    return None


bpy.app.timers.register(step, first_interval=2.0)
