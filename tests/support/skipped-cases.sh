#!/bin/sh
# Lists each suite's skipped cases with their reasons from the last ctest run
# in a build folder: ctest's own summary counts a skipped case as passed, so a
# machine that cannot mount would pass with half of the media cases unseen.
# Usage: skipped-cases.sh BUILD_DIR "what the build is called"
log="$1/Testing/Temporary/LastTest.log"
echo "Skipped in the $2 ($1):"
if [ ! -r "$log" ]; then
  echo "  (no test log)"
  exit 0
fi
awk '
  /^[0-9]+\/[0-9]+ Test: / { suite = $3 }
  /^SKIP   : / { sub(/^SKIP   : /, ""); print "  " suite ": " $0; n++ }
  /^SKIP: / { sub(/^SKIP: /, ""); print "  " suite " (all of it): " $0; n++ }
  END { if (!n) print "  nothing" }
' "$log"
