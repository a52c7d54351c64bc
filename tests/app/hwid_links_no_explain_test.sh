#!/bin/sh
# hwid links neither hwid-explain's report nor the JSON library: none of their
# symbols is in the binary. hwid-explain serves as the control that the names
# looked for are the report's real ones.
# usage: hwid_links_no_explain_test.sh NM HWID HWID_EXPLAIN
set -u
nm=$1
hwid=$2
explain=$3
pattern='ExplainReport|PrintExplain|CompareWithEarlier|RecordingDeviceServices|nlohmann'

hwid_symbols=$("$nm" -C "$hwid") || { echo "FAIL: $nm cannot read $hwid" >&2; exit 1; }
explain_symbols=$("$nm" -C "$explain") || { echo "FAIL: $nm cannot read $explain" >&2; exit 1; }
if ! printf '%s\n' "$hwid_symbols" | grep -q 'DeriveMachineIdentifier'; then
    echo "FAIL: $hwid lists no symbols of its own (stripped?)" >&2
    exit 1
fi
if ! printf '%s\n' "$explain_symbols" | grep -q 'BuildExplainReport'; then
    echo "FAIL: the report's symbols are not in $explain, so their absence proves nothing" >&2
    exit 1
fi
found=$(printf '%s\n' "$hwid_symbols" | grep -E "$pattern")
if [ -n "$found" ]; then
    echo "FAIL: hwid links explain or JSON code:" >&2
    printf '%s\n' "$found" | head -20 >&2
    exit 1
fi
echo "hwid holds no explain or JSON symbol"
