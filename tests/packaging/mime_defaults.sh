# A desktop of the test's own, to see which program opens each type a
# checksum tool is offered on; sourced by install_test.sh and package_test.sh.
# The types get a handler whose name sorts after ours (where no default was
# chosen, the desktop takes the first entry in that order), some also one
# that sorts before it, one a chosen default. Only what is set here counts:
# no desktop of the test's own, no display.
#     mime_desk DIR        lays it out in DIR; its applications are in $mime_apps
#     mime_defaults [DATA_DIR...]
#                          the default of each type, as xdg-mime and GLib
#                          (which file managers use) tell it, with DATA_DIRs
#                          first among the data folders

mime_types="application/octet-stream application/x-cd-image application/x-raw-disk-image application/zip
  application/gzip application/x-tar application/x-xz application/x-7z-compressed application/x-executable"

mime_desk() {
  mime_root=$1
  mime_apps=$mime_root/share/applications
  mkdir -p "$mime_apps" "$mime_root/config" "$mime_root/home"
  local name types
  for handler in "org.late.Tool:$mime_types" \
    "aa.early.Tool:application/x-raw-disk-image application/gzip application/x-xz"; do
    name=${handler%%:*} types=${handler#*:}
    printf '[Desktop Entry]\nType=Application\nName=%s\nExec=true %%F\nMimeType=%s;\n' "$name" \
      "$(echo $types | tr ' ' ';')" >"$mime_apps/$name.desktop"
  done
  printf '[Default Applications]\napplication/x-executable=org.late.Tool.desktop\n' >"$mime_root/config/mimeapps.list"
  update-desktop-database "$mime_apps"
}

mime_defaults() {
  local type dirs=$mime_root/share
  [ $# -gt 0 ] && dirs=$(IFS=:; echo "$*"):$dirs
  local environment=(env -i PATH="$PATH" HOME="$mime_root/home" XDG_DATA_HOME="$mime_root/home"
    XDG_DATA_DIRS="$dirs" XDG_CONFIG_HOME="$mime_root/config" XDG_CONFIG_DIRS="$mime_root/config")
  for type in $mime_types; do
    echo "$type: $("${environment[@]}" xdg-mime query default "$type")"
    if command -v gio >/dev/null; then
      echo "$type (GLib): $("${environment[@]}" gio mime "$type" | head -1)"
    fi
  done
}
