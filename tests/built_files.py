"""What the built files ask of the machine that runs them.

It reads the files with readelf and runs none of them: it runs wherever a
readelf that reads the target's files is, with or without an emulator.
"""

import os
import re
import shutil
import subprocess
import sys
import unittest

from harness import EMULATOR, TAG_DOUBLE_DIR, TAGSIM_LIBRARY, WATCHDOG, emulated

RUNS_PROGRAMS = False
TARGET_GLIBC = os.environ.get("TARGET_GLIBC", "")
# Set by the build (tests/CMakeLists.txt).
EMULATOR_NEEDED = os.environ.get("TARGET_EMULATOR_NEEDED", "") == "ON"


def is_32_bit_arm(path):
    with open(path, "rb") as elf:
        header = elf.read(20)
    return header[:4] == b"\x7fELF" and int.from_bytes(header[18:20], "little") == 40


ARM = is_32_bit_arm(WATCHDOG)
# The target's binutils where installed; GNU readelf reads any machine's files.
READELF = ("arm-linux-gnueabihf-readelf" if ARM and
           shutil.which("arm-linux-gnueabihf-readelf") else "readelf")


def readelf(option, path):
    return subprocess.run([READELF, "-W", option, path], capture_output=True, text=True,
                          check=True).stdout


def dynamic_entries(path, kind):
    # A build RUNPATH may be padded with ':' to leave room for the install one.
    return [entry.rstrip(":") for entry in
            re.findall(r"\(%s\)\s+[^\[]*\[([^\]]*)\]" % kind, readelf("-d", path))]


def glibc_needs(path):
    """The GLIBC_ versions that a file's version needs name."""
    needs = readelf("-V", path).split("Version needs section")[-1]
    return set(re.findall(r"GLIBC_([0-9.]+)", needs))


def as_version(text):
    return tuple(int(part) for part in text.split("."))


# Before 2.34 the thread functions (and wrappers of some of libc's) live in
# libpthread, and dlsym in libdl: a file that uses them must name them there,
# not take their static archives in.
SPLIT_LIBRARIES = as_version(TARGET_GLIBC) < (2, 34)
THREADS = ["libpthread.so.0"] if SPLIT_LIBRARIES else []


class Dependencies(unittest.TestCase):
    def test_dynamic_sections_name_the_expected_libraries_sonames_runpath_and_stack_check(self):
        double = os.path.join(TAG_DOUBLE_DIR, "zedOVEde.so")
        stand_in = "$ORIGIN/" + os.path.relpath(os.path.dirname(TAGSIM_LIBRARY),
                                                os.path.dirname(WATCHDOG))
        # Arm's glibc keeps the stack protector's guard in the loader.
        loader = ["ld-linux-armhf.so.3"] if ARM else []
        expected = {(WATCHDOG, "NEEDED"): ["zedOVEde.so"] + THREADS + ["libc.so.6"] + loader,
                    (TAGSIM_LIBRARY, "NEEDED"): THREADS + ["libc.so.6"] + loader,
                    (TAGSIM_LIBRARY, "SONAME"): ["zedOVEde.so"],
                    (double, "SONAME"): ["zedOVEde.so"],
                    # The stand-in is found through RUNPATH, which LD_LIBRARY_PATH overrides.
                    (WATCHDOG, "RUNPATH"): [stand_in], (WATCHDOG, "RPATH"): []}
        unprotected = [path for path in (WATCHDOG, TAGSIM_LIBRARY)
                       if not re.search(r"\bUND __stack_chk_fail@", readelf("--dyn-syms", path))]
        self.assertEqual(({entry: dynamic_entries(*entry) for entry in expected}, unprotected),
                         (expected, []))

    def test_stand_in_exports_only_the_interface_and_takes_pthread_create_from_a_library(self):
        symbols = readelf("--dyn-syms", TAGSIM_LIBRARY)
        exported = sorted(line.split()[-1] for line in symbols.splitlines()
                          if " GLOBAL " in line and " UND " not in line)
        self.assertEqual((exported, bool(re.search(r"\bUND pthread_create@", symbols))),
                         (["qm_tag_init", "qm_tag_open"], True))

    def test_files_need_no_newer_glibc_than_their_headers(self):
        program, library = (max(glibc_needs(path), key=as_version)
                            for path in (WATCHDOG, TAGSIM_LIBRARY))
        print("\nhighest GLIBC_ version needed: program %s, stand-in %s (headers %s)"
              % (program, library, TARGET_GLIBC), file=sys.stderr)
        self.assertLessEqual(max(as_version(program), as_version(library)),
                             as_version(TARGET_GLIBC))
        if SPLIT_LIBRARIES:
            # Its own calls; only a newer toolchain's start-up code asks for more.
            self.assertLessEqual(as_version(program), (2, 17))


class Emulator(unittest.TestCase):
    def test_foreign_build_names_an_emulator_that_is_installed(self):
        # A device build that lost its emulator would still pass: every suite
        # that runs its programs skipped, or, where binfmt_misc runs Arm
        # programs by itself, run without the sysroot.
        if ARM and not EMULATOR_NEEDED and not emulated():
            self.skipTest("the toolchain file names no emulator, and the build needs none")
        self.assertEqual(ARM, emulated())
        if ARM:
            self.assertIsNotNone(shutil.which(EMULATOR[0]), EMULATOR)


@unittest.skipUnless(ARM, "only the device build is 32-bit Arm")
class DeviceTarget(unittest.TestCase):
    def test_files_are_32_bit_arm_eabi5_hard_float_with_arguments_in_vfp_registers(self):
        for path in (WATCHDOG, TAGSIM_LIBRARY):
            header = readelf("-h", path)
            self.assertEqual((re.search(r"Class:\s+(\S+)", header).group(1),
                              re.search(r"Machine:\s+(.+)", header).group(1).strip(),
                              "Version5 EABI, hard-float ABI" in header,
                              "Tag_ABI_VFP_args: VFP registers" in readelf("-A", path)),
                             ("ELF32", "ARM", True, True), path)

    def test_program_is_for_the_armhf_loader_and_the_debian_armhf_baseline(self):
        attributes = readelf("-A", WATCHDOG)
        self.assertEqual(("[Requesting program interpreter: /lib/ld-linux-armhf.so.3]"
                          in readelf("-l", WATCHDOG),
                          re.search(r"Tag_CPU_name: \"(\S+)\"", attributes).group(1),
                          re.search(r"Tag_FP_arch: (\S+)", attributes).group(1)),
                         (True, "7-A", "VFPv3-D16"))
