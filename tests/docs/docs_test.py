#!/usr/bin/env python3
"""Runs every ```sh block of docs/*.md, in file order, in a scratch directory, compiles
every ```c block and runs every ```python block under the launcher with one virtual board.
Both find the Python package of the source tree and the library of the build tree.

Commands that talk to a board (ostrane-cli, lsusb) run against one virtual board when the block
does not start the launcher itself. Commands that change the system run through stand-ins:
`sudo cmake --install` installs into a scratch DESTDIR, `udevadm` and `usermod` only check their
arguments. A block whose ostrane-cli subcommand the built tool does not have yet is skipped, and
the skips are listed. Any other failing block fails the test.

Usage: docs_test.py DOCS_DIR BUILD_DIR VIRTUAL_BOARD CLI"""
import getpass
import os
import re
import stat
import subprocess
import sys
import tempfile

docs_dir, build_dir, vboard, cli = sys.argv[1:5]

# The launcher's command gets DOCS_UNDER_LAUNCHER (the launcher passes its environment on, on
# either transport), so a tool the block runs under the launcher is not wrapped a second time.
SHIMS = {
    # Runs the real tool; outside the launcher, under it with one virtual board.
    "ostrane-cli": f'''#!/bin/sh
[ -n "${{DOCS_UNDER_LAUNCHER:-}}" ] && exec "{cli}" "$@"
DOCS_UNDER_LAUNCHER=1 exec "{vboard}" --boards 1 -- "{cli}" "$@"
''',
    "lsusb": f'''#!/bin/sh
[ -n "${{DOCS_UNDER_LAUNCHER:-}}" ] && exec /usr/bin/lsusb "$@"
DOCS_UNDER_LAUNCHER=1 exec "{vboard}" --boards 1 -- /usr/bin/lsusb "$@"
''',
    "ostrane-virtual-board": f'#!/bin/sh\nDOCS_UNDER_LAUNCHER=1 exec "{vboard}" "$@"\n',
    "sudo": '''#!/bin/sh
case "$1" in
  cmake) [ "$2" = --install ] || { echo "docs test: sudo cmake $2 not handled" >&2; exit 1; }
         DESTDIR="$DOCS_DESTDIR" exec "$@" ;;
  udevadm|usermod) exec "$@" ;;
  *) echo "docs test: sudo $1 not handled" >&2; exit 1 ;;
esac
''',
    "udevadm": '''#!/bin/sh
case "$1 $2" in
  "control --reload"|"trigger --subsystem-match=usb"*) echo "(udevadm $*: not run in the docs test)" ;;
  *) echo "docs test: udevadm $* not expected" >&2; exit 1 ;;
esac
''',
    "usermod": '''#!/bin/sh
[ "$1" = -aG ] && [ "$2" = plugdev ] && [ -n "$3" ] || { echo "docs test: usermod $*" >&2; exit 1; }
echo "(usermod $*: not run in the docs test)"
''',
}


def subcommands():
    out = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
    names, in_list = set(), False
    for line in out.splitlines():
        if line.strip().upper().startswith("SUBCOMMANDS"):
            in_list = True
            continue
        if in_list and line.strip():
            names.add(line.split()[0])
    return names


def blocks(path, language="sh"):
    text = open(path).read()
    for m in re.finditer(rf"^```{language}\n(.*?)^```", text, re.S | re.M):
        yield text[: m.start()].count("\n") + 1, m.group(1)


def main():
    have = subcommands()
    if not {"list", "send", "stream"} <= have:
        sys.exit(f"cannot read the subcommands of {cli}: {sorted(have)}")
    work = tempfile.mkdtemp(prefix="docs-test-")
    shims = os.path.join(work, ".shims")
    os.mkdir(shims)
    for name, body in SHIMS.items():
        path = os.path.join(shims, name)
        with open(path, "w") as f:
            f.write(body)
        os.chmod(path, stat.S_IRWXU)
    os.symlink(build_dir, os.path.join(work, "build"))
    env = dict(os.environ, PATH=shims + ":" + os.environ["PATH"], DOCS_DESTDIR=os.path.join(work, "destdir"))
    env.setdefault("USER", getpass.getuser())
    env.pop("UMOCKDEV_DIR", None)
    env.pop("DOCS_UNDER_LAUNCHER", None)
    env.pop("LD_PRELOAD", None)
    env.update(PYTHONPATH=os.path.join(docs_dir, os.pardir, "python"), PYTHONDONTWRITEBYTECODE="1",
               OSTRANE_LIBRARY=os.path.join(os.path.realpath(build_dir), "src"))

    ran, skipped, failed = 0, [], []
    docs = sorted(f for f in os.listdir(docs_dir) if re.match(r"\d\d-.*\.md$", f))
    for doc in docs:
        for line, block in blocks(os.path.join(docs_dir, doc)):
            where = f"{doc}:{line}"
            missing = sorted(set(re.findall(r"\bostrane-cli\s+([a-z][a-z-]*)", block)) - have)
            if missing:
                skipped.append(f"{where} (ostrane-cli has no {', '.join(missing)} yet)")
                continue
            r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], cwd=work, env=env,
                               capture_output=True, text=True, timeout=180)
            ran += 1
            print(f"--- {where}\n{block}{r.stdout}{r.stderr}", end="")
            if r.returncode != 0:
                failed.append(f"{where} exited {r.returncode}")
        for line, block in blocks(os.path.join(docs_dir, doc), "python"):
            r = subprocess.run([vboard, "--boards", "1", "--", sys.executable, "-c", block], cwd=work, env=env,
                               capture_output=True, text=True, timeout=180)
            ran += 1
            print(f"--- {doc}:{line} (Python)\n{block}{r.stdout}{r.stderr}", end="")
            if r.returncode != 0:
                failed.append(f"{doc}:{line} (Python) exited {r.returncode}")
        # C snippets: the preprocessor lines at file scope, the rest as the body of main.
        for line, block in blocks(os.path.join(docs_dir, doc), "c"):
            lines = block.splitlines()
            top = [l for l in lines if l.startswith("#")]
            body = [l for l in lines if not l.startswith("#")]
            source = "\n".join(top + ["int main(void)", "{"] + body + ["return 0;", "}"]) + "\n"
            include = os.path.join(docs_dir, os.pardir, "include")
            r = subprocess.run(["cc", "-std=c99", "-Wall", "-Werror", "-fsyntax-only", "-I", include, "-x", "c", "-"],
                               input=source, capture_output=True, text=True)
            ran += 1
            print(f"--- {doc}:{line} (C, compiled)\n{r.stderr}", end="")
            if r.returncode != 0:
                failed.append(f"{doc}:{line} does not compile")
    if os.path.isdir(env["DOCS_DESTDIR"]) and not os.path.isfile(
            os.path.join(env["DOCS_DESTDIR"], "lib/udev/rules.d/60-ostrane.rules")):
        failed.append("the documented install did not install the udev rule")
    for s in skipped:
        print(f"SKIPPED: {s}")
    for f in failed:
        print(f"FAIL: {f}")
    subprocess.run(["rm", "-rf", work])
    if failed or ran == 0:
        sys.exit(1)
    print(f"docs_test: ok ({ran} blocks ran, {len(skipped)} skipped)")


main()
