"""The Debian package that `cpack -G DEB` makes of this build: contents, control
fields, maintainer scripts, lintian, the unit under `systemd-analyze verify`, a
`noservice` pass of the executable unpacked with `dpkg-deb -x`, and the whole
life of the package under a real systemd booted in a container."""

import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import uuid
import xml.etree.ElementTree as ET

import harness

BUILD_DIR = os.environ.get("ORVANE_BUILD_DIR", "")
ROOT = "opt/orvane"
UNIT_DIR = "lib/systemd/system"
UNIT = "orvane-autoupdate.service"


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


def make_package(out, *settings):
    """The .deb that cpack makes of the test build into out (settings: -D NAME=VALUE)."""
    made = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
               "-B", out, *settings)
    debs = glob.glob(os.path.join(out, "*.deb"))
    if made.returncode != 0 or len(debs) != 1:
        raise AssertionError("cpack made no package:\n" + made.stdout + made.stderr)
    return debs[0]


class PolicyTemplates(unittest.TestCase):
    def test_templates_and_the_sample_offer_exactly_the_names_the_product_reads(self):
        top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        read = lambda path: open(os.path.join(top, path), encoding="utf-8").read()
        names = re.findall(r'"([^"]+)",', read("src/update/policy_names.h"))
        want = {n + p if n.endswith(".") else n
                for n in names for p in ("tarn", "orvane-client", "wickmoor")}
        admx = read("packaging/policies/orvane.admx")
        elements = [e for e in ET.fromstring(admx).iter() if e.get("valueName")]
        policies = [p for p in ET.fromstring(admx).iter() if p.tag.endswith("}policy")]
        key = r"Software\Policies\Halvex\Orvane Autoupdate"
        self.assertEqual({(p.get("class"), p.get("key")) for p in policies}, {("Machine", key)})
        adml = ET.fromstring(read("packaging/policies/en-US/orvane.adml"))
        needed_in_adml = set(re.findall(r"\$\(\w+\.(\w+)\)", admx)) | {e.get("id") for e in elements}
        self.assertLessEqual(needed_in_adml, {e.get(k) for e in adml.iter() for k in ("id", "refId")})
        self.assertEqual(sorted(e.get("valueName") for e in elements), sorted(want))  # each once
        self.assertEqual(set(json.loads(read("packaging/policy.json"))), want)


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
        cls.deb = make_package(os.path.join(cls.work, "out"))
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    def test_holds_the_executable_the_unit_and_an_empty_updater_directory_only(self):
        listing = [line.split() for line in run("dpkg-deb", "-c", self.deb).stdout.splitlines()]
        files = {line[5][2:]: line[:2] for line in listing if not line[0].startswith("d")}
        doc = "usr/share/doc/orvane-autoupdate/"
        self.assertEqual(files, {ROOT + "/bin/orvane-autoupdate": ["-rwxr-xr-x", "root/root"],
                                 UNIT_DIR + "/" + UNIT: ["-rw-r--r--", "root/root"],
                                 doc + "copyright": ["-rw-r--r--", "root/root"],
                                 doc + "changelog.gz": ["-rw-r--r--", "root/root"],
                                 doc + "policy.json": ["-rw-r--r--", "root/root"],
                                 "usr/share/lintian/overrides/orvane-autoupdate":
                                     ["-rw-r--r--", "root/root"]})
        self.assertIn("./%s/Updater/" % ROOT, [line[5] for line in listing])

    def test_lintian_finds_nothing_but_the_explained_install_root_in_opt(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/setup.sh installs it)")
        done = run("lintian", "--show-overrides", self.deb)
        tags = [line for line in done.stdout.splitlines() if line[:2] in ("E:", "W:", "O:")]
        self.assertTrue(tags, "lintian checked nothing: " + done.stdout + done.stderr)
        self.assertEqual([t for t in tags if not t.startswith("O: orvane-autoupdate: "
                                                              "dir-or-file-in-opt ")], [])

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
            "RestrictAddressFamilies": "AF_UNIX AF_INET AF_INET6", "ExecReload": "/bin/kill -HUP $MAINPID"}
        self.assertEqual({key: settings.get(key) for key in required}, required)

        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (package systemd): unit not verified")
        # The package's root with the system's units beside ours, so that the
        # default dependencies resolve and ExecStart is looked up in the package.
        shutil.copytree("/lib/systemd/system", os.path.join(self.root, UNIT_DIR), symlinks=True,
                        dirs_exist_ok=True, ignore=lambda _, names: [UNIT] if UNIT in names else [])
        shutil.copytree("/bin", os.path.join(self.root, "bin"), ignore=lambda _, names: set(names) - {"kill"})  # ExecReload's

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


