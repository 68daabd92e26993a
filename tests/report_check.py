#!/usr/bin/env python3
"""Checks the -j and -g documents against real runs.

  report_check.py roundtrip TOOL TREE...   the text report rebuilt from each -j document
                                           equals the text the tool prints for the same run
  report_check.py schema TOOL SCHEMA TREE...  each -j document validates (exit 77: no jsonschema)
  report_check.py dot TOOL TREE...         each -g document renders with dot -Tsvg (77: no dot)
  report_check.py windows EXE TREE64       the 64-bit Windows program EXE, run by Wine's loader
                                           over TREE64 (app.exe, alpha.dll importing beta.dll,
                                           beta.dll) without beta.dll, names beta.dll as what
                                           is missing (77: no Wine)

A TREE is a folder holding app.exe, and maybe sys/, the system folder of its runs (none
otherwise), or run.txt, whose lines each give the options and the module of a run in place of
app.exe ($TREE standing for the tree's folder). Each check runs with -l, with -!, with -e -l,
with -x -e -l and with --windows=10 -e -l. Besides the trees given, each check also runs over
trees derived from the LX example when it is among them: a DLL missing, a damaged DLL,
and a DLL name that is not UTF-8; and from the PE example: a DLL and the program cut
short, and an entry with a C++ name.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

FORMAT_LINES = {"PE32": "32-bit NT 'PE' Module", "PE32+": "64-bit NT 'PE' Module",
                "LX": "32-bit KAVRI 'LX' Module", "NE": "16-bit KAVRI 'NE' Module"}


def run(tool, args, cwd, empty, stderr=subprocess.STDOUT, winepath=""):
    env = dict(os.environ, PATH=empty, WINEPATH=winepath)
    p = subprocess.run([tool] + args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=stderr)
    return p.returncode, p.stdout


def b(s):
    """The bytes a document's string stands for (the \\udcNN escapes back to bytes)."""
    return s.encode("utf-8", "surrogateescape")


def entry_name(e):
    """An entry's name in quotes as -e and -x show it: a C++ name demangled, the raw one beside."""
    if "demangled" in e:
        return b"'" + b(e["demangled"]) + b"' [" + b(e["name"]) + b"]"
    return b"'" + b(e["name"]) + b"'"


SOURCES = {"vc_redistributable": b" but of the Visual C++ Redistributable",
           "directx": b" but of the DirectX End-User Runtime",
           "ucrt": b" but of the Universal C Runtime update (KB2999226)"}


def not_part_of_windows(p):
    """The judgement of a DLL or API set the target Windows lacks, as -e words it."""
    windows = b(p["windows"])
    if p["api_set"] and p["source"] != "ucrt":
        return b"API set not part of " + windows
    source = SOURCES.get(p["source"], b"") if p["source"] != "directx" or not p["shippable"] else b""
    remedy = b", ship it with the program" if p["shippable"] \
        else b", no file of it was found here" if p["api_set"] else b", only Wine's own copy was found here"
    return b"not part of " + windows + source + remedy


def problem_line(p):
    """One line of the -e summary."""
    what = {"not_loaded": b"not loaded (%d)" % p["error"],
            "not_opened": b"cannot be opened",
            "check_failed": b"check failed (%d)" % p["error"]}.get(p["kind"])
    if p["kind"] == "not_loaded" and p["detail"] is not None:
        what += b": " + b(p["detail"])
    if p["kind"] == "not_loadable":
        what = b"not a loadable image (" + b(p["reason"]) + b")"
    elif p["kind"] == "not_part_of_windows":
        what = not_part_of_windows(p)
    elif what is None:
        e = p["entry"]
        what = b"ordinal %d" % e["ordinal"] if "ordinal" in e else b"entry " + entry_name(e)
        what += b" is not in Wine's copy (%d), Windows' own copy could not be checked here" % p["error"] \
            if p["kind"] == "not_verified" else b" not resolved (%d)" % p["error"]
    chains = b", and by ".join(b" > ".join(b(c) for c in chain) for chain in p["chains"])
    unknown = b"" if p.get("cause_found", True) else b"; cause not found"
    needed = b", needed by " + chains if p["chains"] else b""
    return b(p["dll"]) + b": " + what + needed + unknown + b"\n"


def summary(doc):
    """The -e summary the tool prints for the problems of the document."""
    out = []
    if doc["missing"]:
        out.append(b"\nMissing: %d\n" % len(doc["missing"]))
        out += [problem_line(p) for p in doc["missing"]]
    if doc.get("not_verified"):
        out.append(b"\nNot verified: %d\n" % len(doc["not_verified"]))
        out += [problem_line(p) for p in doc["not_verified"]]
    return b"".join(out)


