#!/usr/bin/python3
"""A file manager with Vellumark's module, on a virtual display: a folder
holding one file is opened, the file is right-clicked, the module's record
shows that it was asked for the items of that one file and offered the
entry, the entry is chosen, and a recording stand-in `vellumark` first on
PATH gets the file's path.

    xvfb_test.py nautilus|thunar|caja MODULE SYSTEM_DIR [CAJA_ACTIONS_PLUGIN ENTRY]

With CAJA_ACTIONS_PLUGIN (caja-actions' menu plugin) beside the module and
the FileManager-Actions ENTRY installed in a data folder, Caja shows the
entry once, caja-actions' and not the module's: the module's record says it
offered nothing, and the entry that is there starts vellumark.

The file manager loads the module from a folder of the test's own, which
holds nothing else: it runs in a mount namespace of its own where its
module folder, SYSTEM_DIR, is the test's (unshare; as root, or in a user
namespace). Thunar ignores THUNARX_DIRS when run as root. The record is the
module's test seam: each request for items appends a line to the file that
VELLUMARK_MENU_LOG names. The file and the entry are found through the
accessibility tree (AT-SPI) and clicked with xdotool. The test starts
Xvfb, openbox, a D-Bus session bus and the file manager, each in a process
group of its own, and ends those groups, and nothing else, when it is done.
Every wait is bounded."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

manager, module, system_dir = sys.argv[1], sys.argv[2], sys.argv[3]
caja_actions = sys.argv[4:6] if len(sys.argv) > 5 else None
ENTRY = "Checksums with Vellumark"
FILE_NAME = "disk image \u00e9t\u00e9 -1.iso"
SETTINGS = {
    "xfce4/xfconf/xfce-perchannel-xml/thunar.xml":
        '<?xml version="1.0" encoding="UTF-8"?>\n<channel name="thunar" version="1.0">\n'
        '  <property name="last-view" type="string" value="ThunarDetailsView"/>\n</channel>\n',
    "glib-2.0/settings/keyfile":
        "[org/gnome/nautilus/preferences]\ndefault-folder-viewer='list-view'\n\n"
        "[org/mate/caja/preferences]\ndefault-folder-viewer='list-view'\n",
}
APPLICATIONS = {"nautilus": "org.gnome.Nautilus", "thunar": "Thunar", "caja": "caja"}

groups = []  # the process groups this test started, ended at the end


def start(command, **kwargs):
    process = subprocess.Popen(command, start_new_session=True, **kwargs)
    groups.append(process)
    return process


def end_all():
    for process in reversed(groups):
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            continue
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=5)
        # What the group's leader started and left behind goes with it.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def wait_for(what, test, seconds):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        result = test()
        if result:
            return result
        time.sleep(0.1)
    raise TimeoutError(f"{what}: not within {seconds} s")


def find(node, test, depth=0):
    """The first accessible below `node` (depth first) that passes `test`."""
    if node is None or depth > 40:
        return None
    try:
        if test(node):
            return node
        count = node.get_child_count()
    except gi.repository.GLib.Error:
        return None
    for index in range(count):
        try:
            child = node.get_child_at_index(index)
        except gi.repository.GLib.Error:
            continue
        found = find(child, test, depth + 1)
        if found is not None:
            return found
    return None


def tree(node, depth=0, lines=None):
    """The accessibility tree below `node`, a line for each node, for a
    failure's report."""
    lines = [] if lines is None else lines
    if node is None or depth > 40 or len(lines) > 400:
        return lines
    try:
        lines.append("  " * depth + f"{node.get_role_name()} {node.get_name()!r}"
                     + (" showing" if showing(node) else ""))
        count = node.get_child_count()
    except gi.repository.GLib.Error:
        return lines
    for index in range(count):
        try:
            tree(node.get_child_at_index(index), depth + 1, lines)
        except gi.repository.GLib.Error:
            pass
    return lines


def application():
    desktop = Atspi.get_desktop(0)
    for index in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(index)
        if app is not None and app.get_name() in (APPLICATIONS[manager], manager):
            return app
    return None


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def shown(app, node):
    """Whether `node` is on the screen where it says it is. GTK 4.8 (GNOME
    Files 43) marks its widgets visible but never showing."""
    states = node.get_state_set()
    if app.get_toolkit_version().startswith("4."):
        return states.contains(Atspi.StateType.VISIBLE)
    extents = node.get_extents(Atspi.CoordType.SCREEN)
    return states.contains(Atspi.StateType.SHOWING) and extents.x >= 0 and extents.y >= 0 and extents.width > 0


