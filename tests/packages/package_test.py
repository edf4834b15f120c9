#!/usr/bin/env python3
"""The release packages as a user meets them.

Builds the packages from the existing builds (scripts/package.sh), then, under
Wine in a prefix of its own: installs the x64 installer silently, finds every
file, the Start menu shortcut and the Apps and Features entry, starts the
installed morphex.exe in the shortcut's working directory and reads its
format lists, uninstalls and finds nothing left; unpacks the x64 zip and
converts a text with the unpacked program; checks the x86 installer's and
zip's file lists (32-bit code cannot run here).  Writes a JUnit report that
the test harness counts, one case per step.
"""
import argparse
import getpass
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile
from xml.sax.saxutils import escape, quoteattr

PUBLISHER = "The Morphex Project"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
SHIPPED_SOURCE_FORMAT = "Text - Unicode - UTF-8"
COMMAND_TIMEOUT = 180


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Wine:
    """A quiet Wine in a fresh prefix of its own."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.loader = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.server = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d")
        shutil.rmtree(prefix, ignore_errors=True)
        os.makedirs(prefix)
        self.run("wineboot", "-i")
        self.wait()

    def run(self, *args, check_status=True):
        result = subprocess.run([self.loader, *args], env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=COMMAND_TIMEOUT)
        output = result.stdout.decode("latin-1") + result.stderr.decode("latin-1")
        if check_status and result.returncode != 0:
            raise Failure(f"wine {' '.join(args)} ended with {result.returncode}:\n{output}")
        return output

    def wait(self):
        subprocess.run([self.server, "-w"], env=self.env, timeout=COMMAND_TIMEOUT)

    def stop(self):
        subprocess.run([self.server, "-k"], env=self.env, timeout=COMMAND_TIMEOUT)

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def registry_text(self, root):
        """The whole of one registry root as .reg text."""
        out = os.path.join(self.prefix, "export.reg")
        self.run("reg", "export", root, windows_path(out), "/y")
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        return data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("latin-1")


def read_shortcut(path):
    """Target and working directory of a shell link (.lnk)."""
    with open(path, "rb") as f:
        data = f.read()
    check(len(data) >= 0x4C and struct.unpack_from("<I", data, 0)[0] == 0x4C, f"{path} is no shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    target = None
    if flags & 0x01:  # item id list
        size = struct.unpack_from("<H", data, at)[0]
        id_list = data[at + 2:at + 2 + size]
        at += 2 + size
        if b"morphex.exe" in id_list.lower() or "morphex.exe".encode("utf-16-le") in id_list.lower():
            target = "morphex.exe"
    if flags & 0x02:  # link info, with the local path
        size, header = struct.unpack_from("<II", data, at)
        info_flags, _, base_offset = struct.unpack_from("<III", data, at + 8)
        if info_flags & 1:
            end = data.index(b"\0", at + base_offset)
            target = data[at + base_offset:end].decode("latin-1")
        at += size
    strings = {}
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "working_dir"), (0x20, "arguments"),
                      (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            width = 2 if flags & 0x80 else 1
            raw = data[at + 2:at + 2 + count * width]
            # Wine counts the terminating zero too.
            strings[name] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            at += 2 + count * width
    return target, strings.get("working_dir")


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def zip_files(path):
    """The files of a package zip, relative to its one top folder."""
    with zipfile.ZipFile(path) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
    tops = {n.split("/", 1)[0] for n in names}
    check(len(tops) == 1, f"{path} holds {sorted(tops)} at its top, not one folder")
    return tops.pop(), {n.split("/", 1)[1].replace("/", os.sep) for n in names}


def msi_table(msi, table):
    out = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    rows = [line.split("\t") for line in out.splitlines()[3:] if line]
    return rows


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 4)[0]


class Run:
    def __init__(self, args):
        self.args = args
        self.cases = []
        self.work = os.path.join(args.build, "package-test")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.out = os.path.join(self.work, "packages")
        self.version = subprocess.run([os.path.join(args.source, "scripts", "version.sh")],
                                      capture_output=True, text=True, check=True).stdout.strip()
        self.state = {}

    def case(self, name, function, needs=()):
        started = time.time()
        missing = [n for n in needs if n not in self.state]
        if missing:
            self.cases.append((name, "skipped", f"needs {', '.join(missing)}", 0))
            print(f"[ SKIPPED  ] {name}: needs {', '.join(missing)}")
            return
        try:
            skip = function()
        except Failure as failure:
            self.cases.append((name, "failed", str(failure), time.time() - started))
            print(f"[  FAILED  ] {name}\n{failure}")
            return
        except Exception:
            self.cases.append((name, "failed", traceback.format_exc(), time.time() - started))
            print(f"[  FAILED  ] {name}\n{traceback.format_exc()}")
            return
        if skip:
            self.cases.append((name, "skipped", skip, time.time() - started))
            print(f"[ SKIPPED  ] {name}: {skip}")
            return
        self.state[name] = True
        self.cases.append((name, "passed", "", time.time() - started))
        print(f"[       OK ] {name} ({time.time() - started:.1f} s)")

    def package(self, arch):
        return os.path.join(self.out, f"morphex-{self.version}-{arch}")

    # --- the steps -------------------------------------------------------

    def build_packages(self):
        archs = ["x64"]
        if os.path.exists(os.path.join(self.args.build_root, "i686", "bin", "morphex.exe")):
            archs.insert(0, "x86")
        self.archs = archs
        env = dict(os.environ, MORPHEX_PACKAGE_NO_BUILD="1", MORPHEX_PACKAGE_ARCHS=" ".join(archs),
                   MORPHEX_BUILD_DIR=self.args.build_root)
        result = subprocess.run([os.path.join(self.args.source, "scripts", "package.sh"), self.out], env=env,
                                capture_output=True, text=True, timeout=COMMAND_TIMEOUT)
        check(result.returncode == 0, f"package.sh ended with {result.returncode}:\n{result.stdout}{result.stderr}")
        for arch in archs:
            for kind in ("msi", "zip"):
                check(os.path.isfile(f"{self.package(arch)}.{kind}"), f"package.sh made no {self.package(arch)}.{kind}")
        _, self.expected = zip_files(self.package("x64") + ".zip")
        for name in ("morphex.exe", "ravel.dll", "morphex.chm", "morphex.hlp", "cnvtext.dll",
                     os.path.join("SDK", "GUIDE.md"), os.path.join("SDK", "morphex_plugin.h")):
            check(name in self.expected, f"the x64 zip lacks {name}: {sorted(self.expected)}")
        check(any(n.startswith(os.path.join("SDK", "example") + os.sep) for n in self.expected),
              "the x64 zip lacks the SDK example")
        self.wine = Wine(os.path.join(self.work, "prefix"))
        self.before = files_under(self.wine.drive_c())

    def install(self):
        self.wine.run("msiexec", "/i", windows_path(self.package("x64") + ".msi"), "/qn")
        self.wine.wait()

    def files_and_shortcut(self):
        folder = self.wine.drive_c("Program Files", "Morphex")
        check(os.path.isdir(folder), f"no {folder} after the install")
        installed = files_under(folder)
        check(installed == self.expected,
              f"installed files differ from the package's:\n  missing {sorted(self.expected - installed)}\n"
              f"  extra {sorted(installed - self.expected)}")
        check(not os.path.exists(self.wine.drive_c("Program Files (x86)", "Morphex")),
              "the x64 package installed into the 32-bit Program Files")
        # Windows puts a per-machine install's shortcut into the Start menu of
        # all users; Wine's installer resolves the Start menu folder to the
        # installing user's whatever the scope.
        properties = dict(row[:2] for row in msi_table(self.package("x64") + ".msi", "Property"))
        check(properties.get("ALLUSERS") == "1", f"the installer is not per-machine: ALLUSERS={properties.get('ALLUSERS')}")
        start_menus = [self.wine.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs"),
                       self.wine.drive_c("users", getpass.getuser(), "AppData", "Roaming", "Microsoft", "Windows",
                                         "Start Menu", "Programs")]
        shortcuts = [os.path.join(m, "Morphex.lnk") for m in start_menus if os.path.isfile(os.path.join(m, "Morphex.lnk"))]
        check(len(shortcuts) == 1, f"no single Start menu shortcut Morphex.lnk; .lnk files: "
              f"{sorted(p for p in files_under(self.wine.drive_c()) if p.endswith('.lnk'))}")
        shortcut = shortcuts[0]
        target, working_dir = read_shortcut(shortcut)
        check(target and target.lower().endswith("morphex.exe"), f"the shortcut points at {target!r}")
        check(working_dir and working_dir.rstrip("\\").lower() == r"c:\program files\morphex",
              f"the shortcut's working directory is {working_dir!r}, not the install folder")
        self.working_dir = working_dir

    def apps_and_features(self):
        text = self.wine.registry_text(UNINSTALL_KEY)
        entries = text.split("\n[")
        ours = [e for e in entries if '"DisplayName"="Morphex"' in e]
        check(len(ours) == 1, f"{len(ours)} Apps and Features entries named Morphex")
        check(f'"DisplayVersion"="{self.version}"' in ours[0], f"entry without version {self.version}:\n{ours[0]}")
        check(f'"Publisher"="{PUBLISHER}"' in ours[0], f"entry without publisher {PUBLISHER}:\n{ours[0]}")

    def installed_program_runs(self):
        exe = r"C:\Program Files\Morphex\morphex.exe"
        output = self.wine.run(self.args.driver_windows, "formats", exe, self.working_dir, check_status=False)
        sources = [l[8:] for l in output.splitlines() if l.startswith("source: ")]
        targets = [l[8:] for l in output.splitlines() if l.startswith("target: ")]
        check(SHIPPED_SOURCE_FORMAT in sources and targets,
              f"the installed Morphex, started in {self.working_dir}, shows source formats {sources} "
              f"and target formats {targets}:\n{output}")
        self.wine.wait()

    def uninstall(self):
        self.wine.run("msiexec", "/x", windows_path(self.package("x64") + ".msi"), "/qn")
        self.wine.wait()
        check(not os.path.exists(self.wine.drive_c("Program Files", "Morphex")),
              f"the install folder is still there: {sorted(files_under(self.wine.drive_c('Program Files', 'Morphex')))}")
        left = sorted(files_under(self.wine.drive_c()) - self.before)
        check(not left, f"files left after uninstalling: {left}")
        for root in ("HKLM", "HKCU"):
            text = self.wine.registry_text(root)
            keys = [e.split("]", 1)[0] for e in text.split("\n[") if "Morphex" in e]
            check(not keys, f"registry keys of Morphex left in {root}: {keys}")

    def portable_zip(self):
        unpacked = os.path.join(self.work, "unpacked")
        with zipfile.ZipFile(self.package("x64") + ".zip") as z:
            z.extractall(unpacked)
        folder = os.path.join(unpacked, f"morphex-{self.version}-x64")
        # A user's text beside the program, in UTF-8 with Unix line ends.
        text = "Grüße aus München\nl'été à Paris\n"
        with open(os.path.join(folder, "letter.txt"), "wb") as f:
            f.write(text.encode("utf-8"))
        output = self.wine.run(self.args.driver_windows, "convert", windows_path(os.path.join(folder, "morphex.exe")),
                               windows_path(folder), "letter.txt", "Text - Unicode - UTF-8",
                               "Text - Western - Windows (1252), CR LF", check_status=False)
        self.wine.wait()
        converted = os.path.join(folder, "letter_1.txt")
        check(os.path.isfile(converted), f"no converted letter_1.txt beside letter.txt:\n{output}\n"
              f"folder: {sorted(os.listdir(folder))}")
        with open(converted, "rb") as f:
            got = f.read()
        expected = text.replace("\n", "\r\n").encode("cp1252")
        check(got == expected, f"letter_1.txt holds {got!r}, Python's codecs give {expected!r}")

    def x86_packages(self):
        if "x86" not in self.archs:
            return "no i686 build to package"
        top, files = zip_files(self.package("x86") + ".zip")
        check(top == f"morphex-{self.version}-x86", f"the x86 zip's folder is {top}")
        check(files == self.expected, f"the x86 zip's files differ from the x64 ones: {sorted(files ^ self.expected)}")
        msi = self.package("x86") + ".msi"
        names = sorted(row[2].split("|")[-1] for row in msi_table(msi, "File"))
        check(names == sorted(os.path.basename(n) for n in files),
              f"the x86 installer's File table {names} differs from the zip's files")
        directories = {row[0]: row for row in msi_table(msi, "Directory")}
        check("ProgramFilesFolder" in directories and "ProgramFiles64Folder" not in directories,
              f"the x86 installer does not install into the 32-bit Program Files: {sorted(directories)}")
        check(directories["INSTALLDIR"][1] == "ProgramFilesFolder", f"INSTALLDIR lies in {directories['INSTALLDIR']}")
        shortcuts = msi_table(msi, "Shortcut")
        check(len(shortcuts) == 1 and shortcuts[0][1] == "ProgramMenuFolder" and shortcuts[0][11] == "INSTALLDIR",
              f"the x86 installer's shortcut: {shortcuts}")
        with zipfile.ZipFile(self.package("x86") + ".zip") as z:
            z.extract(f"{top}/morphex.exe", os.path.join(self.work, "x86"))
        machine = pe_machine(os.path.join(self.work, "x86", top, "morphex.exe"))
        check(machine == 0x14C, f"the x86 morphex.exe is built for machine {machine:#x}, not i386")

    def report(self, path):
        failures = sum(1 for c in self.cases if c[1] == "failed")
        skipped = sum(1 for c in self.cases if c[1] == "skipped")
        lines = [f'<testsuites tests="{len(self.cases)}" failures="{failures}">',
                 f'  <testsuite name="Packages" tests="{len(self.cases)}" failures="{failures}" skipped="{skipped}">']
        for name, result, message, seconds in self.cases:
            lines.append(f'    <testcase name="{name}" classname="Packages" status="run" time="{seconds:.1f}">')
            if result == "failed":
                lines.append(f"      <failure message={quoteattr(message[:200])}>{escape(message)}</failure>")
            elif result == "skipped":
                lines.append(f"      <skipped message={quoteattr(message)}/>")
            lines.append("    </testcase>")
        lines += ["  </testsuite>", "</testsuites>"]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return failures


def main():
    parser = argparse.ArgumentParser()
    for option in ("--source", "--build-root", "--build", "--driver", "--results"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    args.driver_windows = windows_path(args.driver)
    run = Run(args)
    try:
        run.case("BuildsBothPackages", run.build_packages)
        run.case("InstallsSilently", run.install, needs=["BuildsBothPackages"])
        run.case("PutsEveryFileAndTheShortcutInPlace", run.files_and_shortcut, needs=["InstallsSilently"])
        run.case("AppearsInAppsAndFeatures", run.apps_and_features, needs=["InstallsSilently"])
        run.case("InstalledProgramShowsTheShippedFormats", run.installed_program_runs,
                 needs=["PutsEveryFileAndTheShortcutInPlace"])
        run.case("UninstallLeavesNothing", run.uninstall, needs=["InstallsSilently"])
        run.case("UnpackedZipConvertsAFile", run.portable_zip, needs=["BuildsBothPackages"])
        run.case("X86PackagesHoldTheSameFiles", run.x86_packages, needs=["BuildsBothPackages"])
    finally:
        if hasattr(run, "wine"):
            run.wine.stop()
    failures = run.report(args.results)
    if not failures:  # a prefix is large: kept only to look into a failure
        shutil.rmtree(os.path.join(run.work, "prefix"), ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