def render(doc, demangle, judged):
    """The combined text the tool prints for the run that the -j document describes; with
    demangle (-x) C++ entry names shown demangled. Without judged (-e or -x) the text does not
    judge a module's own image as the loader reads it, and -j does: a module with a cause of
    its own is then read as the text reads it."""
    out = []
    mods = doc["modules"]
    seen = set()

    def line(level, text):
        out.append(b"  " * (level - 1) + text + b"\n")

    def entry_text(fmt, e):
        if "ordinal" in e:
            return b"  %3d (0x%04x)" % (e["ordinal"], e["ordinal"])
        return b"  " + b(e["name"]) + (b"." if fmt == "NE" else b"")

    def module(i):
        seen.add(i)
        m = mods[i]
        lv, fmt = m["level"], m["format"]
        if fmt:
            line(lv, FORMAT_LINES[fmt].encode())
        error = None if "cause" in m and not judged else m["error"]
        if error is not None:
            for err in error.split("\n"):
                line(lv, b(err))
        if m["result"] != 0:
            return
        if fmt in ("PE32", "PE32+"):
            line(lv, b"%d imported module(s) found." % len(m["imports"]))
        # A module whose own image the loader would refuse gets no closing line.
        ok = error is None
        for imp in m["imports"]:
            dll = b(imp["dll"])
            if "loaded" in imp:
                if not imp["loaded"]:
                    ok = False
                    line(lv, b"Loading '" + dll + b"' --> NOT loaded!")
                    line(lv, b"Unable to load DLL '" + dll + b"'.  LoadLibrary returned: %d" % imp["error"])
                    # With -x the file found for it is checked right after.
                    if imp["module"] is not None and imp["module"] not in seen:
                        module(imp["module"])
                    continue
                if imp.get("origin") == "absent":
                    line(lv, b"Loading '" + dll + b"' --> part of " + b(m["windows"]) + b", not found here.")
                    continue
                if imp.get("host") and imp["path"] is None:
                    line(lv, b"Loading '" + dll + b"' --> the program that loads this module"
                             b" (name it with --host=FILE to check its entries).")
                    continue
                path = b(imp["path"])
                line(lv, b"Loading '" + dll + b"' --> " + path + b".")
                for e in imp["entries"]:
                    if e["resolved"]:
                        continue
                    ok = False
                    line(lv, b"Unable to load procedure from " + dll + b" (file: " + path + b")")
                    if "ordinal" in e:
                        line(lv, b"Ordinal entry %u could not be resolved." % e["ordinal"])
                    else:
                        line(lv, b"Entry " + (entry_name(e) if demangle else b"'" + b(e["name"]) + b"'")
                             + b" could not be resolved.")
                    line(lv, b"DosQueryProcAddr returned: %d" % e["error"])
            else:
                line(lv, b"Referencing the following from DLL '" + dll + b"':")
                for e in imp["entries"]:
                    line(lv, entry_text(fmt, e))
            if imp["module"] is not None and imp["module"] not in seen:
                module(imp["module"])
        if ok and (fmt != "NE" or m["imports"]):
            line(lv, b"All DLLs used by '" + b(m["file"]) + b"' could be loaded.")

    if mods:
        module(0)
    if doc.get("needed"):
        n = len(doc["needed"])
        out.append(b"\nThe following %d DLL%s needed to load " % (n, b" is" if n == 1 else b"s are")
                   + b(doc["named_module"]) + b":\n")
        for name in doc["needed"]:
            out.append(b(name) + b"\n")
    return b"".join(out)


def derived_trees(trees, scratch):
    """Trees made from the LX example: FILEIO.DLL missing, DISPLAY.DLL damaged, and FILEIO
    renamed to a name that is not UTF-8 in every file and on disk; and from the PE example:
    shapes.dll cut short, app.exe cut short, and the entry fade_out named as a C++ name."""
    made = []
    for t in trees:
        if os.path.exists(os.path.join(t, "shapes.dll")):
            for kind, name in (("cutdll", "shapes.dll"), ("cutapp", "app.exe"), ("mangled", "app.exe")):
                d = os.path.join(scratch, "pe-" + kind)
                shutil.copytree(t, d)
                with open(os.path.join(d, name), "r+b") as f:
                    if kind == "mangled":
                        data = f.read().replace(b"fade_out", b"_Z4fadev")
                        f.seek(0)
                        f.write(data)
                    else:
                        f.truncate(200)
                made.append(d)
        if not os.path.exists(os.path.join(t, "DISPLAY.DLL")):
            continue
        for kind in ("missing", "damaged", "nonutf8"):
            d = os.path.join(scratch, "lx-" + kind)
            shutil.copytree(t, d)
            if kind == "missing":
                os.remove(os.path.join(d, "FILEIO.DLL"))
            elif kind == "damaged":
                with open(os.path.join(d, "DISPLAY.DLL"), "r+b") as f:
                    f.truncate(100)
            else:
                for name in os.listdir(d):
                    with open(os.path.join(d, name), "r+b") as f:
                        data = f.read().replace(b"FILEIO", b"FIL\xc9IO")
                        f.seek(0)
                        f.write(data)
                os.rename(os.path.join(d, "FILEIO.DLL"), os.path.join(d.encode(), b"FIL\xc9IO.DLL"))
            made.append(d)
    return made


