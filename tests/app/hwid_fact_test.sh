#!/bin/sh
# The Ansible local fact: with hwid.fact in a facts directory, Debian's
# ansible-core shows ansible_local.hwid, whose identifier is what hwid prints.
#   hwid_fact_test.sh HWID_FACT HWID_EXPLAIN HWID
# Exit 77 (skipped) when ansible is not installed.
set -u
fact=$1
explain=$2
hwid=$3
command -v ansible >/dev/null 2>&1 || { echo "ansible not installed"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/facts" "$tmp/bin" "$tmp/home"
cp "$fact" "$tmp/facts/hwid.fact"
# The fact finds hwid-explain on PATH, as an installed one would be.
ln -s "$explain" "$tmp/bin/hwid-explain"
# Everything Ansible writes stays in the scratch folder; no inventory, no
# network, the controller's own Python.
export HOME="$tmp/home" ANSIBLE_HOME="$tmp/home/.ansible" ANSIBLE_LOCAL_TEMP="$tmp/local"
export ANSIBLE_REMOTE_TEMP="$tmp/remote" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0
export ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ANSIBLE_PYTHON_INTERPRETER=auto_silent
export ANSIBLE_RETRY_FILES_ENABLED=0
PATH="$tmp/bin:$PATH" ansible localhost -c local -m setup \
    -a "fact_path=$tmp/facts filter=ansible_local" >"$tmp/out" 2>"$tmp/err"
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: ansible exit status $status: $(cat "$tmp/out" "$tmp/err")"
    exit 1
fi
identifier=$("$hwid")
python3 - "$tmp/out" "$identifier" <<'PY'
import json, sys
# "localhost | SUCCESS => {...}", the ad-hoc output of ansible-core.
text = open(sys.argv[1]).read()
head, _, result = text.partition(" => ")
assert head.strip() == "localhost | SUCCESS", text
facts = json.loads(result)["ansible_facts"]
hwid = facts["ansible_local"]["hwid"]
assert isinstance(hwid, dict), "the fact is no JSON object: %r" % (hwid,)
assert hwid["identifier"] == sys.argv[2], (hwid["identifier"], sys.argv[2])
assert hwid["cpu"]["signature"].startswith("0x"), hwid["cpu"]
print("ansible_local.hwid.identifier is hwid's: " + sys.argv[2])
PY
