"""Signs a Windows executable with an Authenticode SHA-256 signature through osslsigncode.

The password or PIN comes from an environment variable (TARNEL_SIGN_PASSWORD by default) or a file, never
from the command line, and reaches openssl and osslsigncode only through a pipe (openssl -passin fd:N,
osslsigncode -readpass /dev/fd/N); the children's environment holds no copy of it. IN is never changed;
OUT appears, whole, only once signing has succeeded (IN and OUT may be the same file), with the mode the
umask gives a new file. A child dies with sign.sh, even when sign.sh is killed with SIGKILL; what a killed
run left (its folders, named by its process id) the next run removes."""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from datetime import datetime
from pathlib import Path

from cryptography import x509
from cryptography.x509.oid import ExtendedKeyUsageOID

from release import pe

USAGE = """\
Signs a Windows executable with an Authenticode SHA-256 signature through osslsigncode.
  scripts/sign.sh IN OUT (--pkcs12 FILE | --cert FILE --key FILE | --pkcs11-module SO --pkcs11-uri URI --cert FILE)
                  [--password-env VAR | --password-file FILE] [--timestamp URL]... [--name TEXT] [--url URL]
                  [--resign]"""
VALUED = {"--pkcs12": "a file", "--cert": "a file", "--key": "a file", "--pkcs11-module": "a library",
          "--pkcs11-uri": "a pkcs11: URI", "--password-env": "a variable name", "--password-file": "a file",
          "--timestamp": "a URL", "--name": "a text", "--url": "a URL"}


class Refused(Exception):
    """A refusal: its text is the one line sign.sh says, status 1."""


