"""The Debian package as scripts/check-package builds it (and has lintian
pass): what it holds, and the shape Debian asks of it."""

import os
import re
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT = os.environ.get("QIK_FLEET_OUT") or tempfile.mkdtemp(prefix="qik-package-")
DOC = "usr/share/doc/qik-programmer"


def run(*argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False, **kwargs)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        out = os.path.join(OUT, "package")
        built = run(os.path.join(ROOT, "scripts", "check-package"), out)
        if built.returncode != 0:
            raise AssertionError("scripts/check-package failed:\n" + built.stdout)
        cls.deb = built.stdout.splitlines()[-1]
        cls.tree = os.path.join(out, "contents")
        run("dpkg-deb", "-x", cls.deb, cls.tree)
        cls.files = {os.path.relpath(os.path.join(parent, name), cls.tree)
                     for parent, dirs, names in os.walk(cls.tree) for name in names + dirs}

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.rstrip("\n")

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "qik-programmer")
        version = run(os.path.join(self.tree, "usr/bin/qik_programmer"), "-ver").stdout.split()[-1]
        self.assertEqual(self.field("Version"), version)
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^@\s]+@[\w.-]+\.(org|com|net)>$")
        self.assertNotRegex(self.field("Maintainer"), r"\.(invalid|example)\b|example\.(org|com|net)")
        description = self.field("Description").splitlines()
        self.assertGreater(len(description), 5)
        self.assertIn(" .", description)

    def test_product_only(self):
        for path in ["usr/bin/qik_programmer", "usr/bin/qik_cfgcheck", "usr/bin/qik_plan",
                     "usr/bin/qik_capture", "usr/share/man/man1/qik_programmer.1.gz",
                     "usr/share/man/man1/qik_cfgcheck.1.gz", "usr/share/man/man1/qik_plan.1.gz",
                     "usr/share/man/man1/qik_capture.1.gz", "usr/share/qik_programmer/result.xsd",
                     "usr/share/qik_programmer/plan.schema.json",
                     DOC + "/copyright", DOC + "/changelog.gz", DOC + "/results.md", DOC + "/fleet.md",
                     DOC + "/examples/fleet/site.yml", DOC + "/examples/fleet/roles/qik_update/meta/main.yml"]:
            self.assertIn(path, self.files)
        bench = [f for f in self.files if re.search(r"adpm_x64|nicflsh|bench\.json|simulate|simfleet|/results$", f)]
        self.assertEqual(bench, [])
        self.assertTrue(os.path.isfile(os.path.join(self.tree, DOC, "schema", "result.xsd")))
        self.assertTrue(os.access(os.path.join(self.tree, DOC, "examples/fleet/rollout"), os.X_OK))

    def test_documents_fit_the_package(self):
        documents = {f for f in self.files if os.path.dirname(f) == DOC}
        self.assertEqual(documents, {DOC + "/" + name for name in [
            "README.md", "results.md", "vendor-guide.md", "fleet.md", "copyright", "changelog.gz", "schema",
            "examples"]})
        with open(os.path.join(self.tree, DOC, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        # Every file, folder and manual page the README names is in the
        # package; nothing of the source tree is.
        named = re.findall(r"`(/[^`\s]+|[\w.-]+\.md|[\w/-]+/|schema)`", readme)
        named += ["usr/share/man/man1/%s.1.gz" % page for page in re.findall(r"\bman (qik_\w+)", readme)]
        self.assertGreater(len(named), 10, readme)
        for path in named:
            with self.subTest(path):
                where = path.lstrip("/") if path.startswith(("/", "usr/")) else os.path.join(DOC, path)
                self.assertIn(os.path.normpath(where), self.files)
        self.assertNotRegex(readme, r"scripts/|examples/demo|build/|cmake|docs/")

    def test_binaries_stripped(self):
        for binary in ("qik_programmer", "qik_cfgcheck", "qik_plan", "qik_capture"):
            with self.subTest(binary):
                sections = run("readelf", "-S", "--wide", os.path.join(self.tree, "usr/bin", binary)).stdout
                self.assertNotRegex(sections, r"\.symtab|\.debug_")

    def test_compressed_without_name_or_time(self):
        # gzip -9n: nothing in the header that changes from one build to
        # the next.
        for path in sorted(f for f in self.files if f.endswith(".gz")):
            with self.subTest(path), open(os.path.join(self.tree, path), "rb") as f:
                header = f.read(10)
                self.assertEqual(header[:2], b"\x1f\x8b")
                self.assertEqual(header[3] & 0x08, 0, "the file's name is recorded")
                self.assertEqual(header[4:8], bytes(4), "the file's time is recorded")
                self.assertEqual(header[8], 2, "not compressed with -9")


if __name__ == "__main__":
    unittest.main()
