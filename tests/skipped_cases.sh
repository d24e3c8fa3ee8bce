#!/bin/bash
# The list of skipped cases that ./test.sh prints, from a ctest log with a
# case skipped by QSKIP, a whole suite skipped, and a suite that skipped none.
set -euo pipefail
here="$(dirname "$0")"
build="$(mktemp -d)"
trap 'rm -rf "$build"' EXIT
mkdir -p "$build/Testing/Temporary"
cat > "$build/Testing/Temporary/LastTest.log" <<'LOG'
1/3 Testing: tst_disks
1/3 Test: tst_disks
Output:
----------------------------------------------------------
PASS   : TestDisks::initTestCase()
SKIP   : TestDisks::ext4() Mounting a loop device needs root; not available here.
   Loc: [tst_disks.cpp(42)]
<end of output>
2/3 Test: tst_accessibility
Output:
SKIP: no python3-pyatspi: nothing can listen as a screen reader does.
<end of output>
3/3 Test: tst_numbers
Output:
PASS   : TestNumbers::megabytes()
<end of output>
LOG
said="$("$here/support/skipped-cases.sh" "$build" "normal build")"
expected="Skipped in the normal build ($build):
  tst_disks: TestDisks::ext4() Mounting a loop device needs root; not available here.
  tst_accessibility (all of it): no python3-pyatspi: nothing can listen as a screen reader does."
[ "$said" = "$expected" ] || { printf 'FAIL: got\n%s\nexpected\n%s\n' "$said" "$expected"; exit 1; }
empty="$("$here/support/skipped-cases.sh" "$build/none" "sanitizer build")"
[ "$empty" = "Skipped in the sanitizer build ($build/none):
  (no test log)" ] || { echo "FAIL: $empty"; exit 1; }
echo "PASS"