class Stopped(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


def parse(argv):
    """The options as a dict (timestamps a list); None for a usage error."""
    if len(argv) < 2:
        return None
    opts = {"in": argv[0], "out": argv[1], "timestamps": [], "resign": False}
    args = argv[2:]
    while args:
        arg = args.pop(0)
        if arg in VALUED:
            if not args or not args[0]:
                raise Refused("%s needs %s" % (arg, VALUED[arg]))
            value = args.pop(0)
            if arg == "--timestamp":
                opts["timestamps"].append(value)
            else:
                opts[arg[2:]] = value
        elif arg == "--resign":
            opts["resign"] = True
        elif arg in ("--password", "--pin", "--pass"):
            raise Refused("%s is not accepted: a password on the command line is visible to every local user; "
                          "use --password-env VAR or --password-file FILE" % arg)
        else:
            print("sign.sh: unknown option %s" % arg, file=sys.stderr)
            return None
    return opts


def key_source(o):
    """pkcs12, pem or pkcs11, after the options that go together were checked."""
    cert, key, module, uri = (o.get(k, "") for k in ("cert", "key", "pkcs11-module", "pkcs11-uri"))
    if o.get("pkcs12"):
        if cert or key or module or uri:
            raise Refused("--pkcs12 goes alone: not with --cert, --key or the --pkcs11 options")
        return "pkcs12"
    if module or uri:
        if not module or not uri or not cert or key:
            raise Refused("a token needs --pkcs11-module SO, --pkcs11-uri pkcs11:... and --cert FILE "
                          "(the token's certificate)")
        if not uri.startswith("pkcs11:"):
            raise Refused("--pkcs11-uri must be a pkcs11: URI, for example 'pkcs11:token=MyToken;object=MyKey'")
        # A PIN in the address would reach osslsigncode's command line, where every local user can read it.
        if "pin-value" in uri.lower() or "pin-source" in uri.lower():
            raise Refused("--pkcs11-uri may not hold pin-value or pin-source: give the PIN with --password-env VAR "
                          "or --password-file FILE")
        return "pkcs11"
    if cert or key:
        if not cert:
            raise Refused("--key needs --cert FILE, its certificate")
        if not key:
            raise Refused("--cert needs --key FILE (or --pkcs11-module and --pkcs11-uri for a key on a token)")
        return "pem"
    raise Refused("no key given: use --pkcs12 FILE, --cert FILE --key FILE, or --pkcs11-module SO --pkcs11-uri URI "
                  "--cert FILE")


def check_files(o):
    src, out = o["in"], o["out"]
    if not os.path.isfile(src):
        raise Refused("%s: no such file" % src)
    if not os.access(src, os.R_OK):
        raise Refused("%s: not readable" % src)
    try:
        with open(src, "rb") as f:
            pe.load(f.read(pe.MAX_SIZE + 1))
    except pe.NotPE as e:
        raise Refused("%s is %s; nothing was signed" % (src, e)) from None
    except OSError as e:
        raise Refused("%s: %s" % (src, e.strerror)) from None
    for name in ("pkcs12", "cert", "key", "password-file"):
        path = o.get(name)
        if path and not os.access(path, os.R_OK):
            raise Refused("%s: no such file, or not readable" % path)
    folder = os.path.dirname(out) or "."
    if not os.path.isdir(folder):
        raise Refused("%s: no such folder for the output" % folder)
    if os.path.isdir(out):
        raise Refused("%s is a folder; name the signed file to write" % out)
    # A password file that others can read has given the secret away already.
    path = o.get("password-file")
    if path and os.path.isfile(path) and os.stat(path).st_mode & 0o044:
        raise Refused("%s can be read by other users (chmod go-r it, and change the password it holds)" % path)


def secret(o):
    """The password or PIN as bytes, or None for an unprotected key: from a file (trailing newlines dropped,
    as a shell's $(cat FILE) drops them), the variable --password-env names, or TARNEL_SIGN_PASSWORD."""
    if o.get("password-file"):
        try:
            return Path(o["password-file"]).read_bytes().rstrip(b"\n")
        except OSError as e:
            raise Refused("%s: %s" % (o["password-file"], e.strerror)) from None
    if o.get("password-env"):
        name = o["password-env"]
        if name not in os.environ:
            raise Refused("the variable %s named by --password-env is not set" % name)
        return os.environb[name.encode()]
    if "TARNEL_SIGN_PASSWORD" in os.environ:
        return os.environb[b"TARNEL_SIGN_PASSWORD"]
    return None


PR_SET_PDEATHSIG = 1
WORK_PREFIX = "tarnel-sign.%d." % os.getpid()
PARTIAL_PREFIX = ".sign.%d." % os.getpid()


def die_with_parent(parent):
    """In the child, before exec: SIGKILL when sign.sh ends, however it ends. The parent may have died
    before the request took hold: then the child ends now."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0 or os.getppid() != parent:
        os._exit(127)


def remove_leftovers(folder, prefix):
    """Removes the folders `prefix`PID.* in `folder` that this user's killed runs left: those whose process
    is gone. A live run's folders, and other users', stay."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        match = re.fullmatch(re.escape(prefix) + r"(\d+)\.[^/]+", entry.name)
        if not match or not entry.is_dir(follow_symlinks=False):
            continue
        if entry.stat(follow_symlinks=False).st_uid != os.getuid():
            continue
        try:
            os.kill(int(match.group(1)), 0)
            continue  # still running
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        shutil.rmtree(entry.path, ignore_errors=True)


class Signer:
    """Runs openssl and osslsigncode with the secret on a pipe and without it in their environment."""

    def __init__(self, password, hidden):
        self.password = password
        self.env = {k: v for k, v in os.environ.items() if k not in hidden}
        self.child = None

    def run(self, command, log=None):
        """Runs command (a list, where "{fd}" stands for the pipe's descriptor); returns (status, output)."""
        read = None
        if self.password is not None:
            read, write = os.pipe()
            try:
                os.write(write, self.password)  # a password fits the pipe's buffer: no child needed to drain it
            finally:
                os.close(write)
            command = [a.replace("{fd}", str(read)) for a in command]
        try:
            parent = os.getpid()
            self.child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, env=self.env,
                                          pass_fds=() if read is None else (read,),
                                          preexec_fn=lambda: die_with_parent(parent))
        except FileNotFoundError:
            raise Refused("%s is not installed" % command[0]) from None
        finally:
            if read is not None:
                os.close(read)
        try:
            output = self.child.communicate()[0].decode("utf-8", "replace")
        except BaseException:  # stopped: the tool ends before its partial files are removed
            self.stop()
            raise
        status, self.child = self.child.returncode, None
        return status, output

    def passin(self):
        return ["-passin", "fd:{fd}"] if self.password is not None else ["-passin", "pass:"]

    def stop(self):
        if self.child is not None and self.child.poll() is None:
            self.child.terminate()
            try:
                self.child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.child.kill()
                self.child.wait()


