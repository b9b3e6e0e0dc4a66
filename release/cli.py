"""Subcommands of the release chain; each module parses its own arguments."""
import importlib
import signal
import sys

COMMANDS = {
    "release": ("release.build", "build HEAD in a clean copy, sign it when asked, pack the release zip"),
    "verify": ("release.verify", "is a download (zip or tarnel.exe) the release of a public commit?"),
    "sign": ("release.sign", "sign a Windows executable with Authenticode (osslsigncode)"),
    "notices": ("release.notices", "third-party notices and the SBOM from a linker map"),
    "recipe": ("release.build", "this commit's own recipe: build and pack (run by release and verify)"),
}


def usage():
    lines = ["usage: release/__main__.py COMMAND [ARGUMENTS]", ""]
    lines += ["  %-8s %s" % (name, text) for name, (_, text) in COMMANDS.items()]
    print("\n".join(lines), file=sys.stderr)
    return 2


def main(argv):
    if not argv or argv[0] not in COMMANDS:
        return usage()
    # Stopped (kill, Ctrl-C, a closed terminal): the ordinary exit path runs, which ends the children this
    # process started (they run in process groups of their own) and removes its temporary folders.
    for number, status in ((signal.SIGTERM, 143), (signal.SIGHUP, 129)):
        signal.signal(number, lambda *_, status=status: sys.exit(status))
    module = importlib.import_module(COMMANDS[argv[0]][0])
    if argv[0] == "recipe":
        return module.recipe_command(argv[1:])
    return module.command(argv[1:])
