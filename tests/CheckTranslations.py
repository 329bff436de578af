#!/usr/bin/env python3
"""Keeps the shipped translations complete.

The .ts file must hold exactly what lupdate finds in the sources (context and
source text), with no entry unfinished, vanished or obsolete; every %1..%n of
a source text must appear in its translation, and a text with an & accelerator
must keep exactly one in its translation.

--selftest breaks a copy of the file in each of these ways and fails unless
every break is caught.
"""
import argparse
import copy
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def entries(root):
    """(context, source, comment) -> message element, in file order."""
    out = {}
    for context in root.iter("context"):
        name = context.findtext("name") or ""
        for message in context.iter("message"):
            key = (name, message.findtext("source") or "", message.findtext("comment") or "")
            out[key] = message
    return out


def placeholders(text):
    return set(re.findall(r"%(\d+)", text or ""))


def accelerators(text):
    # "&&" is a literal ampersand, "& " no accelerator
    return len(re.findall(r"&(?![&\s])", (text or "").replace("&&", "")))


def problems_of(root, expected_keys=None):
    found = []
    shipped = entries(root)
    if expected_keys is not None:
        for key in sorted(expected_keys - shipped.keys()):
            found.append("not in the .ts file (run the update_translations target): %s / %r" % key[:2])
        for key in sorted(shipped.keys() - expected_keys):
            found.append("in the .ts file but no longer in the sources: %s / %r" % key[:2])
    for (context, source, _), message in shipped.items():
        where = "%s / %r" % (context, source)
        translation = message.find("translation")
        kind = translation.get("type") if translation is not None else "missing"
        text = translation.text if translation is not None else ""
        if kind in ("unfinished", "vanished", "obsolete", "missing") or not text:
            found.append("%s: %s" % (kind or "empty", where))
            continue
        lost = placeholders(source) - placeholders(text)
        if lost:
            found.append("translation lacks %s: %s" % (", ".join("%" + n for n in sorted(lost)), where))
        if accelerators(source) and accelerators(text) != 1:
            found.append("translation has %d accelerators, not one: %s -> %r" % (accelerators(text), where, text))
    return found


def lupdate_keys(lupdate, src):
    with tempfile.TemporaryDirectory() as tmp:
        ts = os.path.join(tmp, "fresh_de.ts")
        run = subprocess.run([lupdate, "-no-obsolete", "-locations", "none", src, "-ts", ts],
                             capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("lupdate failed:\n" + run.stdout + run.stderr)
        return set(entries(ET.parse(ts).getroot()).keys())


def selftest(root):
    """Each break must be caught; returns the number of breaks tried."""
    messages = list(root.iter("message"))
    with_arg = next(m for m in messages if "%1" in m.findtext("source"))
    with_accel = next(m for m in messages if accelerators(m.findtext("source")))
    breaks = {
        "unfinished": lambda m: m.find("translation").set("type", "unfinished"),
        "lost %1": lambda m: setattr(m.find("translation"), "text", m.find("translation").text.replace("%1", "")),
        "two accelerators": lambda m: setattr(m.find("translation"), "text", "&" + m.find("translation").text),
    }
    targets = {"unfinished": messages[0], "lost %1": with_arg, "two accelerators": with_accel}
    for name, apply in breaks.items():
        broken = copy.deepcopy(root)
        index = messages.index(targets[name])
        apply(list(broken.iter("message"))[index])
        if not problems_of(broken):
            sys.exit("selftest: a translation with %s passed" % name)
    # an entry the sources lack, and one they have that the file lacks
    keys = set(entries(root).keys())
    some = next(iter(keys))
    if len(problems_of(root, (keys - {some}) | {("X", "new text", "")})) != 2:
        sys.exit("selftest: a .ts file out of step with the sources passed")
    return len(breaks) + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lupdate", required=True)
    parser.add_argument("--src", required=True)
    parser.add_argument("--ts", required=True)
    parser.add_argument("--selftest", action="store_true")
    args = parser.parse_args()

    root = ET.parse(args.ts).getroot()
    if args.selftest:
        print("translations selftest: %d kinds of fault caught" % selftest(root))
        return
    problems = problems_of(root, lupdate_keys(args.lupdate, args.src))
    for p in problems:
        print(p)
    count = len(entries(root))
    unfinished = sum(1 for m in root.iter("message") if m.find("translation").get("type") == "unfinished")
    print("%s: %d entries, %d unfinished, %d problems" % (os.path.basename(args.ts), count, unfinished, len(problems)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
