#!/usr/bin/env bash
# Repaints the sample's sheet in GIMP (headless: Debian's gimp, batch mode, Script-Fu) as a pixel
# artist would, writes each picture back with mapconv --write-back ... --mesh, and checks that
# exactly the sheet's bytes under the painted rectangle changed: in RGB (a colour of the palette,
# and one it lacks) and in indexed mode (a picture written with --indexed-sheets, painted with an
# entry of its own palette, goes back index by index). Not part of the test suite: GIMP is large;
# the suite runs the same checks with ImageMagick.
#
# usage: tools/gimp/repaint.sh [BUILD_DIR]   (default: build; mapconv and make_sample_map)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
command -v gimp-console >/dev/null || { echo "repaint: needs gimp (apt-get install gimp)" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/make_sample_map" . >/dev/null
# The rectangle: x 40 to 71, y 100 to 131 as the picture shows it (rows from the top).
x=40 y=100 w=32 h=32

# paint IN OUT COLOUR: fills the rectangle of IN with COLOUR ("R G B", or "picked": the colour of
# the picture's pixel 0, 0) and saves OUT, keeping IN's mode (RGB, or indexed, where GIMP fills with
# the nearest entry of the picture's own palette).
paint() {
  local colour="'($3)"
  [ "$3" = picked ] && colour="(car (gimp-image-pick-color image layer 0 0 FALSE FALSE 0))"
  gimp-console -i -d -f -b "
    (let* ((image (car (file-png-load RUN-NONINTERACTIVE \"$1\" \"$1\")))
           (layer (car (gimp-image-get-active-drawable image))))
      (gimp-image-select-rectangle image CHANNEL-OP-REPLACE $x $y $w $h)
      (gimp-context-set-foreground $colour)
      (gimp-drawable-edit-fill layer FILL-FOREGROUND)
      (gimp-selection-none image)
      (file-png-save2 RUN-NONINTERACTIVE image layer \"$2\" \"$2\" 0 9 0 0 0 0 0 0 0)
      (gimp-image-delete image))" -b "(gimp-quit 0)" >gimp.log 2>&1
}

# check NAME PICTURE WANT: writes PICTURE back into map01.tex; WANT is what the summary must say.
failed=0
check() {
  local name=$1 picture=$2 want=$3 said
  if ! said=$("$build/mapconv" --palette 0 --write-back map01.tex "$picture" new.tex --mesh map01.msh 2>&1); then
    echo "FAILED  $name: $said"; failed=1; return
  fi
  local outside inside
  read -r outside inside < <(cmp -l map01.tex new.tex | awk -v x=$x -v y=$y -v w=$w -v h=$h '
    { b = $1 - 1; row = 1023 - int(b / 128); left = (b % 128) * 2
      if (row >= y && row < y + h && left + 1 >= x && left < x + w) inside++; else outside++ }
    END { print outside + 0, inside + 0 }')
  if [ "$outside" -eq 0 ] && [ "$inside" -gt 0 ] && grep -q -- "$want" <<<"$said"; then
    echo "ok      $name: $inside bytes under the rectangle changed, none elsewhere (${said#*: })"
  else
    echo "FAILED  $name: $outside bytes outside the rectangle and $inside under it changed: $said"; failed=1
  fi
}

echo "repaint: $(gimp-console --version 2>/dev/null | head -1), the sample's sheet through palette 0"
"$build/mapconv" -q map01
paint map01.tex_tex_0.png rgb_palette.png picked
check "RGB, a colour of the palette" rgb_palette.png ", 0 to the nearest"
paint map01.tex_tex_0.png rgb_other.png "18 52 86"
check "RGB, a colour the palette lacks" rgb_other.png " to the nearest, at most"
"$build/mapconv" -q --indexed-sheets map01
paint map01.tex_tex_0.png indexed.png "18 52 86"
check "indexed, an entry of its own palette" indexed.png "index by index"
exit $failed
