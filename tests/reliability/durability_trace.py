#!/usr/bin/env python3
"""The durability rule, checked on the real programs' system calls.

patchtool makes a key and publishes four releases (one package each packed
with LZO1X, bzip2 and zstd with a delta entry; bzip2 in place of LZO1X in a
build without it), nginx serves them on
127.0.0.1, and update-console updates an installation of the first release
to the last; every program runs under `strace -f`. The trace must show:
  - each file synced (fsync or fdatasync) after its last write and before it
    is renamed;
  - each folder synced after a name in it was renamed in, made or removed,
    and after a file was made there that keeps its name;
  - every change synced before `config/version.cfg` is renamed into place,
    and the version file never written in place;
  - nothing left unsynced when a program ends.
The checker is first shown a rename without a sync, which it must refuse.

  durability_trace.py BUILD_DIR
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CALLS = ("openat,write,writev,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,"
         "mkdir,mkdirat,unlink,unlinkat")
LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+)")
FD_PATH = re.compile(r"^-?\d+<([^>]*)>")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unescape(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1").decode(
        errors="replace")


class Ledger:
    """Follows one trace and collects every breach of the rule."""

    def __init__(self, cwd, watched, version_file=None):
        self.cwd = os.path.realpath(cwd)
        self.watched = [os.path.realpath(w) for w in watched]
        self.version_file = version_file and os.path.realpath(version_file)
        self.dirty = set()            # files written since their last sync
        self.changed_folders = set()  # folders with names changed since their last sync
        self.made_in = set()          # folders a file was made in since their last sync
        self.breaches = []
        self.renames = 0

    def path(self, name):
        return os.path.normpath(os.path.join(self.cwd, name))

    def watches(self, path):
        return any(path == w or path.startswith(w + "/") for w in self.watched)

    def feed(self, line):
        match = LINE.match(line)
        if not match or int(match.group(4)) < 0:
            return  # unfinished, resumed (the call was seen where it began) or failed
        call, args = match.group(2), match.group(3)
        fd = FD_PATH.match(args)
        fd_path = fd.group(1) if fd else None
        names = [] if call.startswith(("write", "pwrite")) else [
            self.path(unescape(q)) for q in QUOTED.findall(args)]
        if call in ("write", "writev", "pwrite64", "ftruncate") and fd_path:
            if fd_path == self.version_file:
                self.breaches.append("the version file was written in place, where a power "
                                     "cut can tear it")
            if self.watches(fd_path):
                self.dirty.add(fd_path)
        elif call in ("fsync", "fdatasync") and fd_path:
            self.dirty.discard(fd_path)
            self.changed_folders.discard(fd_path)
            self.made_in.discard(fd_path)
        elif call == "openat" and "O_CREAT" in args and names and self.watches(names[0]):
            self.made_in.add(os.path.dirname(names[0]))
        elif call.startswith("rename") and len(names) >= 2:
            self.renamed(names[0], names[1])
        elif call.startswith(("mkdir", "unlink")) and names and self.watches(names[0]):
            self.changed_folders.add(os.path.dirname(names[0]))

    def renamed(self, source, target):
        if not self.watches(target):
            return
        self.renames += 1
        if source in self.dirty:
            self.breaches.append(f"{source} renamed to {target} before it was synced")
            self.dirty.discard(source)
        if target == self.version_file and (self.dirty or self.changed_folders):
            self.breaches.append(f"version file replaced over unsynced {sorted(self.dirty)} "
                                 f"and folders {sorted(self.changed_folders)}")
        self.changed_folders.update({os.path.dirname(source), os.path.dirname(target)})

    def finish(self):
        files = sorted(self.dirty)
        folders = sorted(self.changed_folders | self.made_in)
        if files:
            self.breaches.append(f"never synced after the last write: {files}")
        if folders:
            self.breaches.append(f"folders never synced after a change: {folders}")
        return self.breaches


def traced(command, cwd, trace, env=None, **kwargs):
    # The leak checker of a sanitized build cannot run under a tracer; the
    # rest of the sanitizer can.
    env = dict(env or os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    subprocess.run(["strace", "-f", "-y", "-qq", "-s", "1024", "-e", "signal=none",
                    "-e", "trace=" + CALLS, "-o", trace] + command,
                   cwd=cwd, check=True, env=env, **kwargs)


def check(name, trace, cwd, watched, version_file=None, expect_renames=1):
    ledger = Ledger(cwd, watched, version_file)
    with open(trace, encoding="latin-1") as lines:
        for line in lines:
            ledger.feed(line)
    breaches = ledger.finish()
    if ledger.renames < expect_renames:
        breaches.append(f"only {ledger.renames} renames seen: the trace shows too little")
    print(f"durability trace: {name}: {ledger.renames} renames, "
          f"{'kept the rule' if not breaches else 'BROKE IT'}")
    for breach in breaches:
        print("  " + breach)
    return not breaches


def write_releases(releases, url, first_codec):
    rng = random.Random(11)
    engine = bytes(rng.getrandbits(8) for _ in range(200_000))

    def release(version, files):
        for name, data in files.items():
            path = os.path.join(releases, version, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data if isinstance(data, bytes) else data.encode())

    def version_file(version):
        return f"[Main]\r\nVersion={version}\r\nUpdateURL={url}\r\n"

    tree = {"config/version.cfg": version_file("1.0.0"), "bin/engine.dat": engine,
            "readme.txt": "1.0.0\n"}
    release("1.0.0", tree)
    steps = [("1.0.1", first_codec), ("1.0.2", "bzip2"), ("1.1.0", "zstd")]
    for index, (version, _) in enumerate(steps):
        tree = dict(tree)
        tree["config/version.cfg"] = version_file(version)
        tree["readme.txt"] = version + "\n"
        tree[f"data/{version}/level/new.bin"] = bytes(rng.getrandbits(8) for _ in range(3000))
        # Bytes inserted near the start: a delta entry in the zstd package.
        tree["bin/engine.dat"] = engine[:500 + index] + version.encode() + engine[500 + index:]
        release(version, tree)
    return steps


def self_test(work):
    """A rename without a sync must be refused, or the checks prove nothing."""
    folder = os.path.join(work, "self-test")
    os.makedirs(folder)
    trace = os.path.join(work, "self-test.trace")
    traced(["sh", "-c", "echo x > a.tmp && mv a.tmp a"], folder, trace)
    ledger = Ledger(folder, [folder])
    for line in open(trace, encoding="latin-1"):
        ledger.feed(line)
    return bool(ledger.finish())


def codecs_of(patchtool):
    """The codecs this build's patchtool packs with, as its help lists them."""
    usage = subprocess.run([patchtool, "build", "--help"], check=True, capture_output=True,
                           text=True).stdout
    return re.search(r"--codec ([\w|]+)", usage).group(1).split("|")


