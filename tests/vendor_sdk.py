"""The project built as an integrator builds it with a vendor's SDK: the
SDK's own compiler (with a built-in sysroot), a toolchain file of the SDK's
shape, a C library laid out flat, and the vendor's tag library in a folder
of its own that needs a second library beside it.

The SDK is made here from the pinned Debian 11 sysroot (SYSROOT) and Debian's
cross compiler; nothing of the project's own toolchain file is used.
"""

import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import TIMEOUT_FACTOR, lintian
from simulator import device

PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SYSROOT = os.environ.get("SYSROOT", "")
TRIPLET = "arm-linux-gnueabihf"
VENDOR_FOLDER = "/opt/vendor/lib"
# The vendor's library fails its start-up with a code that only its second
# library knows: the program prints it only when both were loaded.
VENDOR_CODE = -7

COMPILER = """#!/bin/sh
# The SDK's compiler: its sysroot is built in.
sdk=$(cd "$(dirname "$0")/.." && pwd)/sysroot
exec {triplet}-g++ --sysroot="$sdk" -nostdinc {includes} -isystem "$sdk/usr/include" \\
    -B"$sdk/usr/lib/" "$@"
"""

TOOLCHAIN = """set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER {sdk}/bin/arm-vendor-linux-gnueabihf-g++)
set(CMAKE_SYSROOT {sdk}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"""

VENDOR_IO = 'extern "C" int vendor_io_status() { return %d; }\n' % VENDOR_CODE
VENDOR_TAGS = """extern "C" int vendor_io_status();
extern "C" int qm_tag_init(int, void *, int) { return vendor_io_status(); }
extern "C" int qm_tag_open(const char *, int) { return 0; }
"""


def flatten(sysroot, sdk_sysroot):
    """Debian's multiarch C library without its multiarch folders; the
    linker scripts name the new places."""
    for folder, _, files in os.walk(sysroot):
        for name in files:
            source = os.path.join(folder, name)
            relative = os.path.relpath(source, sysroot).replace(TRIPLET + "/", "")
            target = pathlib.Path(sdk_sysroot, relative)
            if not os.path.exists(source):
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)
            if name.endswith(".so") and target.stat().st_size < 1024:
                text = target.read_bytes()
                if b"GNU ld script" in text:
                    target.write_bytes(text.replace(b"/" + TRIPLET.encode(), b""))


def gcc_includes():
    """The cross compiler's own C++ and builtin header folders, in order."""
    major, builtin = (subprocess.check_output([TRIPLET + "-g++", option], text=True).strip()
                      for option in ("-dumpversion", "-print-file-name=include"))
    cxx = "/usr/%s/include/c++/%s" % (TRIPLET, major)
    return " ".join("-isystem " + folder for folder in
                    (cxx, cxx + "/" + TRIPLET, cxx + "/backward", builtin))


def make_sdk(sdk):
    flatten(SYSROOT, os.path.join(sdk, "sysroot"))
    os.makedirs(os.path.join(sdk, "bin"))
    compiler = pathlib.Path(sdk, "bin", "arm-vendor-linux-gnueabihf-g++")
    compiler.write_text(COMPILER.format(triplet=TRIPLET, includes=gcc_includes()), encoding="utf-8")
    compiler.chmod(0o755)
    # Its binutils, found by the compiler's prefix as an SDK's are.
    for tool in ("ar", "ranlib", "nm", "objcopy", "objdump", "readelf", "strip"):
        os.symlink(shutil.which("%s-%s" % (TRIPLET, tool)),
                   os.path.join(sdk, "bin", "arm-vendor-linux-gnueabihf-" + tool))
    pathlib.Path(sdk, "toolchain.cmake").write_text(TOOLCHAIN.format(sdk=sdk), encoding="utf-8")
    vendor = os.path.join(sdk, "sysroot") + VENDOR_FOLDER
    os.makedirs(vendor)
    for name, source, libraries in (("libvendorio.so", VENDOR_IO, []),
                                    ("zedOVEde.so", VENDOR_TAGS, ["-L" + vendor, "-lvendorio",
                                                                  "-Wl,-rpath,$ORIGIN"])):
        path = pathlib.Path(sdk, name + ".cpp")
        path.write_text(source, encoding="utf-8")
        subprocess.run([compiler, "-shared", "-fPIC", "-static-libgcc", "-Wl,--as-needed", "-o",
                        os.path.join(vendor, name), path] + libraries, check=True)


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=False, **options)


