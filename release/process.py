"""Children of the release chain: each in a process group of its own, ended with this process.

A stop (kill, Ctrl-C, a closed terminal) reaches the chain as an exception (release/cli.py turns SIGTERM and
SIGHUP into one); the child's whole group is then killed before the exception goes on, so no build,
mmdebstrap or signer outlives the command that started it.
"""
import os
import signal
import subprocess


def run(command, log=None, env=None, cwd=None):
    """Runs a child in its own process group, which is ended with it if this process is stopped."""
    out = open(log, "ab") if log else subprocess.PIPE
    try:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT if log else subprocess.PIPE, env=env, cwd=cwd,
                                 start_new_session=True)
        try:
            stdout, stderr = child.communicate()
        except BaseException:
            # TERM first: mmdebstrap then unmounts what it mounted in the root it was making.
            os.killpg(child.pid, signal.SIGTERM)
            try:
                child.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
            raise
    finally:
        if log:
            out.close()
    return child.returncode, stdout, stderr
