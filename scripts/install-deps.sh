#!/usr/bin/env bash
# Installs what the build and the tests need, and nothing when it is already
# there: Debian packages with apt-get, Python packages pinned with pip.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
apt_packages=(g++ make liblz4-dev libssl-dev rapidjson-dev libgtest-dev)

missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: apt-get install ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# pip is only asked when a pinned version is absent, so a ready machine stays quiet.
if ! "$PY" - <<'PYEOF' 2>/dev/null
import importlib.metadata as md, re, sys
for line in open("requirements.txt"):
    line = line.split("#")[0].strip()
    if not line:
        continue
    name, version = re.split("==", line)
    if md.version(name) != version:
        sys.exit(1)
PYEOF
then
  echo "install-deps: pip install -r requirements.txt"
  "$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore -r requirements.txt
fi