def screen_point(app, node, env):
    """The middle of `node` on the screen. GTK 4.8 (GNOME Files 43) gives
    extents relative to the window whatever is asked for: its window's
    place on the screen is added."""
    if not app.get_toolkit_version().startswith("4."):
        extents = node.get_extents(Atspi.CoordType.SCREEN)
        return extents.x + extents.width // 2, extents.y + extents.height // 2
    extents = node.get_extents(Atspi.CoordType.WINDOW)
    frame = find(app, lambda n: n.get_role() == Atspi.Role.FRAME)
    window = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{frame.get_name()}$"], env=env,
                            stdout=subprocess.PIPE, text=True, timeout=10).stdout.split()[0]
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=env, stdout=subprocess.PIPE,
                              text=True, timeout=10).stdout
    place = dict(line.split("=", 1) for line in geometry.split())
    return int(place["X"]) + extents.x + extents.width // 2, int(place["Y"]) + extents.y + extents.height // 2


def click(app, node, button, env):
    x, y = screen_point(app, node, env)
    # No --sync: it waits for the pointer to move, which it does not when
    # it is there already.
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "sleep", "0.2", "click", str(button)],
                   env=env, check=True, timeout=10)


def choose(app, item, env):
    """Chooses a menu item: a click on it, or in GTK 4.8 its accessible
    "click" action. GTK 4.8 tells the place of a popover menu's items
    wrongly (GNOME Files 43's entry, drawn about (795, 702), was said to be
    at (577, 655)), so a click there would miss it."""
    if not app.get_toolkit_version().startswith("4."):
        click(app, item, 1, env)
        return
    actions = [item.get_action_name(index) for index in range(item.get_n_actions())]
    if "click" not in actions:
        raise AssertionError(f"{item.get_name()!r} has no click action: {actions}")
    item.do_action(actions.index("click"))


