#!/bin/sh
# Runs the traced session (session_test.cpp) under strace and checks what the
# process did: it ran no other program, made no socket but local ones, created or
# wrote no file of its own, and no text the user typed reached a file name.
# What Qt, fontconfig and the C library do for themselves is the only allowed
# exception, listed below.
# Usage: trace_session.sh TEST_BINARY. Exit 77 (skip) when strace is missing or may
# not trace here.
set -u
binary=${1:?usage: trace_session.sh TEST_BINARY}
command -v strace >/dev/null 2>&1 || { echo "SKIP: strace not installed (Debian: strace)"; exit 77; }
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

# Qt and fontconfig keep their runtime and cache files where these point, so any
# write of theirs is told apart from one of ours by its place.
mkdir -m 700 "$scratch/runtime" "$scratch/cache" "$scratch/home"
export XDG_RUNTIME_DIR=$scratch/runtime XDG_CACHE_HOME=$scratch/cache HOME=$scratch/home
export QT_QPA_PLATFORM=offscreen

trace=$scratch/trace
# A bound of its own, shorter than CTest's, so a hung session is named as such.
timeout -k 5 60 strace -f -qq -o "$trace" -e trace=file,network,process -e signal=none \
    "$binary" --gtest_filter='WindowTest.TracedSession*' >"$scratch/out" 2>&1
status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    cat "$scratch/out"; echo "FAIL: the traced session did not end within 60 s"; exit 1
fi
if ! grep -q 'execve(' "$trace" 2>/dev/null; then
    cat "$scratch/out"; echo "SKIP: strace cannot trace here"; exit 77
fi
if [ "$status" -ne 0 ] || ! grep -q '\[  PASSED  \] 1 test' "$scratch/out"; then
    cat "$scratch/out"; echo "FAIL: the session itself failed"; exit 1
fi

awk -v scratch="$scratch" '
function fail(why) { print "FAIL: " why ":\n    " $0; failures++ }
function firstPath(   s) {
    if (match($0, /"[^"]*"/) == 0) return ""
    return substr($0, RSTART + 1, RLENGTH - 2)
}
{ call = $2; sub(/\(.*/, "", call) }

# Another program: only the test binary itself is executed, and every clone is a thread.
call == "execve" { if (++execs > 1) fail("ran another program") }
call ~ /^(fork|vfork|clone|clone3)$/ && $0 !~ /CLONE_THREAD/ { fail("started a process") }

# Sockets: local ones only, to the C library name service cache, the X server or D-Bus.
call == "socket" && $0 !~ /socket\((AF_UNIX|AF_LOCAL|PF_LOCAL),/ { fail("made a non-local socket") }
call ~ /^(connect|bind|sendto|sendmsg)$/ && /sa_family=/ {
    if ($0 !~ /sa_family=AF_UNIX/) fail("addressed a non-local socket")
    else if ($0 !~ /sun_path="(\/var)?\/run\/nscd\/socket"|sun_path=@?"?\/tmp\/\.X11-unix\/|sun_path="?\/run\/(user\/[0-9]+\/bus|dbus\/system_bus_socket)/)
        fail("used an unexpected local socket")
}

# Files created, written or changed.
{
    writes = 0
    if (call ~ /^(open|openat|openat2|creat)$/ && ($0 ~ /O_(WRONLY|RDWR|CREAT|TRUNC|APPEND)/ || call == "creat")) writes = 1
    if (call ~ /^(mkdir|mkdirat|rmdir|unlink|unlinkat|rename|renameat|renameat2|link|linkat|symlink|symlinkat|truncate|chmod|fchmodat|chown|fchownat|lchown|mknod|mknodat|utimes|utimensat|setxattr|lsetxattr|removexattr)$/) writes = 1
    if (writes) {
        path = firstPath()
        # The pseudo-terminals: the test makes them, the program opens the mapped one.
        if (path == "/dev/ptmx" || path ~ /^\/dev\/pts\/[0-9]+$/) next
        # Qt (its runtime directory) and fontconfig (its font cache) for themselves.
        if (index(path, scratch "/runtime") == 1 || index(path, scratch "/cache/fontconfig") == 1) next
        fail("created or changed a file")
    }
}

# No text the user typed reaches a file name, and no serial device outside the
# narrowed port table is ever looked at.
/morrel-probe|"\/dev\/tty(S|USB|ACM|AMA)[0-9]|"\/dev\/rfcomm[0-9]/ { fail("touched a path from user text or an unmapped device") }

END {
    if (execs != 1) { print "FAIL: the trace holds no start of the program"; failures++ }
    printf "%d system calls checked, %d failures\n", NR, failures
    exit failures > 0
}' "$trace"