def openssl_date(when):
    return when.strftime("%b %e %H:%M:%S %Y GMT")


def signer_certificate(o, source, signer, work):
    """The signer's certificate, checked before any signing: a clear word beats osslsigncode's error stack."""
    pem_file = work / "signer.pem"
    if source == "pkcs12":
        base = ["openssl", "pkcs12", "-in", o["pkcs12"]] + signer.passin() + ["-nokeys", "-clcerts",
                                                                               "-out", str(pem_file)]
        status, err = signer.run(base)
        if status:
            status, more = signer.run(base[:2] + ["-legacy"] + base[2:])
            err += more
        if status:
            if re.search("mac verify|invalid password", err, re.I):
                raise Refused("wrong password for %s (or none given: --password-env VAR, --password-file FILE)"
                              % o["pkcs12"])
            raise Refused("%s is not a readable PKCS#12 file: %s" % (o["pkcs12"], (err.splitlines() or [""])[0]))
    else:
        for form in ("PEM", "DER"):
            status, _ = signer.run(["openssl", "x509", "-inform", form, "-in", o["cert"], "-out", str(pem_file)])
            if not status:
                break
        else:
            raise Refused("%s holds no certificate (PEM or DER)" % o["cert"])
    cert = x509.load_pem_x509_certificate(pem_file.read_bytes())
    if source == "pem":
        status, key_pub = signer.run(["openssl", "pkey", "-in", o["key"]] + signer.passin() + ["-pubout"])
        if status:
            if signer.password is not None:
                raise Refused("wrong password for %s (or it is not a private key)" % o["key"])
            raise Refused("cannot read the private key %s (encrypted? give its password with --password-env or "
                          "--password-file)" % o["key"])
        _, cert_pub = signer.run(["openssl", "x509", "-in", str(pem_file), "-noout", "-pubkey"])
        if key_pub != cert_pub:
            raise Refused("the key %s does not belong to the certificate %s" % (o["key"], o["cert"]))
    subject = cert.subject.rfc4514_string()
    now = datetime.utcnow()
    if cert.not_valid_after < now:
        raise Refused("the certificate of %s expired on %s" % (subject, openssl_date(cert.not_valid_after)))
    if cert.not_valid_before > now:
        raise Refused("the certificate of %s is not valid yet" % subject)
    # Windows accepts a certificate without an extended key usage for anything; one that names purposes
    # must name code signing, and a key usage, if present, must allow digital signatures.
    try:
        usage = cert.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
        if ExtendedKeyUsageOID.CODE_SIGNING not in usage:
            raise Refused("the certificate of %s is not for code signing (its extended key usage lacks Code Signing)"
                          % subject)
    except x509.ExtensionNotFound:
        pass
    try:
        if not cert.extensions.get_extension_for_class(x509.KeyUsage).value.digital_signature:
            raise Refused("the certificate of %s may not make digital signatures (key usage)" % subject)
    except x509.ExtensionNotFound:
        pass
    return subject


def why_not_signed(o, source, log):
    """osslsigncode's failure in one line, where it is a known one."""
    def first(pattern):
        match = re.search(".*(%s).*" % pattern, log, re.I)
        return match.group(0) if match else ""

    if re.search("PIN incorrect|PIN_INCORRECT", log):
        return "wrong PIN for the token (%s)" % o["pkcs11-uri"]
    if re.search("PIN_LOCKED|PIN locked", log):
        return "the token's PIN is locked"
    if re.search("No matching initialized token|object not found|No token|not found at", log):
        return ("no token or key matches %s (is the token plugged in? pkcs11-tool --module %s -L lists them)"
                % (o["pkcs11-uri"], o["pkcs11-module"]))
    if source == "pkcs11" and first("engine|DSO"):
        return "the PKCS#11 engine did not load: %s" % first("engine|DSO")
    if o["timestamps"] and first("timestamp|curl|connect"):
        return "no time-stamp server answered (%s): %s" % (" ".join(o["timestamps"]), first("timestamp|curl|connect"))
    return None