def main(root):
    files = os.path.join(root, "files")
    os.makedirs(files)
    target = os.path.join(files, FILE_NAME)
    with open(target, "w") as out:
        out.write("abc")
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir)
    record = os.path.join(root, "argv")
    with open(os.path.join(bin_dir, "vellumark"), "w") as out:
        out.write('#!/bin/sh\nprintf \'%s\\0\' "$@" >"$VELLUMARK_RECORD.part"\n'
                  'mv "$VELLUMARK_RECORD.part" "$VELLUMARK_RECORD"\n')
    os.chmod(os.path.join(bin_dir, "vellumark"), 0o755)
    extensions = os.path.join(root, "extensions")
    os.makedirs(extensions)
    shutil.copy(module, extensions)
    data = os.path.join(root, "share")
    if caja_actions:
        plugin, entry = caja_actions
        shutil.copy(plugin, extensions)
        os.makedirs(os.path.join(data, "file-manager/actions"))
        shutil.copy(entry, os.path.join(data, "file-manager/actions/com.halvercraft.Vellumark.desktop"))
    # Each file manager shows the folder as a list, whose rows the
    # accessibility tree names (Thunar's icon view names no icon).
    config = os.path.join(root, "config")
    for path, text in SETTINGS.items():
        os.makedirs(os.path.dirname(os.path.join(config, path)), exist_ok=True)
        with open(os.path.join(config, path), "w") as out:
            out.write(text)
    log = os.path.join(root, "menu.log")
    runtime = os.path.join(root, "runtime")
    os.makedirs(runtime, mode=0o700)

    xvfb = start(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    display = ":" + xvfb.stdout.readline().decode().strip()
    env = {
        "PATH": bin_dir + ":" + os.environ["PATH"], "HOME": os.path.join(root, "home"), "DISPLAY": display,
        "XDG_CONFIG_HOME": os.path.join(root, "config"), "XDG_DATA_HOME": os.path.join(root, "data"),
        "XDG_CACHE_HOME": os.path.join(root, "cache"), "XDG_RUNTIME_DIR": runtime,
        "XDG_DATA_DIRS": data + ":" + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share"),
        "GSETTINGS_BACKEND": "keyfile", "GSK_RENDERER": "cairo", "GTK_USE_PORTAL": "0", "LANG": "C.UTF-8",
        "VELLUMARK_MENU_LOG": log, "VELLUMARK_RECORD": record,
    }
    start(["openbox"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env, stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
    os.environ.update(env)  # this process's AT-SPI client looks at the same bus
    os.environ.pop("NO_AT_BRIDGE", None)

    commands = {
        "nautilus": ["nautilus", "--new-window", files],
        "thunar": ["thunar", files],
        "caja": ["caja", "--no-desktop", "--browser", files],
    }
    # The module's folder, in a mount namespace of the file manager's own.
    namespace = ["unshare", "--mount", "--propagation", "private"]
    if os.getuid() != 0:
        namespace.insert(1, "--map-root-user")
    command = namespace + ["sh", "-c", 'mount --bind "$0" "$1" && shift && exec "$@"', extensions, system_dir] \
        + commands[manager]
    start(command, env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "stderr"), "w"))

    Atspi.init()
    app = wait_for("the file manager on the accessibility bus", application, 30)
    icon = wait_for(f"{FILE_NAME!r} shown", lambda: find(app, lambda n: n.get_name() == FILE_NAME and shown(app, n)), 30)
    time.sleep(1)  # the view lays itself out once more when its folder is read
    click(app, icon, 1, env)
    click(app, icon, 3, env)
    line = wait_for("the module asked for its items", lambda: open(log).read() if os.path.exists(log) else "", 15)
    answer = "none" if caja_actions else "offered"
    if line.splitlines()[-1] != f"{manager} 1 {answer}":
        raise AssertionError(f"the module's record: {line!r}")
    if caja_actions:
        # caja-actions puts its entries in a submenu of their own.
        submenu = wait_for("caja-actions' submenu", lambda: find(
            app, lambda n: n.get_role() == Atspi.Role.MENU and n.get_name() == "Caja-Actions actions"
            and shown(app, n)), 15)
        click(app, submenu, 1, env)
    item = wait_for(f"{ENTRY!r} in the menu", lambda: find(app, lambda n: n.get_name() == ENTRY and shown(app, n)), 15)
    if caja_actions:
        time.sleep(0.5)  # the whole menu is there
        entries = []
        find(app, lambda n: n.get_name() == ENTRY and shown(app, n) and entries.append(n))
        if len(entries) != 1:
            raise AssertionError(f"{len(entries)} entries {ENTRY!r} in the menu")
    choose(app, item, env)
    wait_for("vellumark started", lambda: os.path.exists(record), 15)
    with open(record, "rb") as recorded:
        arguments = recorded.read().split(b"\0")[:-1]
    if arguments != [os.fsencode(target)]:
        raise AssertionError(f"vellumark got {arguments!r}, not [{os.fsencode(target)!r}]")
    shown_by = " (caja-actions' entry)" if caja_actions else ""
    print(f"{manager}: the entry{shown_by} on one file started vellumark with {target!r}")


for tool in ("Xvfb", "openbox", "dbus-daemon", "xdotool", "unshare", manager):
    if shutil.which(tool) is None:
        print(f"{tool} is not installed", file=sys.stderr)
        sys.exit(1)
with tempfile.TemporaryDirectory(prefix="vellumark-xvfb-") as root:
    try:
        main(root)
        status = 0
    except (AssertionError, TimeoutError, subprocess.SubprocessError) as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        stderr = os.path.join(root, "stderr")
        if os.path.exists(stderr):
            print(open(stderr).read()[-3000:], file=sys.stderr)
        app = application()
        if app is not None:
            print("\n".join(tree(app)), file=sys.stderr)
        # VELLUMARK_XVFB_SHOT names a PNG file for a picture of the screen.
        if os.environ.get("VELLUMARK_XVFB_SHOT"):
            subprocess.run(["/usr/bin/python3", "-c", "import sys, gi; gi.require_version('Gdk', '3.0'); "
                            "from gi.repository import Gdk; root = Gdk.get_default_root_window(); "
                            "Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height())"
                            ".savev(sys.argv[1], 'png', [], [])", os.environ["VELLUMARK_XVFB_SHOT"]],
                           timeout=30)
        status = 1
    finally:
        end_all()
sys.exit(status)
