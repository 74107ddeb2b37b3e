#!/usr/bin/python3
"""Reads the installed file-manager menu entries as the file managers do and
checks what each format needs for "Checksums with Vellumark" on exactly one
selected file (Vellumark opens one), never on folders or on several items,
registering Vellumark for no type.

    menu_entries.py PREFIX APP_ID

The entries are parsed with GLib's key-file reader, which Nemo, Caja and
PCManFM-Qt use themselves (KDE's reader takes the same syntax); no format
has a validator of its own, and desktop-file-validate knows only
applications, links and folders."""

import os
import sys

from gi.repository import GLib

prefix, app_id = sys.argv[1], sys.argv[2]
failures = []
NAME = "Checksums with Vellumark"


def load(path):
    keys = GLib.KeyFile()
    try:
        keys.load_from_file(path, GLib.KeyFileFlags.NONE)
    except GLib.Error as error:
        failures.append(f"{path}: {error.message}")
        return None
    return keys


def get(keys, group, key):
    try:
        return keys.get_string(group, key)
    except GLib.Error:
        return None


def get_list(keys, group, key):
    try:
        return keys.get_string_list(group, key)
    except GLib.Error:
        return []


def expect(path, what, actual, wanted):
    if actual != wanted:
        failures.append(f"{path}: {what} is {actual!r}, not {wanted!r}")


def runs_vellumark_on_files(path, command):
    # The installed program, handed every selected file as a path.
    words = (command or "").split()
    if len(words) != 2 or words[1] != "%F":
        failures.append(f"{path}: Exec={command!r} does not hand over the files as paths")
        return
    if not os.access(os.path.join(prefix, "bin", words[0]), os.X_OK):
        failures.append(f"{path}: Exec={command!r} does not start an installed program")


def files_only(path, types):
    # all/allfiles is every file and no folder; anything naming folders or
    # a type of its own would offer or register more.
    expect(path, "the types", types, ["all/allfiles"])


# KDE: a service menu with one action.
path = os.path.join(prefix, "share/kio/servicemenus", app_id + ".desktop")
keys = load(path)
if keys:
    entry = "Desktop Entry"
    expect(path, "Type", get(keys, entry, "Type"), "Service")
    files_only(path, get_list(keys, entry, "MimeType"))
    # KIO offers the menu only when the number of selected items is within
    # these bounds (X-KDE-RequiredNumberOfUrls lists numbers instead).
    expect(path, "X-KDE-MinNumberOfUrls", get(keys, entry, "X-KDE-MinNumberOfUrls"), "1")
    expect(path, "X-KDE-MaxNumberOfUrls", get(keys, entry, "X-KDE-MaxNumberOfUrls"), "1")
    if get(keys, entry, "X-KDE-RequiredNumberOfUrls") is not None:
        failures.append(f"{path}: X-KDE-RequiredNumberOfUrls would say it again, maybe otherwise")
    actions = get_list(keys, entry, "Actions")
    expect(path, "the number of actions", len(actions), 1)
    for action in actions:
        group = "Desktop Action " + action
        if not keys.has_group(group):
            failures.append(f"{path}: no group [{group}]")
            continue
        expect(path, "Name", get(keys, group, "Name"), NAME)
        expect(path, "Icon", get(keys, group, "Icon"), app_id)
        runs_vellumark_on_files(path, get(keys, group, "Exec"))

# Nemo: one action on exactly one file ("s", single), no folders.
path = os.path.join(prefix, "share/nemo/actions", app_id + ".nemo_action")
keys = load(path)
if keys:
    group = "Nemo Action"
    expect(path, "the groups", keys.get_groups()[0], [group])
    expect(path, "Name", get(keys, group, "Name"), NAME)
    expect(path, "Icon-Name", get(keys, group, "Icon-Name"), app_id)
    expect(path, "Selection", (get(keys, group, "Selection") or "").lower(), "s")
    expect(path, "Extensions", get_list(keys, group, "Extensions"), ["nodirs"])
    if get(keys, group, "Mimetypes") is not None:
        failures.append(f"{path}: Mimetypes would widen or narrow what Extensions says")
    runs_vellumark_on_files(path, get(keys, group, "Exec"))

# FileManager-Actions: an action with one profile.
path = os.path.join(prefix, "share/file-manager/actions", app_id + ".desktop")
keys = load(path)
if keys:
    entry = "Desktop Entry"
    expect(path, "Type", get(keys, entry, "Type"), "Action")
    expect(path, "Name", get(keys, entry, "Name"), NAME)
    expect(path, "Icon", get(keys, entry, "Icon"), app_id)
    profiles = get_list(keys, entry, "Profiles")
    expect(path, "the number of profiles", len(profiles), 1)
    for profile in profiles:
        group = "X-Action-Profile " + profile
        if not keys.has_group(group):
            failures.append(f"{path}: no group [{group}]")
            continue
        files_only(path, get_list(keys, group, "MimeTypes"))
        # An operator and a number: "=1" is exactly one selected item.
        expect(path, "SelectionCount", (get(keys, group, "SelectionCount") or "").replace(" ", ""), "=1")
        runs_vellumark_on_files(path, get(keys, group, "Exec"))

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