def main():
    build = os.path.realpath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="durability-trace-", dir=os.environ.get("UPDATER_TEST_TMP"))
    nginx_state = os.path.join(work, "nginx")
    ok = True
    try:
        if not self_test(work):
            print("durability trace: the checker let a rename without a sync pass")
            return 1
        releases, site, keys = (os.path.join(work, d) for d in ("releases", "site", "keys"))
        for folder in (releases, site, keys, nginx_state):
            os.makedirs(folder)
        port = subprocess.run([os.path.join(REPO, "scripts/serve-nginx"), "start", site,
                               nginx_state], check=True, capture_output=True,
                              text=True).stdout.strip()
        base = f"http://127.0.0.1:{port}"
        patchtool = os.path.join(build, "patchtool")
        steps = write_releases(os.path.join(work, "all-releases"), base + "/patchlist.cfg",
                               "lzo" if "lzo" in codecs_of(patchtool) else "bzip2")
        key = os.path.join(keys, "publisher.key")
        traced([patchtool, "keygen", "-o", key], work, os.path.join(work, "keygen.trace"),
               stdout=subprocess.DEVNULL)
        ok &= check("patchtool keygen", os.path.join(work, "keygen.trace"), work, [keys],
                    expect_renames=0)
        shutil.copytree(os.path.join(work, "all-releases", "1.0.0"),
                        os.path.join(releases, "1.0.0"))
        for version, codec in steps:
            shutil.copytree(os.path.join(work, "all-releases", version),
                            os.path.join(releases, version))
            trace = os.path.join(work, f"publish-{version}.trace")
            traced([patchtool, "publish", "--releases", releases, "--site", site, "--base-url",
                    base, "--codec", codec, "--key", key], work, trace,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            ok &= check(f"patchtool publish {version} ({codec})", trace, work, [site, releases],
                        expect_renames=4)

        install = os.path.join(work, "installation")
        shutil.copytree(os.path.join(releases, "1.0.0"), install)
        trace = os.path.join(work, "update.trace")
        traced([os.path.join(build, "update-console")], install, trace,
               stdout=subprocess.DEVNULL, env=dict(os.environ, HOME=work,
                                                   XDG_CONFIG_HOME=os.path.join(work, "cfg")))
        ok &= check(f"update-console ({', '.join(codec for _, codec in steps)})", trace, install,
                    [install], os.path.join(install, "config/version.cfg"), expect_renames=10)
        shutil.rmtree(os.path.join(install, "download"))
        same = subprocess.run(["diff", "-r", install, os.path.join(releases, "1.1.0")],
                              capture_output=True).returncode == 0
        print(f"durability trace: installation equals 1.1.0: {same}")
        ok &= same
    finally:
        if os.path.exists(os.path.join(nginx_state, "nginx.pid")):
            subprocess.run([os.path.join(REPO, "scripts/serve-nginx"), "stop", nginx_state])
        shutil.rmtree(work, ignore_errors=True)
    print(f"durability trace: {'all checks passed' if ok else 'FAILED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