# Boots the container: this machine's root as the lower layer of an overlay
# whose upper layer is a tmpfs, in a private mount namespace that vanishes
# with the container; the units this machine enabled are masked inside.
BOOT = r"""
set -e
top=$1; shift
mount -t tmpfs orvane-systemd "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
for link in /etc/systemd/system/*.wants/*; do
  case "$link" in *.target) continue;; esac
  if [ -L "$link" ]; then ln -sfn /dev/null "$top/root/etc/systemd/system/${link##*/}"; fi
done
# A container image's policy that forbids maintainer scripts to act on
# services would hide what they do on a real machine.
rm -f "$top/root/usr/sbin/policy-rc.d"
exec systemd-nspawn -D "$top/root" "$@"
"""


def systemd_missing():
    """Why a container with a real systemd cannot be booted here, or None."""
    if harness.WINDOWS or not BUILD_DIR:
        return "the Debian package is made from the Linux test build"
    if os.geteuid() != 0:
        return "booting a container needs root"
    for tool in ("systemd-nspawn", "unshare", "nsenter", "cpack", "dpkg-deb"):
        if not shutil.which(tool):
            return tool + " is not installed (scripts/setup.sh installs it)"
    with open("/proc/filesystems") as f:
        if "\toverlay\n" not in f.read():
            return "the kernel offers no overlay file system"
    return None


