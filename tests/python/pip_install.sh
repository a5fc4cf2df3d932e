#!/bin/sh
# `pip install` of python/ (offline: setuptools from the system) into a scratch target, and the
# installed package imported from there, its version that of the metadata, its type marker kept.
# Usage: pip_install.sh PYTHON SOURCE_DIR
set -eu
python=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$2/python" "$work/src"  # pip builds in place: keep the source tree clean
"$python" -m pip install -q --no-build-isolation --no-index --target "$work/site" "$work/src"
cd "$work"
PYTHONPATH=$work/site "$python" -c '
import importlib.metadata, os, sys, ostrane
assert ostrane.__file__.startswith(sys.argv[1]), ostrane.__file__
assert importlib.metadata.version("ostrane") == ostrane.__version__
assert importlib.metadata.metadata("ostrane")["License"] == "MIT"  # as LICENSE says
assert os.path.isfile(os.path.join(os.path.dirname(ostrane.__file__), "py.typed"))
print("pip install: ok", ostrane.__version__)' "$work/site"