def sign(o, source, signer, work):
    subject = signer_certificate(o, source, signer, work)
    src, out = o["in"], o["out"]
    # A signed input is refused unless --resign, which signs a copy without the old signature.
    unsigned = src
    with open(src, "rb") as f:
        signed_already = pe.certificate_table(f.read(pe.MAX_SIZE + 1)) is not None
    if signed_already:
        if not o["resign"]:
            raise Refused("%s is already signed; add --resign to replace its signature" % src)
        unsigned = str(work / "unsigned.exe")
        status, log = signer.run(["osslsigncode", "remove-signature", "-in", src, "-out", unsigned])
        if status:
            raise Refused("osslsigncode cannot remove the signature of %s: %s" % (src, (log.splitlines() or [""])[-1]))

    if source == "pkcs12":
        key_options = ["-pkcs12", o["pkcs12"]]
    elif source == "pem":
        key_options = ["-certs", o["cert"], "-key", o["key"]]
    else:
        if not os.access(o["pkcs11-module"], os.R_OK):
            raise Refused("PKCS#11 module %s not found (the token's driver library)" % o["pkcs11-module"])
        # OpenSSL finds the engine by its id in its own engines folder. Naming the engine's file instead
        # (-pkcs11engine) fails with osslsigncode 2.5, which hands the path to the engine as its id.
        _, version = signer.run(["openssl", "version", "-e"])
        engines = re.sub(r'^ENGINESDIR: "(.*)"\s*$', r"\1", version.strip())
        if not os.path.exists(os.path.join(engines, "pkcs11.so")):
            raise Refused("the OpenSSL PKCS#11 engine is missing (%s/pkcs11.so): install libengine-pkcs11-openssl"
                          % engines)
        key_options = ["-pkcs11module", o["pkcs11-module"], "-certs", o["cert"], "-key", o["pkcs11-uri"]]
    if signer.password is not None:
        key_options += ["-readpass", "/dev/fd/{fd}"]
    if o.get("name"):
        key_options += ["-n", o["name"]]
    if o.get("url"):
        key_options += ["-i", o["url"]]
    for server in o["timestamps"]:
        key_options += ["-ts", server]

    # Signed in a private folder beside OUT (on its file system, where no other user can swap the partial
    # file for a link), given its mode there, then renamed in one step: OUT is whole or absent.
    remove_leftovers(os.path.dirname(out) or ".", ".sign.")
    partial_dir = tempfile.mkdtemp(prefix=PARTIAL_PREFIX, dir=os.path.dirname(out) or ".")
    try:
        partial = os.path.join(partial_dir, os.path.basename(out))
        status, log = signer.run(["osslsigncode", "sign"] + key_options + ["-h", "sha256", "-in", unsigned,
                                                                          "-out", partial])
        if status:
            reason = why_not_signed(o, source, log)
            if reason:
                raise Refused(reason)
            sys.stderr.write("".join("  " + line + "\n" for line in log.splitlines()))
            raise Refused("osslsigncode could not sign %s" % src)
        # The mode a new file gets here, never the input's: a world-writable input gives no world-writable OUT.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, out)
    finally:
        shutil.rmtree(partial_dir, ignore_errors=True)
    print("signed %s for %s%s" % (out, subject, " (time-stamped)" if o["timestamps"] else ""))


def command(argv):
    try:
        o = parse(argv)
        if o is None:
            print(USAGE, file=sys.stderr)
            return 2
        source = key_source(o)
        check_files(o)
        password = secret(o)
    except Refused as e:
        print("sign.sh: %s" % e, file=sys.stderr)
        return 1
    signer = Signer(password, {"TARNEL_SIGN_PASSWORD", o.get("password-env", "")})

    # Stopping sign (Ctrl-C, kill) stops the tool it runs and removes its partial files on the way out.
    def stop(signum, _frame):
        raise Stopped(130 if signum == signal.SIGINT else 143)

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    remove_leftovers(tempfile.gettempdir(), "tarnel-sign.")
    work = Path(tempfile.mkdtemp(prefix=WORK_PREFIX))
    try:
        sign(o, source, signer, work)
        return 0
    except Refused as e:
        print("sign.sh: %s" % e, file=sys.stderr)
        return 1
    except Stopped as e:
        return e.status
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)  # the cleanup itself is not cut short
        signer.stop()
        shutil.rmtree(work, ignore_errors=True)