class RealSystemd(unittest.TestCase):
    """The package's whole life under systemd as PID 1 of a container that
    shares this machine's network, so that the loopback update server serves
    it. Anything that keeps the container from booting or sandboxing skips
    the test with the reason; only the product's faults fail it."""

    @classmethod
    def setUpClass(cls):
        reason = systemd_missing()
        if reason:
            raise unittest.SkipTest(reason)
        cls.work = tempfile.mkdtemp(prefix="orvane-systemd-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        shared = os.path.join(cls.work, "shared")
        make_package(shared)
        make_package(os.path.join(shared, "next"), "-D", "CPACK_PACKAGE_VERSION=1.1")
        top = os.path.join(cls.work, "top")
        os.makedirs(top)
        cls.console = open(os.path.join(cls.work, "console"), "w+")
        cls.addClassCleanup(cls.console.close)
        cls.container = subprocess.Popen(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", BOOT, "boot", top,
             "--boot", "--register=no", "--keep-unit", "--link-journal=no", "--quiet",
             "--console=pipe", "--uuid=" + uuid.uuid4().hex, "--bind-ro=%s:/srv/orvane" % shared],
            stdin=subprocess.DEVNULL, stdout=cls.console, stderr=subprocess.STDOUT)
        cls.addClassCleanup(cls.halt)
        state = "no init"
        deadline = time.monotonic() + 60  # a loaded machine boots slowly
        while time.monotonic() < deadline and cls.container.poll() is None:
            # nspawn's first child sets the container up before systemd runs.
            cls.leader = cls.init_of(cls.container.pid)
            if cls.leader:
                try:
                    booted = cls.inside("systemctl", "is-system-running", "--wait",
                                        timeout=max(1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    state = "still starting"
                    continue
                state = (booted.stdout + booted.stderr).strip()
                if booted.stdout.strip() in ("running", "degraded"):
                    break
            time.sleep(0.2)
        else:
            cls.console.seek(0)
            raise unittest.SkipTest("the container did not boot (%s): %s" % (
                state, cls.console.read()[-400:]))
        # The sandbox the unit asks for, tried on a command of no consequence.
        probe = cls.inside("systemd-run", "--wait", "--quiet", "-p", "ProtectSystem=strict",
                           "-p", "ProtectProc=invisible", "-p", "PrivateDevices=yes",
                           "-p", "SystemCallFilter=@system-service", "-p", "PrivateMounts=yes",
                           "true")
        if probe.returncode != 0:
            raise unittest.SkipTest("systemd cannot sandbox a service here: " + probe.stderr)

    @classmethod
    def init_of(cls, pid):
        """The container's systemd: the child of nspawn once it runs systemd."""
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                children = f.read().split()
            with open("/proc/%s/comm" % children[0]) as f:
                return int(children[0]) if f.read().strip() == "systemd" else None
        except (OSError, IndexError):
            return None

    @classmethod
    def inside(cls, *command, timeout=60, text=True):
        return subprocess.run(["nsenter", "-t", str(cls.leader), "-a", "--"] + list(command),
                              capture_output=True, text=text, timeout=timeout,
                              stdin=subprocess.DEVNULL)

    @classmethod
    def halt(cls):
        cls.container.terminate()  # the container halts in order
        try:
            cls.container.wait(30)
        except subprocess.TimeoutExpired:
            cls.container.kill()
            cls.container.wait(30)

    def sh(self, script):
        done = self.inside("sh", "-c", script)
        self.assertEqual(done.returncode, 0, script + ": " + done.stdout + done.stderr)
        return done.stdout

    def show(self, *properties):
        out = self.sh("systemctl show %s -p %s" % (UNIT, ",".join(properties)))
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def journal(self):
        return self.inside("journalctl", "-u", UNIT, "-o", "cat", "--no-pager").stdout

    def test_install_run_stop_upgrade_remove_and_purge_under_the_full_sandbox(self):
        root = "/" + ROOT
        self.sh("dpkg -i /srv/orvane/*.deb")
        self.assertEqual(self.show("UnitFileState", "ActiveState"),
                         {"UnitFileState": "disabled", "ActiveState": "inactive"},
                         "registered, neither enabled nor started")
        exposure = self.sh("systemd-analyze security --no-pager %s | tail -n 1" % UNIT)
        self.assertLessEqual(float(exposure.split(": ")[1].split()[0]), 2.0, exposure)

        site = harness.Site("/~tarn/latest/")
        self.addCleanup(site.close)
        payload = os.urandom(6000)
        archive = harness.zip_archive([("app/data.bin", payload)])
        site.publish("alpha.zip", "2.0", archive)
        site.serve("notify_installed.osp", "OK")
        # About three seconds of download, never quiet for as long as the stream waits.
        site.rules({"alpha.zip": {"trickle": [max(1, len(archive) // 30), 0.1]}})
        site.publish("beta.zip", "1.0", archive, "0" * 32)  # a checksum error at every pass
        self.sh("printf 'alpha beta' >%s/Updater/installed.packages.lst && "
                "mkdir -p /etc/systemd/system/%s.d && printf '[Service]\nEnvironment="
                "http_proxy=%s no_proxy=\n' >/etc/systemd/system/%s.d/proxy.conf && "
                "systemctl daemon-reload" % (root, UNIT, site.proxy, UNIT))

        # An installed file of another owner, with bits of its own, which the
        # replacement keeps under the sandbox's one capability.
        self.sh("mkdir -p {0}/app && echo old >{0}/app/data.bin && "
                "chown 1000:1000 {0}/app/data.bin && chmod 750 {0}/app/data.bin".format(root))
        self.sh("systemctl start " + UNIT)  # returns once the service reported READY
        self.assertTrue(harness.eventually(
            lambda: site.request("alpha.zip") in site.requests(), 20, 0.05), self.journal())
        # The journal has the pass while it runs, line by line.
        self.assertTrue(harness.eventually(lambda: "Updating alpha ..." in self.journal(), 5, 0.1))
        stop = subprocess.Popen(["nsenter", "-t", str(self.leader), "-a", "--", "systemctl",
                                 "stop", UNIT], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: stop.poll() is None and stop.kill())
        self.assertTrue(harness.eventually(
            lambda: self.show("ActiveState")["ActiveState"] == "deactivating", 10, 0.05))
        self.assertEqual(self.inside("cat", root + "/Updater/alpha.zip.version").returncode, 1,
                         "the pass was over before the stop: nothing was held")
        self.assertEqual(stop.wait(60), 0, stop.communicate()[1])
        # The stop waited for the pass, which installed under the sandbox.
        self.assertEqual(self.sh("cat %s/Updater/alpha.zip.version" % root), "2.0")
        self.assertEqual(self.inside("cat", root + "/app/data.bin", text=False).stdout, payload)
        self.assertEqual(self.sh("stat -c '%u:%g %a' " + root + "/app/data.bin").strip(),
                         "1000:1000 750")
        journal = self.journal()
        self.assertIn("\nInstalled.\n", journal)
        for console_only in ("Read: ", "\r"):
            self.assertNotIn(console_only, journal)
        self.assertEqual(self.show("ActiveState", "Result"),
                         {"ActiveState": "inactive", "Result": "success"})

        # An upgrade keeps the state and restarts a running service; an
        # enabled one stays enabled.
        self.sh("systemctl enable --now " + UNIT)
        before = self.show("MainPID")["MainPID"]
        self.sh("dpkg -i /srv/orvane/next/*.deb")
        after = self.show("MainPID", "ActiveState", "UnitFileState")
        self.assertNotIn(after["MainPID"], ("0", before))
        self.assertEqual((after["ActiveState"], after["UnitFileState"]), ("active", "enabled"))
        self.assertEqual(self.sh("cat %s/Updater/alpha.zip.version %s/Updater/installed."
                                 "packages.lst" % (root, root)), "2.0alpha beta")
        # At warning and above: the checksum errors, none of the passes' other lines.
        self.assertTrue(harness.eventually(lambda: "up to date" in self.journal(), 20, 0.1))
        problems = self.inside("journalctl", "-u", UNIT, "-p", "warning", "-o", "cat").stdout
        self.assertEqual(set(problems.splitlines()), {"Invalid file received (checksum error)"})

        # A new updater, tried under the sandbox, ends the service with the
        # status on which the unit starts it again, now the new program.
        new = self.inside("cat", root + "/bin/orvane-autoupdate", text=False).stdout + b"\0new"
        site.publish("updater.zip", "2.0", harness.zip_archive([("bin/orvane-autoupdate", new)]))
        self.sh("printf updater >%s/Updater/installed.packages.lst && printf 'RestartSec=1\n' "
                ">>/etc/systemd/system/%s.d/proxy.conf && systemctl daemon-reload && systemctl "
                "restart %s" % (root, UNIT, UNIT))
        self.assertTrue(harness.eventually(lambda: self.journal().count("Updating updater") == 2,
                                           30, 0.2), self.journal())
        self.assertEqual(self.show("NRestarts", "Result"), {"NRestarts": "1", "Result": "success"})
        self.assertEqual(self.inside("cat", root + "/bin/orvane-autoupdate", text=False).stdout, new)

        # Removal stops the service and keeps the data; a purge forgets the unit.
        self.sh("dpkg -r orvane-autoupdate")
        self.assertEqual(self.show("ActiveState")["ActiveState"], "inactive")
        self.assertEqual(self.sh("ls %s %s/Updater" % (root, root)).split(),
                         ["/opt/orvane:", "Updater", "app", "update.log", "/opt/orvane/Updater:",
                          "alpha.zip", "alpha.zip.version", "installed.packages.lst",
                          "orvane.update.pass.lock", "status.json", "updater.zip", "updater.zip.version"])
        self.sh("dpkg -P orvane-autoupdate")
        self.assertEqual(self.inside("ls", "/etc/systemd/system/" + UNIT).returncode, 2)
        self.assertEqual(self.sh("ls %s/Updater" % root).split(),
                         ["alpha.zip", "alpha.zip.version", "installed.packages.lst",
                          "updater.zip", "updater.zip.version"])


if __name__ == "__main__":
    unittest.main()
