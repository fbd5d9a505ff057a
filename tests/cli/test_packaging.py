"""An installed Vantbrook works for its users: `cmake --install` into a fresh
prefix, the example host built against it with find_package(Vantbrook) and
with pkg-config, and everything run against the installed metersim.

Needs BUILD_DIR, SOURCE_DIR and CC in the environment; ctest sets them.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ.get("BUILD_DIR", "")
SOURCE_DIR = os.environ.get("SOURCE_DIR", "")
CC = os.environ.get("CC", "cc")
TIMEOUT = 300
# The Python package is built with Debian's interpreter and its
# python3-setuptools, python3-wheel and python3-pip, offline.
DEBIAN_PYTHON = "/usr/bin/python3"


def run(*command, **settings):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=TIMEOUT,
                          **settings)


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="vantbrook-install-")
        cls.prefix = os.path.join(cls.scratch, "prefix")
        run("cmake", "--install", BUILD_DIR, "--prefix", cls.prefix)
        cls.libdir = os.path.dirname(
            next(os.path.join(root, "libVantbrook.so")
                 for root, _, files in os.walk(cls.prefix) if "libVantbrook.so" in files))
        cls.meter = subprocess.Popen([os.path.join(cls.prefix, "bin", "metersim")],
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        cls.environment = dict(os.environ,
                               VANTBROOK_COM1=cls.meter.stdout.readline().strip())

    @classmethod
    def tearDownClass(cls):
        cls.meter.terminate()
        cls.meter.wait(timeout=TIMEOUT)
        cls.meter.stdout.close()
        shutil.rmtree(cls.scratch)

    def test_libraries_and_drivers_lie_side_by_side(self):
        for name in ("libVantbrook.so", "libVantbrook.so.1", "libbrisel.so", "libbrisel.so.1",
                     "pnetport.so", "dialport.so",
                     "pkgconfig/vantbrook.pc", "cmake/Vantbrook/VantbrookConfig.cmake",
                     "cmake/Vantbrook/VantbrookConfigVersion.cmake"):
            self.assertTrue(os.path.exists(os.path.join(self.libdir, name)), name)
        for name in ("records.h", "vantbrook.h", "brisel.h", "portdriver.h"):
            self.assertTrue(os.path.exists(os.path.join(self.prefix, "include", "vantbrook", name)))

    def test_libraries_carry_a_versioned_soname(self):
        for library, soname in (("libVantbrook.so", "libVantbrook.so.1"),
                                ("libbrisel.so", "libbrisel.so.1")):
            with self.subTest(library):
                path = os.path.join(self.libdir, library)
                self.assertEqual(os.readlink(path), soname)
                dynamic = run("readelf", "-d", path).stdout
                self.assertIn("Library soname: [%s]" % soname, dynamic)
        # Hosts record the versioned name, so an upgrade that keeps it serves them.
        self.assertIn("[libbrisel.so.1]",
                      run("readelf", "-d", os.path.join(self.libdir, "libVantbrook.so")).stdout)

    def check_host(self, program):
        result = run(program, "1", env=self.environment)
        self.assertIn("meter_id   VB-SIM-000001", result.stdout)

    def test_example_built_with_cmake_package(self):
        build = os.path.join(self.scratch, "example-cmake")
        run("cmake", "-S", os.path.join(SOURCE_DIR, "examples"), "-B", build,
            "-DCMAKE_PREFIX_PATH=" + self.prefix, "-DCMAKE_C_COMPILER=" + CC)
        run("cmake", "--build", build)
        self.check_host(os.path.join(build, "host"))

    def test_example_built_with_pkg_config(self):
        environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
        flags = run("pkg-config", "--cflags", "--libs", "vantbrook", env=environment).stdout.split()
        program = os.path.join(self.scratch, "host-pkg-config")
        run(CC, "-std=c99", "-Wall", "-Wextra", "-Werror",
            os.path.join(SOURCE_DIR, "examples", "host.c"), "-o", program, *flags)
        self.check_host(program)

    def test_python_package_installs_offline_and_finds_the_installed_library(self):
        source = os.path.join(self.scratch, "python-source")
        shutil.copytree(os.path.join(SOURCE_DIR, "python"), source)
        run(DEBIAN_PYTHON, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
            "--no-index", "--prefix", self.prefix, source)
        module = next(root for root, _, files in os.walk(self.prefix) if "vantbrook.py" in files)
        environment = {name: value for name, value in self.environment.items()
                       if name not in ("VANTBROOK_LIBRARY", "LD_LIBRARY_PATH")}
        environment["PYTHONPATH"] = module
        script = "import vantbrook; print(vantbrook.Meter(com=1).dib().meter_id)"
        result = run(DEBIAN_PYTHON, "-c", script, env=environment, cwd=self.scratch)
        self.assertEqual(result.stdout.strip(), "VB-SIM-000001")

    def render_man_page(self, program):
        page = os.path.join(self.prefix, "share", "man", "man1", program + ".1")
        rendered = run("man", "--warnings", "-l", page,
                       env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
        self.assertEqual(rendered.stderr, "")
        return rendered.stdout

    @unittest.skipUnless(os.path.isdir(os.path.join(BUILD_DIR, "man", "man1")),
                         "the build made no man pages (help2man missing)")
    def test_man_pages_install_and_render(self):
        for program in ("vantbrook", "metersim"):
            with self.subTest(program):
                rendered = self.render_man_page(program)
                self.assertIn("NAME", rendered)
                self.assertIn("EXAMPLES", rendered)
                self.assertIn("--help", rendered)

    @unittest.skipUnless(os.path.isdir(os.path.join(BUILD_DIR, "man", "man1")),
                         "the build made no man pages (help2man missing)")
    def test_man_page_covers_every_command_the_fleet_file_and_exit_statuses(self):
        rendered = self.render_man_page("vantbrook")
        overview = run(os.path.join(self.prefix, "bin", "vantbrook"), "--help").stdout
        # The commands as the program's own help lists them, each with its
        # own section (its usage line) in the page.
        listed = re.findall(r"^  ([a-z]+(?: [a-z]+)?)(?= [A-Z]| {2,})", overview.split(
            "Connection (")[0], re.MULTILINE)
        self.assertIn("demo fleet", listed)
        self.assertIn("status", listed)
        for command in listed:
            with self.subTest(command):
                self.assertTrue("Usage: vantbrook " + command in rendered,
                                "no section of its own in the page")
        fleet_file = re.search(r"\nFLEET FILE\n(.*?)\n(?=[A-Z])", rendered, re.DOTALL).group(1)
        for key in ("interval", "alarm_after_failed_runs", "clock_drift_limit", "kind"):
            self.assertRegex(fleet_file, r"\n {7}%s\b" % key)
        for status in ("6", "7", "130"):
            self.assertRegex(rendered, r"\n {7}%s +\S" % status)
        self.assertIn("UNKNOWN", rendered)

    def test_bash_completion_offers_what_each_command_takes(self):
        completions = os.path.join(self.prefix, "share", "bash-completion", "completions")
        # (words typed so far, word being completed, offered, not offered)
        cases = [
            ("vantbrook", "d", {"dib", "download", "demo"}, {"header"}),
            ("vantbrook download", "--c", {"--csv", "--com", "--capacity"}, set()),
            ("vantbrook header", "--c", {"--com"}, {"--csv", "--capacity"}),
            ("vantbrook session header", "d", {"download", "dib"}, set()),
            ("vantbrook download --set-time", "", {"before", "after"}, {"--csv"}),
            ("vantbrook dib --com", "", set(), {"--json", "dib"}),
            ("vantbrook demo", "", {"fleet", "--json"}, set()),
            ("vantbrook demo fleet", "--", {"--json"}, {"--no-progress", "fleet"}),
            ("vantbrook collect fleet.toml --progress", "", {"auto", "lines", "off"}, set()),
            ("vantbrook export --logger", "", {"1", "2", "3"}, set()),
            ("vantbrook download --log", "", {"1", "2", "3"}, {"--csv"}),
            ("vantbrook", "-", {"--help", "--version"}, {"--json"}),
            ("vantbrook status", "--", {"--db", "--meter", "--line", "--json"}, {"--csv"}),
            ("vantbrook collect fleet.toml", "--", {"--no-wait", "--on-alarm", "--line"},
             {"--logger"}),
            ("vantbrook collect fleet.toml --meter", "", set(), {"--json", "--no-wait"}),
            ("vantbrook status --db", "test_pack", {"test_packaging.py"}, set()),
            ("vantbrook monitor --replay", "test_pack", {"test_packaging.py"}, set()),
            ("vantbrook collect", "test_pack", {"test_packaging.py"}, {"--db"}),
            ("metersim", "--lo", {"--long-frames", "--long-frame-size", "--lock-level"},
             {"--pad"}),
            ("metersim --long-frame-size", "", {"256", "512", "1024", "2048"}, {"--pad"}),
            ("metersim --seed", "", set(), {"--pad"}),
        ]
        for typed, current, offered, absent in cases:
            with self.subTest(typed=typed, current=current):
                words = typed.split() + [current]
                completion = run("bash", "-c",
                                 'source "$0"; COMP_WORDS=("${@}"); COMP_CWORD=$(($# - 1)); '
                                 '"_$1"; printf "%s\\n" "${COMPREPLY[@]}"',
                                 os.path.join(completions, words[0]), *words)
                replies = set(completion.stdout.split())
                self.assertTrue(offered <= replies, replies)
                self.assertFalse(absent & replies, replies)

    def test_installed_program_finds_its_libraries(self):
        result = run(os.path.join(self.prefix, "bin", "vantbrook"), "dib", "--json",
                     env=self.environment)
        self.assertIn('"meter_id":"VB-SIM-000001"', result.stdout)


if __name__ == "__main__":
    unittest.main()
