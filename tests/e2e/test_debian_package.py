"""The Debian package that `cpack -G DEB` makes of this build: contents, control
fields, maintainer scripts, the unit under `systemd-analyze verify`, and a
`noservice` pass of the executable unpacked with `dpkg-deb -x`."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

BUILD_DIR = os.environ.get("ORVANE_BUILD_DIR", "")
ROOT = "opt/orvane"
UNIT_DIR = "lib/systemd/system"
UNIT = "orvane-autoupdate.service"


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if harness.WINDOWS or not BUILD_DIR:
            raise unittest.SkipTest("the Debian package is made from the Linux test build")
        for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps"):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + " is not installed (scripts/setup.sh installs it)")
        cls.work = tempfile.mkdtemp(prefix="orvane-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        made = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                   "-B", os.path.join(cls.work, "out"))
        debs = glob.glob(os.path.join(cls.work, "out", "*.deb"))
        if made.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack made no package:\n" + made.stdout + made.stderr)
        cls.deb, cls.root = debs[0], os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    def test_holds_the_executable_the_unit_and_an_empty_updater_directory_only(self):
        listing = [line.split() for line in run("dpkg-deb", "-c", self.deb).stdout.splitlines()]
        files = {line[5][2:]: line[:2] for line in listing if not line[0].startswith("d")}
        self.assertEqual(files, {ROOT + "/bin/orvane-autoupdate": ["-rwxr-xr-x", "root/root"],
                                 UNIT_DIR + "/" + UNIT: ["-rw-r--r--", "root/root"]})
        self.assertIn("./%s/Updater/" % ROOT, [line[5] for line in listing])

    def test_control_fields_name_the_libraries_it_links(self):
        fields = dict(line.split(": ", 1) for line in
                      run("dpkg-deb", "-f", self.deb).stdout.splitlines() if ": " in line)
        self.assertEqual(fields["Package"], "orvane-autoupdate")
        self.assertEqual(fields["Architecture"], run("dpkg", "--print-architecture").stdout.strip())
        depends = [d.split(" (")[0] for d in fields["Depends"].split(", ")]
        for needed in ("libc6", "libcurl4", "libzip4", "init-system-helpers"):
            self.assertIn(needed, depends)

    def test_maintainer_scripts_register_the_unit_and_stop_it_only_on_removal(self):
        control, fakes = os.path.join(self.work, "control"), os.path.join(self.work, "fakes")
        subprocess.run(["dpkg-deb", "-e", self.deb, control], check=True)
        os.makedirs(fakes)
        calls = os.path.join(self.work, "calls")
        for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
            with open(os.path.join(fakes, tool), "w") as f:  # records; was-enabled as told
                f.write('#!/bin/sh\necho "%s $*" >>%s\ncase "$*" in *was-enabled*) exit $ENABLED;; '
                        '*debian-installed*) exit $INSTALLED;; esac\n' % (tool, calls))
            os.chmod(os.path.join(fakes, tool), 0o755)
        # As the real helper does, was-enabled says yes (0) for a unit it has
        # never seen; debian-installed says whether it has.
        # The scripts act on a running systemd only: where a mount namespace can
        # be had, they run with /run/systemd/system present.
        booted = ["unshare", "-m", "sh", "-c", "mount -t tmpfs tmpfs /run && "
                  'mkdir -p /run/systemd/system && exec "$0" "$@"']
        systemd = os.path.isdir("/run/systemd/system") or run(*booted, "true").returncode == 0
        booted = booted if systemd and not os.path.isdir("/run/systemd/system") else []

        def script(name, *args, enabled="0", installed="1"):
            open(calls, "w").close()
            env = dict(os.environ, PATH=fakes + ":" + os.environ["PATH"], ENABLED=enabled,
                       INSTALLED=installed)
            done = run(*booted, os.path.join(control, name), *args, env=env)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(calls) as f:
                return [c for c in f.read().splitlines() if "daemon-reload" not in c]

        registered = script("postinst", "configure", "")
        self.assertIn("deb-systemd-helper update-state " + UNIT, registered)
        self.assertFalse([c for c in registered if " enable " in c or "start" in c], registered)
        upgraded = script("postinst", "configure", "0.9", installed="0")
        self.assertIn("deb-systemd-helper enable " + UNIT, upgraded, "an enabled unit stays so")
        # A running service goes on with the new executable; nothing else starts.
        self.assertEqual([c for c in upgraded if "start" in c],
                         ["deb-systemd-invoke try-restart " + UNIT] if systemd else [])
        disabled = script("postinst", "configure", "0.9", installed="0", enabled="1")
        self.assertFalse([c for c in disabled if " enable " in c], disabled)
        self.assertEqual(script("prerm", "upgrade", "1.1"), [])
        self.assertEqual(script("prerm", "remove"),
                         ["deb-systemd-invoke stop " + UNIT] if systemd else [])
        self.assertIn("deb-systemd-helper purge " + UNIT, script("postrm", "purge"))

    def test_unit_is_hardened_and_passes_systemd_analyze_verify(self):
        with open(os.path.join(self.root, UNIT_DIR, UNIT)) as f:
            settings = dict(line.rstrip("\n").split("=", 1) for line in f
                            if "=" in line and not line.startswith("#"))
        required = {
            "Type": "notify", "ExecStart": "/%s/bin/orvane-autoupdate" % ROOT,
            "KillMode": "mixed", "TimeoutStopSec": "infinity", "NoNewPrivileges": "yes",
            "ProtectSystem": "strict", "ReadWritePaths": "/" + ROOT, "PrivateTmp": "yes",
            "ProtectHome": "yes", "ProtectKernelTunables": "yes", "ProtectControlGroups": "yes",
            "RestrictAddressFamilies": "AF_UNIX AF_INET AF_INET6"}
        self.assertEqual({key: settings.get(key) for key in required}, required)

        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (package systemd): unit not verified")
        # The package's root with the system's units beside ours, so that the
        # default dependencies resolve and ExecStart is looked up in the package.
        shutil.copytree("/lib/systemd/system", os.path.join(self.root, UNIT_DIR), symlinks=True,
                        dirs_exist_ok=True, ignore=lambda _, names: [UNIT] if UNIT in names else [])

        def verify(unit):  # unknown or malformed settings are only warned about
            done = run("systemd-analyze", "verify", "--root=" + self.root, unit)
            return done.returncode, done.stdout + done.stderr

        with open(os.path.join(self.root, UNIT_DIR, "probe.service"), "w") as f:
            f.write("[Service]\nExecStart=/%s/bin/orvane-autoupdate\n" % ROOT)
        probed = verify("probe.service")
        if probed != (0, ""):
            self.skipTest("systemd-analyze cannot verify units here: %s" % (probed,))
        self.assertEqual(verify(UNIT), (0, ""))

    def test_packaged_executable_updates_its_install_root(self):
        tree = harness.Tree(installed=os.path.join(self.root, ROOT))
        site = harness.Site("/~tarn/latest/")
        self.addCleanup(site.close)
        site.publish("alpha.zip", "2.0", harness.zip_archive({"app/readme.txt": b"two\n"}))
        site.serve("notify_installed.osp", "OK")
        tree.write_list("alpha")
        proxy = {"http_proxy": site.proxy, "no_proxy": "", "NO_PROXY": ""}
        self.assertEqual(tree.run("noservice", env=proxy)[0], 0)
        self.assertEqual(tree.read("app/readme.txt"), b"two\n")
        self.assertEqual(tree.read("Updater/alpha.zip.version"), b"2.0")
        self.assertEqual(tree.log_messages()[0], "alpha")


if __name__ == "__main__":
    unittest.main()
