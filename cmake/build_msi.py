#!/usr/bin/env python3
"""Builds the Windows Installer package from deploy/vek-system-service.wxs
with msitools' wixl, the same bytes from the same inputs, and mends in the
built tables what wixl 0.101 cannot write.

Usage: build_msi.py WXS VERSION PRODUCT_CODE SETUP SERVICE WORK OUTPUT
  WXS           the WiX source
  VERSION       the product's version (three numbers)
  PRODUCT_CODE  its product code, {GUID}
  SETUP         vek-system-service-setup.exe to pack
  SERVICE       the service program to pack as vek-system-service.exe
  WORK          a folder of this package's own, for the staged programs
  OUTPUT        the package to write

Reproducible: wixl stamps the current time into the summary information and
the cabinet keeps each packed file's time, so both are fixed (faketime
around wixl and msibuild, and the staged copies' times); and the package
code, which wixl draws at random, is derived from everything that goes into
the package, so that two different packages never share one."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import uuid

# Any fixed time would do; the summary information and the cabinet show it.
FIXED_TIME = "2000-01-01 00:00:00"
FIXED_EPOCH = 946684800


def run(command, cwd=None):
    """Runs `command`, and ends this script with its output when it fails
    (wixl's warnings are noise otherwise)."""
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"build_msi.py: {command[3]} failed (exit code {result.returncode}):\n"
                 f"{result.stdout}{result.stderr}")


def main(wxs, version, product_code, setup, service, work, output):
    upgrade_code = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', open(wxs).read()).group(1)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    staged = {}
    for name, source in (("vek-system-service-setup.exe", setup),
                         ("vek-system-service.exe", service)):
        staged[name] = os.path.join(work, name)
        shutil.copyfile(source, staged[name])
        os.utime(staged[name], (FIXED_EPOCH, FIXED_EPOCH))

    digest = hashlib.sha256()
    for part in (open(wxs, "rb").read(), version.encode(), product_code.encode(),
                 open(staged["vek-system-service-setup.exe"], "rb").read(),
                 open(staged["vek-system-service.exe"], "rb").read()):
        digest.update(hashlib.sha256(part).digest())
    package_code = "{%s}" % str(uuid.uuid5(uuid.UUID(upgrade_code), digest.hexdigest())).upper()

    partial = output + ".part"
    if os.path.exists(partial):
        os.remove(partial)
    frozen = ["faketime", "-f", FIXED_TIME]
    # wixl takes a packed file's Source relative to the current folder
    # only (an absolute one is not found).
    run(frozen + [
        "wixl", "--arch", "x64", "--output", os.path.abspath(partial),
        "--define", f"Version={version}",
        "--define", f"ProductCode={product_code.strip('{}')}",
        "--define", "SetupProgram=vek-system-service-setup.exe",
        "--define", "ServiceProgram=vek-system-service.exe",
        os.path.abspath(wxs)], cwd=work)

    # What wixl 0.101 leaves out or gets wrong:
    # - a rollback action is written as an immediate one: 50 (a program
    #   named by a property) + 64 (its exit code ignored) + 256 (rollback)
    #   + 1024 (in the script) + 2048 (not impersonated);
    # - a property-setting action gets the not-impersonated bit, which only
    #   an action in the script may carry: 51 alone;
    # - a RemoveFile row for a file crashes wixl: the installer program's log
    #   goes with the product (2: on uninstall), so that the folder can go;
    # - no ActionText table: the text that msiexec's log shows for an
    #   action, which says where the installer program's lines are.
    log = r"[InstallDir]vek-system-service-setup.log"
    queries = [
        "UPDATE `CustomAction` SET `Type` = 3442 WHERE `Action` = 'UndoRegistration'",
        "UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099",
        "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, "
        "`InstallMode`) VALUES ('SetupLog', 'Service', "
        "'vekset~1.log|vek-system-service-setup.log', 'InstallDir', 2)",
        "CREATE TABLE `ActionText` (`Action` CHAR(72) NOT NULL, "
        "`Description` CHAR(0) LOCALIZABLE, `Template` CHAR(0) LOCALIZABLE PRIMARY KEY `Action`)",
        "INSERT INTO `ActionText` (`Action`, `Description`) VALUES ('RegisterService', "
        f"'Registering and starting vek-system-service with vek-system-service-setup.exe, "
        f"whose lines go to {log}')",
        "INSERT INTO `ActionText` (`Action`, `Description`) VALUES ('UndoRegistration', "
        f"'Deleting the registration of vek-system-service made by this install; "
        f"{log} moves to [WindowsFolder]Logs')",
    ]
    command = frozen + ["msibuild", partial]
    for query in queries:
        command += ["-q", query]
    command += ["-s", "Vek System Service", "Vek", "x64;1033", package_code]
    run(command)
    os.replace(partial, output)


if __name__ == "__main__":
    if len(sys.argv) != 8:
        sys.exit(__doc__)
    main(*sys.argv[1:])