@unittest.skipUnless(SYSROOT, "needs SYSROOT, the pinned Debian 11 sysroot")
class VendorSdk(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="wdtag-sdk-")
        cls.addClassCleanup(cls.folder.cleanup)
        cls.sdk = os.path.join(cls.folder.name, "sdk")
        make_sdk(cls.sdk)
        cls.build = build = os.path.join(cls.folder.name, "build")
        cls.configured = run(["cmake", "-S", PROJECT, "-B", build, "-DBUILD_TESTING=ON",
                              "-DCMAKE_TOOLCHAIN_FILE=%s/toolchain.cmake" % cls.sdk,
                              "-DCMAKE_BUILD_TYPE=MinSizeRel",
                              "-DWDTAG_LIBRARY_DIRS=" + VENDOR_FOLDER])
        cls.built = run(["cmake", "--build", build])
        cls.packaged = run(["cpack", "-B", os.path.join(cls.folder.name, "packages")],
                           cwd=build)
        cls.root = os.path.join(cls.folder.name, "root")
        cls.packages = re.findall(r"package: (\S+\.deb) generated", cls.packaged.stdout)
        for package in cls.packages:
            subprocess.run(["dpkg-deb", "-x", package, cls.root], check=True)

    def test_configure_states_the_sdks_c_library(self):
        self.assertRegex(self.configured.stdout, r"C library: glibc 2\.31 \(%s/sysroot/usr/"
                         % re.escape(self.sdk), self.configured.stderr)

    def test_switching_a_device_trees_sysroot_is_refused_naming_both(self):
        tree = os.path.join(self.folder.name, "switched")
        first = run(["cmake", "--preset", "armhf", "-B", tree], cwd=PROJECT)
        sdk_sysroot = self.sdk + "/sysroot"
        switched = run(["cmake", "--preset", "armhf", "-B", tree,
                        "-DWDTAG_SYSROOT=" + sdk_sysroot], cwd=PROJECT)
        message = " ".join(switched.stderr.split())
        self.assertEqual((first.returncode, switched.returncode,
                          "made for the sysroot '%s'" % SYSROOT in message,
                          "configured for '%s'" % sdk_sysroot in message),
                         (0, 1, True, True), first.stderr + switched.stderr)

    def test_package_runs_with_both_vendor_libraries_from_its_runpath(self):
        self.assertEqual((self.built.returncode, self.packaged.returncode), (0, 0),
                         self.built.stdout + self.built.stderr + self.packaged.stderr)
        program = os.path.join(self.root, "usr/sbin/wdtag_poweroff")
        dynamic = run(["readelf", "-d", program]).stdout
        self.assertEqual(re.findall(r"\(RUNPATH\).*\[(.*)\]", dynamic), [VENDOR_FOLDER])
        ran = device.run(["qemu-arm", "-L", self.sdk + "/sysroot", program, device.TAG],
                         capture_output=True, text=True, check=False,
                         timeout=60 * TIMEOUT_FACTOR)
        self.assertEqual((ran.stdout, ran.returncode),
                         (device.init_failure_line(VENDOR_CODE) + "\n", 255),
                         ran.stderr)

    def test_ctest_without_an_emulator_skips_every_suite_that_runs_programs_and_says_why(self):
        listed = run(["ctest", "-N"], cwd=self.build).stdout
        names = re.findall(r"Test +#\d+: (\S+)", listed)
        tested = run(["ctest", "-V"], cwd=self.build, timeout=600 * TIMEOUT_FACTOR)
        output = tested.stdout + tested.stderr
        reasons = re.findall(r"^(\w+) skipped: .*cannot run on this machine", output, re.MULTILINE)
        # built_files only reads the files: every case of it runs but the emulator's.
        skipped_cases = re.findall(r"\b(test_\w+) \(built_files\.\S+\) \.\.\. skipped", output)
        # No image was ever built here, and the SDK's C library is the one it has.
        self.assertEqual((tested.returncode, sorted(reasons), skipped_cases, [
            name for name in names if "board" in name or "newer_glibc" in name]),
                         (0, sorted(set(names) - {"built_files"}),
                          ["test_foreign_build_names_an_emulator_that_is_installed"], []),
                         output)

    # The package's RUNPATH names the vendor's folder: only its override keeps lintian quiet.
    def test_lintian_reports_nothing_on_the_package_with_a_vendor_search_path(self):
        self.assertEqual(lintian(self.packages, self.folder.name), (0, ""))
