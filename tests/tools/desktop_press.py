"""Presses kilnware-desktop's controls as a user with a screen reader would, through the
accessibility bus (AT-SPI): Burn in the main window, the image recorder and Burn in the setup
dialog; then waits for the disc image in the folder given. Every control is found by its role and
accessible name; a wait that runs out fails with what was on the screen."""
import os
import sys
import time

import pyatspi

images = sys.argv[1]
deadline = time.time() + 120


def fail(message):
    print("desktop_press: " + message, file=sys.stderr)
    sys.exit(1)


def walk(node):
    """Every accessible under `node`, the node first; nodes that vanish meanwhile are left out."""
    try:
        yield node
        for index in range(node.childCount):
            child = node.getChildAtIndex(index)
            if child is not None:
                yield from walk(child)
    except Exception:  # the window changed while it was read
        return


def wait_for(what, find):
    while time.time() < deadline:
        found = find()
        if found is not None:
            return found
        time.sleep(0.2)
    fail("no " + what + " came")


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        app = desktop.getChildAtIndex(index)
        if app is not None and app.name == "kilnware-desktop":
            return app
    return None


def control(root, role, name):
    for node in walk(root):
        try:
            if node.getRoleName() == role and node.name.replace("&", "") == name and \
                    node.getState().contains(pyatspi.STATE_SHOWING):
                return node
        except Exception:
            continue
    return None


def window(app, title):
    for index in range(app.childCount):
        frame = app.getChildAtIndex(index)
        if frame is not None and frame.name.endswith(title):
            return frame
    return None


def press(node):
    actions = node.queryAction()
    for index in range(actions.nActions):
        if actions.getName(index) in ("Press", "Toggle", "press", "click"):
            actions.doAction(index)
            return
    fail("%s cannot be pressed: %s" % (node.name,
                                       [actions.getName(i) for i in range(actions.nActions)]))


app = wait_for("kilnware-desktop on the accessibility bus", application)
main = wait_for("main window", lambda: window(app, "Kilnware Disc Burner"))
burn = wait_for("Burn button", lambda: control(main, "push button", "Burn"))
# Burn is pressable once the data disc has been measured.
wait_for("Burn enabled", lambda: burn if burn.getState().contains(pyatspi.STATE_ENABLED) else None)
press(burn)
setup = wait_for("Burn Setup dialog", lambda: window(app, "Burn Setup"))
recorder = wait_for("image recorder", lambda: control(setup, "radio button", "Kilnware Image Recorder"))
press(recorder)
confirm = wait_for("Burn in the dialog", lambda: control(setup, "push button", "Burn"))
wait_for("Burn enabled in the dialog",
         lambda: confirm if confirm.getState().contains(pyatspi.STATE_ENABLED) else None)
press(confirm)
image = wait_for("disc image", lambda: next(
    (name for name in os.listdir(images) if name.endswith(".iso")), None))
print("desktop_press: wrote " + image)