def windows(exe, tree64):
    """The Windows program finds the cause with the system loader's codes and its own check."""
    wine = shutil.which("wine64") or ("/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else None)
    if not wine:
        print("warning: Wine's 64-bit loader is not installed; the Windows program's check is skipped")
        return 77
    with tempfile.TemporaryDirectory() as scratch:
        tree = os.path.join(scratch, "tree")
        shutil.copytree(tree64, tree)
        os.remove(os.path.join(tree, "beta.dll"))
        shutil.copy(exe, os.path.join(tree, "talvek.exe"))
        env = dict(os.environ, WINEPREFIX=os.path.join(scratch, "prefix"), WINEDEBUG="-all")
        p = subprocess.run([wine, "talvek.exe", "-e", "app.exe"], cwd=tree, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600)
        out = p.stdout.replace(b"\r\n", b"\n")
        want = b"\nMissing: 1\nbeta.dll: not loaded (126), needed by app.exe > alpha.dll, and by app.exe\n"
        if p.returncode != 10 or not out.endswith(want):
            print("FAIL windows: exit code %d, printed:\n%s" % (p.returncode, out.decode(errors="replace")))
            return 1
    print("windows: the cause is named")
    return 0


def main():
    mode, tool = sys.argv[1], os.path.abspath(sys.argv[2])
    rest = sys.argv[3:]
    if mode == "windows":
        return windows(tool, rest[0])
    validator = None
    if mode == "schema":
        try:
            import jsonschema
        except ImportError:
            print("warning: python3-jsonschema is not installed; the schema check is skipped")
            return 77
        with open(rest.pop(0)) as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        validator = jsonschema.Draft202012Validator(schema)
    if mode == "dot" and not shutil.which("dot"):
        print("warning: Graphviz's dot is not installed; the graph check is skipped")
        return 77
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        empty = os.path.join(scratch, "empty")
        os.mkdir(empty)
        trees = [os.path.abspath(t) for t in rest]
        trees += derived_trees(trees, scratch)
        runs = []
        for tree in trees:
            listed = os.path.join(tree, "run.txt")
            if os.path.exists(listed):
                with open(listed) as f:
                    runs += [(tree, line.replace("$TREE", tree).split()) for line in f if line.strip()]
            else:
                runs.append((tree, [os.path.join(tree, "app.exe")]))
        for tree, named in runs:
            sys_dir = os.path.join(tree, "sys")
            winepath = sys_dir if os.path.isdir(sys_dir) else ""
            for each in (["-l"], ["-!"], ["-e", "-l"], ["-x", "-e", "-l"], ["--windows=10", "-e", "-l"]):
                opts, app = each + named[:-1], named[-1]
                if mode == "dot":
                    rc, dot = run(tool, ["-g"] + opts + [app], empty, empty, subprocess.DEVNULL, winepath)
                    svg = subprocess.run(["dot", "-Tsvg"], input=dot, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    if svg.returncode != 0 or b"<svg" not in svg.stdout or not dot.startswith(b"digraph"):
                        failures += 1
                        print("FAIL dot %s %s: %s" % (opts, tree, svg.stderr.decode(errors="replace")))
                    continue
                rc_text, text = run(tool, opts + [app], empty, empty, winepath=winepath)
                rc_json, raw = run(tool, ["-j"] + opts + [app], empty, empty, winepath=winepath)
                # Messages to standard error still appear; the document is what follows them.
                doc_at = raw.find(b"{\n")
                doc = json.loads(raw[doc_at:].decode("utf-8"))
                stderr_part = raw[:doc_at]
                problems = []
                if validator is not None:
                    problems += [e.message for e in validator.iter_errors(doc)]
                if mode == "roundtrip":
                    shown = render(doc, "-x" in opts, "-x" in opts or "-e" in opts) + (summary(doc) if "-e" in opts else b"")
                    if shown != text:
                        problems.append("text differs:\n--- tool\n%s\n--- from the document\n%s" % (
                            text.decode(errors="replace"), shown.decode(errors="replace")))
                    if rc_text != rc_json or doc["exit_code"] != rc_json:
                        problems.append("exit codes: text %d, -j %d, document %d" % (rc_text, rc_json, doc["exit_code"]))
                    if stderr_part and any(m["error"] is None for m in doc["modules"] if not m["opened"]):
                        problems.append("a module not opened has no error text")
                    if ("-e" in opts) and (rc_json == 10) != (bool(doc["missing"]) and doc["modules"][0]["result"] == 0):
                        problems.append("-e exit code does not match the missing list")
                for p in problems:
                    failures += 1
                    print("FAIL %s %s %s: %s" % (mode, " ".join(opts), tree, p))
    print("%s: %d failure(s)" % (mode, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
