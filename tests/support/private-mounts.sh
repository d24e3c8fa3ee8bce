#!/bin/sh
# Runs a test in a mount namespace of its own where the system allows one
# (root, or user namespaces): what it mounts is seen by no other program, no
# running program takes its volumes for drives, and every mount goes with it,
# even when the test is killed. Elsewhere the test runs as it is, and its
# mounting cases skip with their reasons.
if unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private "$@"
fi
exec "$@"
