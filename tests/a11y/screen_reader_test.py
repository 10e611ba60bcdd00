#!/usr/bin/python3
# The real program as a screen reader meets it, over the real accessibility bus:
# every control's name, then the history's text after a line arrives.
#
# Usage: screen_reader_test.py PROGRAM
# Runs itself again inside a private D-Bus session and a private mount namespace,
# where a pseudo-terminal is bound over a /dev/ttyS node, so that the program's
# own port table finds it. Exits 77 (skipped) with the reason when this machine
# cannot do that.
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
NAMES = ["Com Port", "Baud", "Stop Bits", "Parity", "Check Parity", "Data Bits", "RTS On", "RTS Off",
         "DTR On", "DTR Off", "Text to send", "Send", "Send as typing", "Send as number", "Clear History",
         "Format ASCII", "Format HEX", "Format DEC", "History", "Connect", "Disconnect", "Close"]


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def fail(reason):
    print("FAILED: " + reason)
    sys.exit(1)


def wait_for(what, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.1)
    return None


def outside(program):
    for tool in ("dbus-run-session", "unshare", "Xvfb", "mount"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    if os.geteuid() != 0:
        skip("binding a pseudo-terminal over a serial node needs root")
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        skip("python3-pyatspi is not installed")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        skip("at-spi2-core is not installed")
    inner = ["dbus-run-session", "--", "unshare", "--mount", "--propagation", "private",
             sys.executable, os.path.abspath(__file__), "--inside", program]
    try:
        sys.exit(subprocess.run(inner, timeout=110).returncode)
    except subprocess.TimeoutExpired:
        fail("the test did not end within 90 s")


def start_display():
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    deadline = time.monotonic() + 10
    os.set_blocking(read, False)
    while time.monotonic() < deadline and not number.endswith(b"\n"):
        try:
            number += os.read(read, 16)
        except BlockingIOError:
            time.sleep(0.05)
    os.close(read)
    if not number.strip():
        xvfb.kill()
        skip("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


def walk(node, depth=0):
    if node is None or depth > 30:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


def inside(program):
    import pyatspi

    # The serial node the program will open, with the pseudo-terminal's follower over it.
    nodes = sorted((n for n in os.listdir("/dev") if n.startswith("ttyS") and n[4:].isdigit()),
                   key=lambda n: int(n[4:]))
    if not nodes:
        skip("no /dev/ttyS node to bind a pseudo-terminal over")
    node = nodes[-1]
    port = "COM" + str(int(node[4:]) + 1)
    leader, follower = os.openpty()
    if subprocess.run(["mount", "--bind", os.ttyname(follower), "/dev/" + node]).returncode != 0:
        skip("cannot bind a pseudo-terminal over /dev/" + node)
    os.close(follower)

    xvfb, display = start_display()
    app = None
    try:
        # Starting the registry also starts the accessibility bus the program looks for.
        desktop = pyatspi.Registry.getDesktop(0)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        app = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def find_app():
            for i in range(desktop.childCount):
                child = desktop.getChildAtIndex(i)
                if child is not None and child.name == "morrelcom" and child.childCount > 0:
                    return child
            return None

        # Long enough for a build under ThreadSanitizer to start and join the bus.
        found = wait_for(find_app, 40)
        if not found:
            fail("the program never showed on the accessibility registry")

        def spoken(n):
            # What a reader says a control is: its name, or for a selector (whose
            # name on Linux is its text) the label it is labelled by.
            if n.getRole() != pyatspi.ROLE_COMBO_BOX:
                return n.name
            for relation in n.getRelationSet():
                if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                    return relation.getTarget(0).name
            return n.name

        def controls():
            named = {}
            for n in walk(found):
                if n.getRole() not in (pyatspi.ROLE_LABEL, pyatspi.ROLE_PANEL, pyatspi.ROLE_MENU_ITEM):
                    named.setdefault(spoken(n), n)
            return named if all(name in named for name in NAMES) else None

        named = wait_for(controls, 15)
        if not named:
            seen = {spoken(n) for n in walk(found) if n.getRole() != pyatspi.ROLE_LABEL}
            fail("controls without their names: " + ", ".join(n for n in NAMES if n not in seen))

        # Connect as a user of a screen reader would: type the port, press Connect.
        combo = named["Com Port"]
        editable = next((n for n in walk(combo) if n.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY)), None)
        if editable is None:
            fail("the Com Port selector offers no editable text")
        editable.queryEditableText().setTextContents(port)
        named["Connect"].queryAction().doAction(0)

        history = named["History"].queryText()
        if not wait_for(lambda: port in history.getText(0, -1), 15):
            fail("the connect never showed in the history: " + repr(history.getText(0, -1)))
        os.write(leader, b"hello")  # one read: the reader takes ten bytes at a time

        line = wait_for(lambda: "received:hello" in history.getText(0, -1), 15)
        if not line:
            fail("the received line never reached the history's text: " + repr(history.getText(0, -1)))
        text = history.getText(0, -1)
        offset = text.index("received:hello") + 9
        at, start, end = history.getTextAtOffset(offset, pyatspi.TEXT_BOUNDARY_LINE_START)
        if "received:hello" not in at or text[start:end] != at:
            fail("the line at offset %d reads %r [%d, %d)" % (offset, at, start, end))
        print("names and the received line read back over AT-SPI")
        return 0
    finally:
        if app is not None:
            app.terminate()
            try:
                app.wait(5)
            except subprocess.TimeoutExpired:
                app.kill()
                app.wait(5)
        xvfb.terminate()
        try:
            xvfb.wait(5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
        os.close(leader)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2]))
    if len(sys.argv) != 2:
        print(__doc__ or "usage: screen_reader_test.py PROGRAM")
        sys.exit(2)
    outside(sys.argv[1])
