#!/usr/bin/python3
"""What a person does with the program, on a real X server with a tray and a screen reader's
view of it. Each journey runs in a session of its own: journeys.py NAME."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vigharness as h  # noqa: E402
from vigharness import CheckFailed, expect, expect_equal, log, wait_for, hold  # noqa: E402

TITLE = "Quillmere Vigilorn"
MESSAGE = "Vigilorn Message"
# Labels carry "\r\n" line ends; the accessibility bus hands them over as they are, and they
# are compared with both kinds of line end folded to "\n".
REMINDER = ("A new Installation has started.\n\nProcess Name is: {}.\n\n"
            "Have you created a Restore Point?")
SECOND = ("Click Create Restore Point, or STOP the installation and create a Restore Point.\n\n"
          "Then re-start the installaion.")
TRAY_ITEMS = ["About", "Show Main", "Check for Updates", "Exit Program"]
FIRST_SCAN = 10.0     # Timer1's first interval
RESCAN = 5.0          # Timer1 after an installer has gone, and Timer2
# How late a timed window may come on a busy machine (two cores, the build beside the tests).
SLACK = 10.0
WAIT = h.DEFAULT_TIMEOUT


def norm(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


def a11y_mod():
    import a11y
    return a11y


def start(s, exe, xsel, tray=True, **ini):
    s.start_desktop(xsel, tray=tray)
    if ini:
        s.write_ini(**ini)
    t = time.monotonic()
    s.start_program(exe)
    return t


def main_frame(s):
    frame = s.a11y.window("", role="frame")
    # On a busy machine the window is on the bus before the window manager has placed it; a
    # click aimed at it then lands where it is not yet.
    x_window_of(s, frame)
    return frame


def menu_bar_item(s, frame, text):
    return s.a11y.find(frame, name=text, role="menu item")


def open_menu_item(s, frame, menu, item):
    """Opens a menu of the bar with a real click, then picks the item with a click."""
    a = a11y_mod()
    s.a11y.click(menu_bar_item(s, frame, menu))
    entry = s.a11y.find(frame, name=item, role="menu item", timeout=WAIT)
    wait_for("menu item %r on screen" % item, lambda: a.extents(entry)[2] > 0)
    s.a11y.click(entry)


def reminder_dialog(s, timeout):
    return s.a11y.window(MESSAGE, role="dialog", timeout=timeout)


def dialog_label(s, dialog):
    a = a11y_mod()
    labels = s.a11y.find_all(dialog, role="label")
    expect(labels, "%r has no label on the accessibility bus" % a.name_of(dialog))
    return norm(a.text_of(labels[0]))


def x_window_of(s, acc):
    a = a11y_mod()
    return wait_for("the X window of %r" % a.name_of(acc),
                    lambda: s.window_at(a.extents(acc)), timeout=WAIT)


def expect_on_top(s, dialog):
    win = x_window_of(s, dialog)
    state = s.xprop(win["id"], "_NET_WM_STATE")
    expect("_NET_WM_STATE_ABOVE" in state, "%r is not kept on top: %s" % (win["name"], state))


def expect_buttons(s, window, names):
    a = a11y_mod()
    got = [a.name_of(b) for b in s.a11y.find_all(window, role="push button")]
    expect_equal(got, names, "push buttons of %r" % a.name_of(window))


def no_reminder(s):
    return not any(n == MESSAGE for n, _ in s.a11y.visible_windows())


# How long a key press that should move the focus is given before it counts as moving it
# nowhere. Only a press that moves nothing waits this long.
QUIET = 6.0


def tab_order(s, window, presses):
    """The controls that take the focus as Tab is pressed ("role:name"), from the focus events;
    None where a press moved the focus nowhere."""
    seen = []
    mark = len(s.a11y.focus_log)
    for _ in range(presses):
        # A focus event that came after its press had been given up on belongs to that press.
        if seen and seen[-1] is None and len(s.a11y.focus_log) > mark:
            role, name, _parent = s.a11y.focus_log[mark]
            seen[-1] = "%s:%s" % (role, name)
        mark = len(s.a11y.focus_log)
        s.key("Tab")
        try:
            role, name, _parent = s.a11y.wait_focus_event(mark, timeout=QUIET)
            seen.append("%s:%s" % (role, name))
        except CheckFailed:
            seen.append(None)
    return seen


# ---- (a) first start -------------------------------------------------------------------------

def journey_first_start(s, exe, xsel):
    a = a11y_mod()
    t0 = start(s, exe, xsel)
    splash = wait_for("the splash screen", lambda: [w for w in s.program_windows()
                                                     if "SPLASH" in w["type"]], timeout=WAIT)[0]
    seen = time.monotonic()
    log("splash shown after %.2f s" % (seen - t0))
    s.screenshot("splash")
    expect_equal(splash["name"], "", "_NET_WM_NAME of the splash screen")
    frame = main_frame(s)
    # The splash leaves the keyboard where it was: a character key does not reach it.
    if s.viewable(splash["id"]):
        active = s.xprop_root("_NET_ACTIVE_WINDOW")
        expect(("0x%x" % splash["id"]) not in active, "the splash took the focus: " + active)
        s.key("x")
        hold("the splash kept after a key it was not given", lambda: s.viewable(splash["id"]) or
             time.monotonic() - seen > 2.5, 0.5)

    # Frameless: no title, no frame from the window manager, no decorations asked for.
    win = x_window_of(s, frame)
    expect_equal(win["wm_name"], "", "WM_NAME of the frameless main window")
    expect_equal(win["name"], "", "_NET_WM_NAME of the frameless main window")
    expect_equal(a.name_of(frame), "", "accessible title of the frameless main window")
    expect_equal(s.frame_extents(win["id"]), (0, 0, 0, 0), "window manager frame")
    motif = s.xprop(win["id"], "_MOTIF_WM_HINTS")
    expect("_MOTIF_WM_HINTS" in motif and int(motif.split("=")[1].split(",")[2], 16) == 0,
           "decorations are asked for: " + motif)

    title = menu_bar_item(s, frame, TITLE + "               ")
    expect(not a.enabled(title), "the title menu item is enabled")
    for text in ("File", "Options", "Restore", "Help", "Updates"):
        expect(a.enabled(menu_bar_item(s, frame, text)), "menu %r is disabled" % text)
    expect_buttons(s, frame, ["Show running processes", "Show form border", "Hide form border",
                              "Minimise to tray"])
    grid = s.a11y.find(frame, name="Processes", role="table", visible=False)
    expect(not a.showing(grid), "the process grid shows before it was asked for")

    # The splash closes itself after 3,500 ms: not before (less what it took to see it).
    wait_for("the splash to close", lambda: not s.viewable(splash["id"]), timeout=3.5 + SLACK)
    gone = time.monotonic() - t0
    log("splash gone after %.2f s" % gone)
    expect(gone >= 3.0, "the splash closed after %.2f s, before its 3,500 ms" % gone)
    s.screenshot("main-window")

    # The border buttons: a title and a frame, and back.
    s.a11y.click(s.a11y.find(frame, name="Show form border", role="push button"))
    framed = s.a11y.window(TITLE, role="frame")
    win = x_window_of(s, framed)
    wait_for("a window manager frame", lambda: (s.frame_extents(win["id"]) or (0,))[0:4] !=
             (0, 0, 0, 0) and s.frame_extents(win["id"]) is not None)
    expect(not a.showing(s.a11y.find(framed, name=TITLE + "               ", visible=False)),
           "the title menu item still shows beside a real title")
    s.screenshot("main-window-border")
    s.a11y.press(s.a11y.find(framed, name="Hide form border", role="push button"))
    frame = main_frame(s)
    wait_for("the frame to go", lambda: s.frame_extents(x_window_of(s, frame)["id"])
             in (None, (0, 0, 0, 0)))
    # The window is made anew without its border: its title is empty again.
    wait_for("an empty _NET_WM_NAME again", lambda: x_window_of(s, frame)["name"] == "")


# ---- (b) an installer, answered Yes ----------------------------------------------------------

def journey_installer_yes(s, exe, xsel):
    t0 = start(s, exe, xsel, ShowSplashStartUP=0)
    main_frame(s)
    setup = s.start_named_process("MySetupTool.exe")
    t_setup = time.monotonic()
    dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
    t_seen = time.monotonic()
    log("reminder %.2f s after start, %.2f s after the installer" % (t_seen - t0, t_seen - t_setup))
    expect(t_seen - t0 >= FIRST_SCAN * 0.95 - 0.1,
           "reminder %.2f s after start, before the first 10,000 ms scan" % (t_seen - t0))
    expect_on_top(s, dialog)
    expect_equal(dialog_label(s, dialog), REMINDER.format("MySetupTool.exe"), "reminder text")
    expect_buttons(s, dialog, ["Yes", "No"])
    s.screenshot("reminder")

    s.a11y.click(s.a11y.find(dialog, name="Yes", role="push button"))
    t_yes = time.monotonic()
    s.a11y.window_gone(MESSAGE, timeout=WAIT)

    # Answered: the installer is left alone while it runs.
    hold("no reminder while the installer runs", lambda: no_reminder(s), 6.5)
    s.end(setup)
    t_end = time.monotonic()
    # The wait ticks every 5,000 ms from the answer; a new installer must start after the tick
    # that saw none, or it would count as the same installation.
    ticks = int((t_end - t_yes) // RESCAN) + 1
    t_tick = t_yes + ticks * RESCAN
    wait_for("the wait to see no installer", lambda: time.monotonic() > t_tick + 1.0,
             timeout=RESCAN + 2, interval=0.05)
    s.start_named_process("NewInstaller.bin")
    t_new = time.monotonic()
    reminder_dialog(s, RESCAN + SLACK)
    t_seen = time.monotonic()
    log("second reminder %.2f s after the first installer ended, %.2f s after the new one" %
        (t_seen - t_end, t_seen - t_new))
    expect(t_seen - t_end <= 2 * RESCAN + SLACK, "second reminder too late")
    dialog = reminder_dialog(s, 1)
    expect_equal(dialog_label(s, dialog), REMINDER.format("NewInstaller.bin"),
                 "second reminder text")


# ---- (c) No, then Create Restore Point -------------------------------------------------------

def journey_installer_no(s, exe, xsel):
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    frame = main_frame(s)
    s.start_named_process("vigsetup")
    dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
    expect_equal(dialog_label(s, dialog), REMINDER.format("vigsetup"), "reminder text")
    s.a11y.press(s.a11y.find(dialog, name="No", role="push button"))

    second = wait_for("the second reminder", lambda: (lambda d: d if dialog_label(s, d) == SECOND
                                                      else None)(reminder_dialog(s, 5)))
    expect_on_top(s, second)
    expect_buttons(s, second, ["Create Restore Point", "OK"])
    s.screenshot("second-reminder")
    s.a11y.click(s.a11y.find(second, name="Create Restore Point", role="push button"))
    ok = s.a11y.window("Restore point Created", role="dialog", timeout=WAIT)
    expect_equal(dialog_label(s, ok), "Restore Point Created Successfully!", "confirmation")
    expect_buttons(s, ok, ["OK"])
    s.screenshot("restore-point-created")
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))
    s.a11y.window_gone("Restore point Created")
    store = os.path.join(s.data, "QMVigilornApp", "restore-points.git")
    expect(os.path.isdir(store), "no restore point store at " + store)
    history = h.run(["git", "--git-dir", store, "log", "--all", "--format=%s%n%b"]).stdout
    expect("QMAutoResPnt" in history, "no QMAutoResPnt point in the store: %r" % history)
    open_menu_item(s, frame, "Restore", "Show Restore Points")
    rp = s.a11y.window("Restore Points", timeout=WAIT)
    s.a11y.press(s.a11y.find(rp, name="Show Current System Restore Points", role="push button"))
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    line = wait_for("the automatic point in the list", lambda: [
        a.name_of(i) for i in a.children(listview) if " : QMAutoResPnt : " in a.name_of(i)])[0]
    expect_point_line(line, "QMAutoResPnt")


def expect_point_line(line, description):
    # "P<n> : <description> : dd/mm/yyyy-hh:mm:ss", in local time, made just now.
    import re
    m = re.fullmatch(r"P(\d+) : (.*) : (\d\d)/(\d\d)/(\d{4})-(\d\d):(\d\d):(\d\d)", line)
    expect(m, "restore point line %r is not P<n> : <description> : dd/mm/yyyy-hh:mm:ss" % line)
    expect_equal(m.group(2), description, "description in %r" % line)
    d, mo, y, hh, mi, ss = (int(g) for g in m.groups()[2:])
    made = time.mktime((y, mo, d, hh, mi, ss, 0, 0, -1))
    expect(abs(time.time() - made) < 120, "restore point %r is not from now" % line)


# ---- (d) the Restore Points window -----------------------------------------------------------

def journey_restore_points(s, exe, xsel):
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    frame = main_frame(s)
    open_menu_item(s, frame, "Restore", "Create New Restore Point")
    rp = s.a11y.window("Restore Points", timeout=WAIT)
    expect_reachable(rp, [
        ("list", "Current Restore Points"), ("text", "Description of New Restore Point"),
        ("push button", "Show Current System Restore Points"),
        ("push button", "Create a New System Restore Point"), ("push button", "Close"),
        ("label", "Description of New Restore Point. (Date & Time appended automatically)")],
        "Restore Points")
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    text1 = s.a11y.find(rp, name="Description of New Restore Point", role="text")
    create = s.a11y.find(rp, name="Create a New System Restore Point", role="push button")
    s.a11y.click(listview)
    order = tab_order(s, rp, 4)
    log("Restore Points Tab order:", order)
    expect_equal(order, ["push button:Show Current System Restore Points",
                         "text:Description of New Restore Point",
                         "push button:Create a New System Restore Point",
                         "list:Current Restore Points"], "Tab order of Restore Points")

    # An empty description is refused.
    s.a11y.click(create)
    err = s.a11y.window("Error!", role="alert", timeout=WAIT)
    expect_equal(dialog_label(s, err), "Enter a name for the restore point!", "error text")
    s.screenshot("restore-points-error")
    s.a11y.press(s.a11y.find(err, name="OK", role="push button"))
    s.a11y.window_gone("Error!")
    expect(not os.path.isdir(os.path.join(s.data, "QMVigilornApp", "restore-points.git")) or
           "Before vigtool" not in h.run(["git", "--git-dir", os.path.join(
               s.data, "QMVigilornApp", "restore-points.git"), "log", "--all"], check=False).stdout,
           "a point was made without a description")

    # A description typed by the user.
    s.a11y.click(text1)
    s.type_text("Before vigtool")
    wait_for("the typed description", lambda: a.text_of(text1) == "Before vigtool")
    s.a11y.click(create)
    ok = s.a11y.window("Restore point Created", role="dialog", timeout=WAIT)
    expect_equal(dialog_label(s, ok), "Restore Point Created Successfully!", "confirmation")
    s.screenshot("restore-point-confirmed")
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))
    line = wait_for("the new point in the list", lambda: [
        a.name_of(i) for i in a.children(listview) if " : Before vigtool : " in a.name_of(i)],
        timeout=WAIT)[0]
    expect_point_line(line, "Before vigtool")
    store = os.path.join(s.data, "QMVigilornApp", "restore-points.git")
    if os.path.isdir(store):  # the built-in store, not snapper
        parts = h.run(["git", "--git-dir", store, "ls-tree", "--name-only", "HEAD"]).stdout.split()
        for part in ("packages", "etc", "config", "left-out.txt"):
            expect(part in parts, "the new point has no %s: %r" % (part, parts))
    s.screenshot("restore-points")
    s.a11y.press(s.a11y.find(rp, name="Close", role="push button"))
    s.a11y.window_gone("Restore Points")


def journey_changes_since_point(s, exe, xsel):
    """A point made, a file added to the configuration folder afterwards: the window of changes
    shows it, and restoring the point takes it away again."""
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    frame = main_frame(s)
    open_menu_item(s, frame, "Restore", "Create New Restore Point")
    rp = s.a11y.window("Restore Points", timeout=10)
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    text1 = s.a11y.find(rp, name="Description of New Restore Point", role="text")
    s.a11y.click(text1)
    s.type_text("Before the journey")
    wait_for("the typed description", lambda: a.text_of(text1) == "Before the journey")
    s.a11y.click(s.a11y.find(rp, name="Create a New System Restore Point", role="push button"))
    ok = s.a11y.window("Restore point Created", role="dialog", timeout=60)
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))

    added = os.path.join(s.config, "journey-tool", "added.ini")
    os.makedirs(os.path.dirname(added))
    with open(added, "w") as f:
        f.write("[x]\ny=1\n")

    item = wait_for("the new point in the list", lambda: [
        i for i in a.children(listview) if " : Before the journey : " in a.name_of(i)],
        timeout=20)[0]
    point = a.name_of(item).split(" : ")[0]
    s.a11y.click(item, repeat=2)
    title = "Changes since " + point
    ch = s.a11y.window(title, timeout=15)
    t = time.monotonic()
    s.a11y.find(ch, name="journey-tool/added.ini", timeout=60)
    log("the added file listed after %.2f s" % (time.monotonic() - t))
    expect_reachable(ch, [("push button", "Restore…"), ("push button", "Close")], title)
    restore = s.a11y.find(ch, name="Restore…", role="push button")
    wait_for("Restore… enabled", lambda: a.enabled(restore), timeout=60)
    s.screenshot("changes-since-point")
    s.a11y.press(restore)
    confirm = s.a11y.window("Restore " + point, timeout=30)
    summary = s.a11y.find(confirm, name="What restoring does")
    log("confirmation:", a.text_of(summary) or a.name_of(summary))
    s.screenshot("restore-confirmation")
    s.a11y.press(s.a11y.find(confirm, name="Restore", role="push button"))
    done = s.a11y.window("Restored", timeout=60)
    s.a11y.press(s.a11y.find(done, name="OK", role="push button"))
    wait_for("the added file removed", lambda: not os.path.exists(added), timeout=30)

    def still_listed():
        try:
            s.a11y.find(ch, name="journey-tool/added.ini", timeout=0.5)
            return True
        except CheckFailed:
            return False
    wait_for("the added file gone from the list", lambda: not still_listed(), timeout=60)
    lines = [a.name_of(i) for i in a.children(listview)]
    log("points now:", lines)
    s.a11y.press(s.a11y.find(ch, name="Close", role="push button"))
    s.a11y.window_gone(title)


def journey_restore_failed_then_ended(s, exe, xsel):
    """A restore that fails (a file of the point is a folder now), then the system ends the
    program while the failure is shown: it ends with status 0 and nothing on standard error of
    a crash. The comparison that follows a restore must not outlive what it reads."""
    import signal
    a = a11y_mod()
    s.start_desktop(xsel)
    s.write_ini(ShowSplashStartUP=0)
    kept = os.path.join(s.config, "journey-tool", "kept.ini")
    os.makedirs(os.path.dirname(kept))
    with open(kept, "w") as f:
        f.write("[x]\ny=1\n")
    errors = os.path.join(s.tmp, "program-stderr.log")
    with open(errors, "w") as err:
        s.app = s.spawn([exe], env=s.program_env(), stderr=err)
    frame = main_frame(s)
    open_menu_item(s, frame, "Restore", "Create New Restore Point")
    rp = s.a11y.window("Restore Points", timeout=WAIT)
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    text1 = s.a11y.find(rp, name="Description of New Restore Point", role="text")
    s.a11y.click(text1)
    s.type_text("Before the folder")
    wait_for("the typed description", lambda: a.text_of(text1) == "Before the folder")
    s.a11y.click(s.a11y.find(rp, name="Create a New System Restore Point", role="push button"))
    ok = s.a11y.window("Restore point Created", role="dialog", timeout=60)
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))

    os.remove(kept)
    os.makedirs(os.path.join(kept, "inside"))
    item = wait_for("the new point in the list", lambda: [
        i for i in a.children(listview) if " : Before the folder : " in a.name_of(i)],
        timeout=20)[0]
    point = a.name_of(item).split(" : ")[0]
    s.a11y.click(item, repeat=2)
    ch = s.a11y.window("Changes since " + point, timeout=15)
    restore = s.a11y.find(ch, name="Restore…", role="push button")
    wait_for("Restore… enabled", lambda: a.enabled(restore), timeout=60)
    s.a11y.press(restore)
    confirm = s.a11y.window("Restore " + point, timeout=30)
    s.a11y.press(s.a11y.find(confirm, name="Restore", role="push button"))
    failed = s.a11y.window("Restore failed", timeout=60)
    text = dialog_label(s, failed)
    expect("it is a folder now" in text, "the failure says: %r" % text)

    app = s.app
    app.send_signal(signal.SIGTERM)
    t = time.monotonic()
    wait_for("the program to end", lambda: app.poll() is not None, timeout=WAIT)
    log("the program ended %.2f s after SIGTERM" % (time.monotonic() - t))
    s.started.remove(app)
    with open(errors) as f:
        stderr = f.read()
    for crash in ("terminate called", "AddressSanitizer", "runtime error"):
        expect(crash not in stderr, "the program's standard error: %s" % stderr[-3000:])
    expect_equal(app.returncode, 0, "exit status after SIGTERM")


# ---- (e) the tray ----------------------------------------------------------------------------

def tray_menu_items(s, icon):
    """Right-clicks the icon and walks the menu with the arrow keys, reading each item."""
    a = s.a11y
    s.click_window(icon, 11, 11, button=3)
    wait_for("the tray menu", s.popup_menus)
    s.screenshot("tray-menu")
    names = []
    for _ in TRAY_ITEMS:
        mark = len(a.focus_log)
        s.key("Down")
        names.append(a.wait_focus_event(mark)[1])
    return names


def journey_tray(s, exe, xsel):
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    frame = main_frame(s)
    expect(s.tray_icon() is None, "a tray icon before Minimise to tray")
    s.a11y.click(s.a11y.find(frame, name="Minimise to tray", role="push button"))
    icon = wait_for("the tray icon", s.tray_icon)
    wait_for("the main window to hide", lambda: not a.showing(main_frame_any(s)))
    expect(not s.program_windows() or all(w["override"] for w in s.program_windows()),
           "a program window is still shown: %r" % s.program_windows())
    s.screenshot("tray-icon")

    s.click_window(icon, 11, 11, repeat=2)
    main_frame(s)
    log("double-click brought the main window back")

    expect_equal(tray_menu_items(s, icon), TRAY_ITEMS, "tray menu items")
    mark = len(s.a11y.focus_log)
    s.key("Down")
    expect_equal(s.a11y.wait_focus_event(mark)[1], "About", "first item again")
    s.key("Return")
    about = wait_for(
        "the About box", lambda: [w for w in s.a11y.windows() if a.showing(w) and
                                  s.a11y.find_all(w, role="label") and
                                  "Version 3.0.4" in [a.name_of(l) for l in
                                                      s.a11y.find_all(w, role="label")]])[0]
    s.screenshot("about")
    about_names = [a.name_of(l) for l in s.a11y.find_all(about, role="label")]
    expect(TITLE in about_names, "About has no %r label: %r" % (TITLE, about_names))
    s.key("Escape")
    wait_for("the tray menu to close", lambda: not s.popup_menus())

    # Exit Program: the process ends and takes its icon along.
    names = tray_menu_items(s, icon)
    expect_equal(names[-1], "Exit Program", "last tray item")
    s.key("Return")
    wait_for("the program to end", lambda: not s.program_alive(), timeout=WAIT)
    expect_equal(s.app.returncode, 0, "exit code")
    wait_for("the tray icon to go", lambda: s.tray_icon() is None, timeout=WAIT)


def main_frame_any(s, required=True):
    a = a11y_mod()
    for w in s.a11y.windows():
        if a.role_of(w) == "frame":
            return w
    if required:
        raise CheckFailed("no main frame on the accessibility bus")
    return None


# ---- (f) start minimised ---------------------------------------------------------------------

def journey_start_minimised(s, exe, xsel):
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=1)
    # The splash stays above every window until it closes itself.
    splash = wait_for("the splash screen", lambda: [w for w in s.program_windows()
                                                     if "SPLASH" in w["type"]], timeout=WAIT)[0]
    wait_for("the splash to close", lambda: not s.viewable(splash["id"]), timeout=3.5 + SLACK)
    frame = main_frame(s)
    open_menu_item(s, frame, "Options", "Program Options")
    opts = s.a11y.window("Options", timeout=WAIT)
    s.screenshot("options")
    boxes = {a.name_of(c): c for c in s.a11y.find_all(opts, role="check box")}
    for want, on in (("Start mimimised to Tray when Windows starts", True),
                     ("Show Splash Screen at StartUp", False)):
        expect(want in boxes, "no check box %r in %r" % (want, sorted(boxes)))
        if bool(a.states(boxes[want]).contains(__import__("pyatspi").STATE_CHECKED)) != on:
            s.a11y.click(boxes[want])
    s.a11y.press(s.a11y.find(opts, name="OK", role="push button"))
    s.a11y.window_gone("Options")
    ini = wait_for("the options saved", lambda: (lambda v: v if v.get(
        "Options/StartMinimised") == "1" else None)(s.read_ini()), timeout=WAIT)
    expect_equal(ini.get("Options/ShowSplashStartUP"), "0", "ShowSplashStartUP saved")
    s.end(s.app)
    t0 = time.monotonic()
    s.start_program(exe)

    icon = wait_for("the tray icon", s.tray_icon, timeout=WAIT)
    s.a11y.app()
    hold("no window and no splash", lambda: not [w for w in s.program_windows()
                                                 if not w["override"]], 1.5)
    s.screenshot("started-minimised")
    s.start_named_process("MySetupTool.exe")
    dialog = reminder_dialog(s, FIRST_SCAN - (time.monotonic() - t0) + SLACK)
    expect_equal(dialog_label(s, dialog), REMINDER.format("MySetupTool.exe"), "reminder text")
    frame = main_frame_any(s, required=False)
    expect(frame is None or not a.showing(frame), "the reminder brought the main window up")
    expect(icon == s.tray_icon(), "the tray icon changed")


# ---- (g) the process grid --------------------------------------------------------------------

def journey_process_grid(s, exe, xsel):
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    victims = [s.start_named_process("vigvictim.bin"), s.start_named_process("vigvictim.bin")]
    cousin = s.start_named_process("vigvictim.other")  # the same name before its first "."
    bystander = s.start_named_process("vigbystander")
    frame = main_frame(s)
    s.a11y.click(s.a11y.find(frame, name="Show running processes", role="push button"))
    grid = s.a11y.find(frame, name="Processes", role="table")
    table = grid.queryTable()
    wait_for("the grid filled", lambda: grid.queryTable().nRows > 3)
    headers = [table.getColumnDescription(c) or a.name_of(table.getColumnHeader(c))
               for c in range(table.nColumns)]
    expect_equal(headers, ["Process", "User", "PID"], "grid headers")
    rows = {}
    for r in range(table.nRows):
        cells = [a.name_of(table.getAccessibleAt(r, c)) for c in range(3)]
        rows[cells[2]] = cells
    for p, name in [(victims[0], "vigvictim.bin"), (cousin, "vigvictim.other"),
                    (bystander, "vigbystander"), (s.app, "QMVigilornApp")]:
        expect_equal(rows.get(str(p.pid)), [name, "root" if os.getuid() == 0 else
                                            __import__("pwd").getpwuid(os.getuid()).pw_name,
                                            str(p.pid)], "grid row of PID %d" % p.pid)
    s.screenshot("process-grid")

    # Select the victim's cell: click the grid, then type the name to jump to it.
    s.a11y.click(table.getAccessibleAt(0, 0))
    s.type_text("vigvictim.b")

    def victim_cell():
        t = grid.queryTable()
        for r in range(t.nRows):
            c = t.getAccessibleAt(r, 0)
            if a.name_of(c) == "vigvictim.bin" and a.states(c).contains(
                    __import__("pyatspi").STATE_SELECTED):
                return c
        return None
    cell = wait_for("the victim's cell selected", victim_cell)
    s.a11y.click(cell, button=3)
    wait_for("the process menu", s.popup_menus)
    # The menu is mapped before it has the keyboard; with one item, Down again lands on the
    # same item, so a press that came too early is simply repeated.
    focused = None
    deadline = time.monotonic() + WAIT
    while focused is None:
        mark = len(s.a11y.focus_log)
        s.key("Down")
        try:
            focused = s.a11y.wait_focus_event(mark, timeout=QUIET)
        except CheckFailed:
            if time.monotonic() > deadline:
                raise
    expect_equal(focused[1], "Kill Selected Process", "process menu item")
    s.screenshot("process-menu")
    s.key("Return")
    box = s.a11y.window("Kill Process?", role="alert", timeout=WAIT)
    expect_equal(dialog_label(s, box),
                 "Are you sure you want to Kill the Process: vigvictim.bin?\nThis can cause "
                 "un-desirable results!\nThis will stop ALL instances of the selected process!",
                 "kill question")
    expect_buttons(s, box, ["OK", "Cancel"])
    s.screenshot("kill-question")
    s.a11y.press(s.a11y.find(box, name="OK", role="push button"))
    for v in victims + [cousin]:
        # poll() reaps: the harness is their parent, as a shell would be.
        wait_for("PID %d to end" % v.pid, lambda: v.poll() is not None, timeout=WAIT)
        expect_equal(v.returncode, -15, "how PID %d ended" % v.pid)
    hold("the bystander alive", lambda: h.alive(bystander.pid), 1.0)
    # The grid is refreshed at once, maybe before the ends were seen: list again.
    s.a11y.press(s.a11y.find(frame, name="Show running processes", role="push button"))

    def names_listed():
        t = grid.queryTable()
        return [a.name_of(t.getAccessibleAt(r, 0)) for r in range(t.nRows)]
    listed = wait_for("the grid listed again", lambda: (lambda n: n if "vigbystander" in n and
                                                        not any(x.startswith("vigvictim") for x in n)
                                                        else None)(names_listed()))
    expect("QMVigilornApp" in listed, "the program is missing from the grid: %r" % listed)

# ---- accessibility ---------------------------------------------------------------------------

MAIN_NAMES = [
    ("push button", "Show running processes"), ("push button", "Show form border"),
    ("push button", "Hide form border"), ("push button", "Minimise to tray"),
    ("table", "Processes"), ("menu bar", ""), ("menu item", TITLE + "               "),
    ("menu item", "File"), ("menu item", "Exit"), ("menu item", "Options"),
    ("menu item", "Program Options"), ("menu item", "Restore"),
    ("menu item", "Show Restore Points"), ("menu item", "Create New Restore Point"),
    ("menu item", "Help"), ("menu item", "Program Help"), ("menu item", "About"),
    ("menu item", "Updates"), ("menu item", "Check at www.quillmere.com")]


def named_controls(window):
    a = a11y_mod()
    return {(a.role_of(c), a.name_of(c)) for c, _ in a.walk(window)}


def expect_reachable(window, wanted, what):
    got = named_controls(window)
    missing = [w for w in wanted if w not in got]
    expect(not missing, "%s: not on the accessibility bus: %r" % (what, missing))


def journey_accessibility(s, exe, xsel):
    a = a11y_mod()
    t0 = start(s, exe, xsel)
    splash = wait_for("the splash on the bus", lambda: [
        w for w in s.a11y.windows() if a.showing(w) and a.role_of(w) != "frame"])[0]
    log("splash on the bus as %s %r with %d children" % (a.role_of(splash), a.name_of(splash),
                                                       splash.childCount))
    frame = main_frame(s)
    expect_reachable(frame, MAIN_NAMES, "main window")
    victim = s.start_named_process("vigkeep.bin")
    setup = s.start_named_process("MySetupTool.exe")

    # The grid: each cell's text.
    s.a11y.press(s.a11y.find(frame, name="Show running processes", role="push button"))
    grid = s.a11y.find(frame, name="Processes", role="table")
    wait_for("the grid filled", lambda: grid.queryTable().nRows > 3)
    cells = {a.name_of(c) for c in s.a11y.find_all(grid, role="table cell", visible=False)}
    expect({"vigkeep.bin", "root", str(victim.pid)} <= cells, "grid cells: %r" % sorted(cells))
    # Keyboard: Tab from the grid goes around the main window's controls.
    s.a11y.click(grid.queryTable().getAccessibleAt(0, 0))
    log("main window Tab order:", tab_order(s, frame, 3))

    # The kill question, answered Cancel: nothing ends.
    s.a11y.click(grid.queryTable().getAccessibleAt(0, 0))
    s.type_text("vigkeep")
    cell = wait_for("the cell selected", lambda: [
        c for c in s.a11y.find_all(grid, role="table cell") if a.name_of(c) == "vigkeep.bin" and
        a.states(c).contains(__import__("pyatspi").STATE_SELECTED)])[0]
    s.a11y.click(cell, button=3)
    wait_for("the process menu", s.popup_menus)
    s.key("Down", "Return")
    box = s.a11y.window("Kill Process?", role="alert", timeout=WAIT)
    expect_reachable(box, [("push button", "OK"), ("push button", "Cancel")], "Kill Process?")
    expect(any(a.text_of(l).startswith("Are you sure you want to Kill the Process: vigkeep.bin?")
               for l in s.a11y.find_all(box, role="label")), "the question is not readable")
    order = tab_order(s, box, 3)
    log("Kill Process? Tab order:", order)
    ok, cancel = "push button:OK", "push button:Cancel"
    expect_equal(order, [ok, cancel, ok] if order[0] == ok else [cancel, ok, cancel],
                 "Tab order of Kill Process?")
    s.a11y.press(s.a11y.find(box, name="Cancel", role="push button"))
    s.a11y.window_gone("Kill Process?")
    hold("the process kept after Cancel", lambda: h.alive(victim.pid), 1.0)

    # The reminders.
    dialog = reminder_dialog(s, FIRST_SCAN - (time.monotonic() - t0) + SLACK)
    labels = s.a11y.find_all(dialog, role="label")
    raw = a.text_of(labels[0])
    log("reminder label as the bus gives it: %r" % raw)
    expect_equal(norm(raw), REMINDER.format("MySetupTool.exe"), "reminder label")
    expect_reachable(dialog, [("push button", "Yes"), ("push button", "No")], "reminder")
    log("reminder Tab order:", tab_order(s, dialog, 2))
    s.a11y.press(s.a11y.find(dialog, name="No", role="push button"))
    second = wait_for("the second reminder", lambda: [
        d for d in s.a11y.windows() if a.showing(d) and a.name_of(d) == MESSAGE and
        any(norm(a.text_of(l)) == SECOND for l in s.a11y.find_all(d, role="label"))])[0]
    expect_reachable(second, [("push button", "Create Restore Point"), ("push button", "OK")],
                     "second reminder")
    log("second reminder Tab order:", tab_order(s, second, 2))
    s.a11y.press(s.a11y.find(second, name="OK", role="push button"))
    s.a11y.window_gone(MESSAGE)
    s.end(setup)


# ---- help, from the installed program --------------------------------------------------------

def help_text(s, frame):
    a = a11y_mod()
    open_menu_item(s, frame, "Help", "Program Help")
    win = s.a11y.window("Help", timeout=WAIT)
    doc = wait_for("the help document", lambda: [
        c for c, _ in a.walk(win) if a.role_of(c) in ("text", "label", "document text", "document frame")
        and len(a.text_of(c)) > 40])[0]
    return win, a.text_of(doc)


def journey_installed_help(s, exe, xsel):
    """Run by package.sh: exe is the unpacked program, its share/ seen at its prefix."""
    start(s, exe, xsel, ShowSplashStartUP=0)
    expect(not os.path.exists(os.path.join(os.path.dirname(exe), "help_and_license.rtf")),
           "a help file beside the unpacked program would hide the installed one")
    win, text = help_text(s, main_frame(s))
    s.screenshot("help-installed")
    expect("Vigilorn" in text, "the help document does not name the program: %r" % text[:200])
    expect("\\rtf" not in text and "{\\" not in text, "the help shows raw RTF: %r" % text[:200])


OPTION_ROWS = ["Auto Run when Windows starts", "Start mimimised to Tray when Windows starts",
               "Show Splash Screen at StartUp", "Show Main Screen Border at StartUp"]


def journey_dialogs_accessibility(s, exe, xsel):
    """Options, About and Help: every control on the bus under its text, Tab order, pictures."""
    a = a11y_mod()
    start(s, exe, xsel, ShowSplashStartUP=0)
    frame = main_frame(s)

    open_menu_item(s, frame, "Options", "Program Options")
    opts = s.a11y.window("Options", timeout=WAIT)
    wanted = [("label", t) for t in OPTION_ROWS] + [("check box", t) for t in OPTION_ROWS]
    wanted += [("label", "Select your own message to appear in the second message box"),
               ("push button", "OK"), ("push button", "Apply"), ("push button", "Cancel")]
    expect_reachable(opts, wanted, "Options")
    boxes = [c for c in s.a11y.find_all(opts, role="check box")]
    expect_equal([a.name_of(b) for b in boxes], OPTION_ROWS, "check boxes, top to bottom")
    s.a11y.click(boxes[0])  # focus the first box, then Tab through the rest
    s.a11y.click(boxes[0])  # and put it back as it was
    order = tab_order(s, opts, 4)
    log("Options Tab order:", order)
    expect_equal(order[:3], ["check box:" + t for t in OPTION_ROWS[1:]], "Tab order of Options")
    s.screenshot("options-window")
    s.a11y.press(s.a11y.find(opts, name="Cancel", role="push button"))
    s.a11y.window_gone("Options")
    expect("Options/RunAtStartUP" not in s.read_ini(), "Cancel saved the options")

    open_menu_item(s, frame, "Help", "About")
    about = wait_for("the About box", lambda: [
        d for d in s.a11y.windows() if a.showing(d) and a.name_of(d) in ("", "About Quillmere Vigilorn")
        and any(a.text_of(l) == "Version 3.0.4" for l in s.a11y.find_all(d, role="label"))])[0]
    expect_reachable(about, [("label", TITLE), ("label", "Version 3.0.4"),
                             ("label", "Monitors your system for Installs and SetUps and reminds "
                                       "you to create a System Restore Point"),
                             ("push button", "Ok"), ("push button", "System Info")], "About")
    expect_equal(x_window_of(s, about)["name"], "", "_NET_WM_NAME of the About box")
    log("About Tab order:", tab_order(s, about, 3))
    s.screenshot("about-box")
    s.key("Escape")
    wait_for("the About box to close", lambda: not a.showing(about), timeout=WAIT)

    win, text = help_text(s, frame)
    expect(text.startswith(TITLE), "the help document begins %r" % text[:60])
    s.screenshot("help")
    s.key("Escape")
    s.a11y.window_gone("Help")


# ---- package managers and PackageKit ---------------------------------------------------------

def needs_root(what):
    if os.geteuid() != 0:
        log("SKIP: %s runs a real package manager, which needs root" % what)
        return True
    return False


def probe_install(s, exe, xsel, args, name):
    """Installs the probe with a real package manager; the reminder must name it within the
    first interval, and Yes must wait while it runs."""
    import packages
    probe = packages.Probe(s)
    probe.build()
    t0 = start(s, exe, xsel, ShowSplashStartUP=0)
    main_frame(s)
    try:
        t_run = probe.start(args + [probe.deb])
        dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
        t_seen = time.monotonic()
        log("reminder %.2f s after start, %.2f s after %s began" % (t_seen - t0, t_seen - t_run,
                                                                   name))
        expect(t_seen - t_run <= FIRST_SCAN + SLACK, "reminder too late after %s began" % name)
        expect_equal(dialog_label(s, dialog), REMINDER.format(name), "reminder text")
        s.screenshot("reminder-" + name)
        s.a11y.click(s.a11y.find(dialog, name="Yes", role="push button"))
        s.a11y.window_gone(MESSAGE, timeout=5)
        # A watch that let it go would resume detection 5 s later and remind again 5 s after.
        hold("no reminder while %s runs" % name, lambda: no_reminder(s), 2 * RESCAN + SLACK)
        expect_equal(probe.finish(), 0, "exit code of " + name)
        expect(probe.installed(), "the probe package was not installed")
    finally:
        probe.close()
    expect(not probe.installed(), "the probe package is still installed")


def journey_dpkg_install(s, exe, xsel):
    if needs_root("dpkg -i"):
        return 77
    probe_install(s, exe, xsel, ["dpkg", "-i"], "dpkg")


def journey_apt_install(s, exe, xsel):
    if needs_root("apt-get install"):
        return 77
    # apt-get runs dpkg below it; apt-get comes first in the process list.
    probe_install(s, exe, xsel, ["apt-get", "install", "-y"], "apt-get")


def journey_packagekit(s, exe, xsel):
    import packages
    install_packages, update_packages = 11, 22
    s.start_desktop(xsel)
    s.write_ini(ShowSplashStartUP=0)
    bus = packages.PrivateSystemBus(s)
    bus.set_transactions([(install_packages, 0)])
    t0 = time.monotonic()
    s.start_program(exe, {"DBUS_SYSTEM_BUS_ADDRESS": bus.address})
    main_frame(s)
    dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
    log("reminder %.2f s after start" % (time.monotonic() - t0))
    expect_equal(dialog_label(s, dialog), REMINDER.format("packagekitd"), "reminder text")
    s.screenshot("reminder-packagekitd")
    s.a11y.click(s.a11y.find(dialog, name="Yes", role="push button"))
    s.a11y.window_gone(MESSAGE, timeout=5)

    # Yes waits while the transaction is listed: a watch that let it go would resume detection
    # and remind again within two ticks.
    hold("no reminder while the transaction runs", lambda: no_reminder(s), 2 * RESCAN + SLACK)
    expect(any(n == 1 for _, n in bus.calls()), "the daemon was never asked")
    bus.set_transactions([])
    t_empty = time.monotonic()
    # The follow-up pass that sees the empty list ends the watch; detection resumes 5 s later.
    wait_for("a pass to see the empty list",
             lambda: any(t > t_empty and n == 0 for t, n in bus.calls()), timeout=RESCAN + SLACK)
    bus.set_transactions([(update_packages, 0)])
    t_new = time.monotonic()
    reminder_dialog(s, RESCAN + SLACK)
    log("reminder for the update %.2f s after it was listed" % (time.monotonic() - t_new))
    expect_equal(dialog_label(s, reminder_dialog(s, 1)), REMINDER.format("packagekitd"),
                 "reminder text for the update")
# ---- one copy per user and display ----------------------------------------------------------

def own_windows(s):
    """The program's managed windows on screen (no menus, tool tips or tray icon)."""
    return [w for w in s.program_windows() if not w["override"]]


def expect_told(s, exe, frame_wanted=True):
    """A further start: it ends with 0 and the running copy's main window comes up."""
    a = a11y_mod()
    again = s.start_again(exe)
    wait_for("the further start to end", lambda: again.poll() is not None, timeout=20)
    expect_equal(again.returncode, 0, "exit code of the further start")
    frame = wait_for("the running copy's main window", lambda: (lambda f: f if f and
                     a.showing(f) else None)(main_frame_any(s, required=False)), timeout=10)
    expect(s.program_alive(), "the running copy ended")
    expect_equal(h.pids_named("QMVigilornApp"), [s.app.pid], "copies running")
    return frame


def journey_single_instance(s, exe, xsel):
    start(s, exe, xsel, ShowSplashStartUP=0, StartMinimised=1)
    icon = wait_for("the tray icon", s.tray_icon, timeout=15)
    s.a11y.app()
    expect(not own_windows(s), "a window of the minimised copy shows: %r" % own_windows(s))
    expect_told(s, exe)
    expect_equal(s.tray_icon(), icon, "the tray icon after the further start")
    s.screenshot("single-instance")
    locks = [f for f in os.listdir(s.runtime)
             if f.startswith(h.PROGRAM_CLASS) and f.endswith(".lock")]
    expect(len(locks) == 1, "lock files in the runtime folder: %r" % os.listdir(s.runtime))

    # Killed outright, the copy leaves its lock and socket behind; the next start runs anyway.
    first = s.app
    os.kill(first.pid, 9)
    wait_for("the killed copy to go", lambda: first.poll() is not None, timeout=10)
    s.started.remove(first)
    expect(os.path.exists(os.path.join(s.runtime, locks[0])), "the lock went with the copy")
    wait_for("the old icon to go", lambda: s.tray_icon() is None, timeout=10)
    s.start_program(exe)
    wait_for("the new copy's tray icon", s.tray_icon, timeout=15)
    hold("the new copy running", s.program_alive, 1.5)
    expect_told(s, exe)


# ---- waiting for the tray at start-up --------------------------------------------------------

def journey_tray_wait(s, exe, xsel):
    t0 = start(s, exe, xsel, tray=False, ShowSplashStartUP=0, StartMinimised=1)
    s.a11y.app()
    hold("nothing shown while the tray is missing", lambda: not own_windows(s), 3.0)
    expect(s.program_alive(), "the program ended without a tray")
    s.start_tray(xsel)
    t_tray = time.monotonic()
    icon = wait_for("the tray icon", s.tray_icon, timeout=10)
    log("icon attached %.2f s after the tray came, %.2f s after start" %
        (time.monotonic() - t_tray, time.monotonic() - t0))
    s.screenshot("tray-late")
    # A box could only come at the end of the wait: look past it.
    hold("no box and no window once the icon is there", lambda: not own_windows(s),
         max(0.0, t0 + 34.0 - time.monotonic()))
    expect_equal(s.tray_icon(), icon, "the tray icon")
    expect(s.program_alive(), "the program ended")
    s.click_window(icon, 11, 11, repeat=2)
    main_frame(s)


def journey_tray_absent(s, exe, xsel):
    t0 = start(s, exe, xsel, tray=False, ShowSplashStartUP=0, StartMinimised=1)
    s.a11y.app()
    hold("nothing shown during the wait", lambda: not own_windows(s),
         max(0.0, t0 + 29.0 - time.monotonic()))
    box = s.a11y.window(TITLE, role="alert", timeout=20)
    t_box = time.monotonic() - t0
    log("task bar box %.2f s after start" % t_box)
    expect(t_box >= 30.0, "the box came %.2f s after start, before the 30 s wait" % t_box)
    expect_equal(dialog_label(s, box), "This desktop has no notification area, so Quillmere "
                 "Vigilorn stays on the task bar instead.", "box text")
    s.screenshot("no-tray")
    s.a11y.press(s.a11y.find(box, name="OK", role="push button"))
    s.a11y.window_gone(TITLE, role="alert")
    win = wait_for("the main window minimised on the task bar", lambda: [
        w for w in s.xdotool("search", "--all", "--class", "^%s$" % h.PROGRAM_CLASS,
                             check=False).split()
        if "_NET_WM_STATE_HIDDEN" in s.xprop(w, "_NET_WM_STATE")], timeout=10)
    log("minimised windows:", win)
    hold("no second box", lambda: not [n for n, r in s.a11y.visible_windows() if r == "alert"],
         3.0)


# ---- StatusNotifierItem ----------------------------------------------------------------------

SNI_MENU = ["About", "_Show Main", "_Check for Updates", "E_xit Program"]


def journey_sni(s, exe, xsel):
    import json
    import dbus
    s.start_desktop(xsel, tray=False)
    report = os.path.join(s.tmp, "sni.json")
    s.spawn(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              "sniwatcher.py"), report], env=s.env)
    bus = dbus.bus.BusConnection(s.env["DBUS_SESSION_BUS_ADDRESS"])
    wait_for("the watcher on the bus",
             lambda: bus.name_has_owner("org.kde.StatusNotifierWatcher"), timeout=10)
    s.write_ini(ShowSplashStartUP=0, StartMinimised=1)
    s.start_program(exe)

    def registered():
        with open(report) as f:
            return json.load(f)["registrations"]
    regs = wait_for("the item to register", registered, timeout=20)
    expect_equal(len(regs), 1, "registrations")
    item = regs[0]
    log("item:", item["name"], item["path"])
    expect("error" not in item, "reading the item failed: %s" % item.get("error"))
    props = item["properties"]
    tooltip = props.get("ToolTip")
    expect(tooltip and tooltip[2] == TITLE, "tool tip %r" % (tooltip,))
    expect_equal(props.get("Status"), "Active", "Status")
    expect_equal(props.get("ItemIsMenu"), False, "ItemIsMenu")
    labels = [i["props"].get("label") for i in item.get("menu", [])
              if i["props"].get("visible", True) and i["props"].get("type") != "separator"]
    expect_equal(labels, SNI_MENU, "the exported menu")
    expect(s.tray_icon() is None and not own_windows(s), "something shows besides the item")

    sni = bus.get_object(item["name"], item["path"])
    # The host's activation, its left click, shows the main window.
    sni.Activate(dbus.Int32(20), dbus.Int32(20), dbus_interface="org.kde.StatusNotifierItem")
    frame = main_frame(s)
    s.screenshot("sni-activated")
    s.a11y.click(s.a11y.find(frame, name="Minimise to tray", role="push button"))
    a = a11y_mod()
    wait_for("the main window to hide", lambda: not a.showing(frame))
    sni.Activate(dbus.Int32(20), dbus.Int32(20), dbus_interface="org.kde.StatusNotifierItem")
    main_frame(s)

    # The exported Exit Program ends the program, as the tray menu's does.
    menu = bus.get_object(item["name"], props["Menu"])
    exit_id = [i["id"] for i in item["menu"] if i["props"].get("label") == "E_xit Program"][0]
    menu.Event(dbus.Int32(exit_id), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
               dbus_interface="com.canonical.dbusmenu")
    wait_for("the program to end", lambda: not s.program_alive(), timeout=10)
    expect_equal(s.app.returncode, 0, "exit code")


# ---- a Wayland desktop with Xwayland ---------------------------------------------------------

def journey_wayland_session(s, exe, xsel):
    """Under a Wayland compositor the program goes through Xwayland unless told otherwise, so
    that its reminders can stay on top."""
    a = a11y_mod()
    s.start_desktop(xsel, desktop="weston")
    s.write_ini(ShowSplashStartUP=0)
    expect("QT_QPA_PLATFORM" not in s.program_env(), "the harness chose the platform")
    s.start_program(exe)
    # weston places its X windows away from where the accessibility bus says they are, so the
    # placement wait of main_frame() cannot hold here; the X window is waited for by itself.
    frame = s.a11y.window("", role="frame")
    wait_for("the main window as an X window", lambda: own_windows(s), timeout=WAIT)
    s.start_named_process("MySetupTool.exe")
    dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
    # An X window, so the X stacking rules apply to it. weston's own X window manager keeps no
    # _NET_WM_STATE at all (it clears the program's _NET_WM_STATE_ABOVE), so whether it stays
    # on top is for the desktops whose Xwayland window manager keeps that state.
    wait_for("the reminder as an X window",
             lambda: [w for w in own_windows(s) if w["name"] == MESSAGE], timeout=10)
    s.screenshot("wayland-reminder")
    s.a11y.press(s.a11y.find(dialog, name="Yes", role="push button"))
    s.a11y.window_gone(MESSAGE)
    expect(a.showing(frame), "the main window went")
    s.end(s.app)

    # A platform the user names is kept: on Wayland itself there is no X window at all.
    s.start_program(exe, {"QT_QPA_PLATFORM": "wayland"})
    wait_for("the main window on the accessibility bus", lambda: (lambda f: f if f and
             a.showing(f) else None)(main_frame_any(s, required=False)), timeout=20)
    hold("no X window when Wayland was asked for", lambda: s.program_alive() and
         not own_windows(s), 2.0)


# ---- the package hook, in a throw-away copy of the system ------------------------------------

POINTS_DIR = "/var/lib/qmvigilorn"
POINTS_LIST = os.path.join(POINTS_DIR, "points.list")
POINTS_GIT = os.path.join(POINTS_DIR, "points.git")
POINTS_BRANCH = "restore-points"
RUN_USER = "/run/user/0"
APT_SNIPPET = "/etc/apt/apt.conf.d/80qmvigilorn"
DPKG_SNIPPET = "/etc/dpkg/dpkg.cfg.d/qmvigilorn"


def in_throwaway_system():
    """run-journey.sh chroots the hook journeys into an overlay of /; nothing else may get the
    hook installed."""
    with open("/proc/self/mounts") as f:
        roots = [line.split()[2] for line in f if line.split()[1] == "/"]
    return bool(roots) and roots[-1] == "overlay"


def install_root_side(names=("VIGILORN_HOOK", "VIGILORN_SYSTEM")):
    """The built hook and point maker where the package puts them, root's and 0755."""
    import shutil
    expect(in_throwaway_system(), "not in a throw-away copy of the system: the hook stays out")
    libexec = os.environ["VIGILORN_LIBEXEC"]
    os.makedirs(libexec, exist_ok=True)
    for var in names:
        target = os.path.join(libexec, os.path.basename(os.environ[var]))
        shutil.copyfile(os.environ[var], target)
        os.chmod(target, 0o755)
    return libexec


def install_hooks():
    libexec = install_root_side()
    hook = os.path.join(libexec, "qmvigilorn-hook")
    for name, target in (("80qmvigilorn", APT_SNIPPET), ("qmvigilorn", DPKG_SNIPPET)):
        with open(os.path.join(os.environ["VIGILORN_HOOK_SNIPPETS"], name)) as f:
            text = f.read()
        expect(hook in text, "%s does not start %s: %r" % (name, hook, text))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write(text)
    log("hook installed in", libexec)


def remove_hook_snippets():
    for target in (APT_SNIPPET, DPKG_SNIPPET):
        os.remove(target)


def hook_probe(s):
    """The probe package, its preinst let go from the start: only the hook may hold it up."""
    import packages
    probe = packages.Probe(s)
    probe.build()
    open(probe.release_mark, "w").close()
    expect(not probe.installed(), "the probe is installed before the journey")
    return probe


def start_for_hook(s, exe, xsel):
    """The program as root's, where the hook looks for it: a socket in /run/user/0."""
    import glob
    os.makedirs(RUN_USER, exist_ok=True)
    os.chmod(RUN_USER, 0o700)
    s.runtime = RUN_USER
    start(s, exe, xsel, ShowSplashStartUP=0)
    main_frame(s)
    sockets = wait_for("the program's socket in " + RUN_USER, lambda: glob.glob(
        os.path.join(RUN_USER, h.PROGRAM_CLASS + "-*.socket")), timeout=WAIT)
    log("program listens on", sockets)


class Install:
    """A package manager run on the probe as sudo from root would start it."""

    def __init__(self, s, args):
        import packages
        import subprocess
        self.s, self.args = s, args
        self.out = os.path.join(s.tmp, "install-%d.log" % len(s.started))
        env = dict(packages.Probe.env(), SUDO_UID="0")
        log("running", " ".join(args))
        with open(self.out, "w") as f:
            self.proc = s.spawn(args, env=env, stdout=f, stderr=subprocess.STDOUT)
        self.t0 = time.monotonic()

    def running(self):
        return self.proc.poll() is None

    def finish(self, timeout=WAIT):
        wait_for("%s to end" % self.args[0], lambda: not self.running(), timeout=timeout)
        took = time.monotonic() - self.t0
        self.s.started.remove(self.proc)
        with open(self.out) as f:
            output = f.read()
        expect_equal(self.proc.returncode, 0, "exit code of %s (output: %s)" % (
            " ".join(self.args), output.strip()))
        return took, output


def points():
    """points.list as (number, time, description, actions) rows."""
    if not os.path.exists(POINTS_LIST):
        return []
    with open(POINTS_LIST) as f:
        return [tuple((line.rstrip("\n").split("\t") + [""] * 4)[:4]) for line in f if line.strip()]


def held_reminder(s, install, probe, name):
    """The reminder for the held installation, and the installation waiting while it is up."""
    dialog = reminder_dialog(s, WAIT)
    log("reminder %.2f s after %s began" % (time.monotonic() - install.t0, name))
    expect_equal(dialog_label(s, dialog), REMINDER.format(name), "reminder text")
    hold("%s held before dpkg changes anything while the reminder is up" % name,
         lambda: install.running() and not probe.installed() and
         not os.path.exists(probe.started) and not no_reminder(s), 4.0, interval=0.5)
    return dialog


def hook_hold(s, exe, xsel, args, name):
    probe = hook_probe(s)
    install_hooks()
    start_for_hook(s, exe, xsel)
    install = Install(s, args + [probe.deb])
    dialog = held_reminder(s, install, probe, name)
    s.screenshot("hook-reminder-" + name)
    s.a11y.click(s.a11y.find(dialog, name="Yes", role="push button"))
    t_yes = time.monotonic()
    took, _ = install.finish()
    log("%s ended %.2f s after Yes" % (name, time.monotonic() - t_yes))
    expect(probe.installed(), "the probe package was not installed")
    expect_equal(points(), [], "points made after Yes")


def journey_hook_apt_hold(s, exe, xsel):
    hook_hold(s, exe, xsel, ["apt-get", "install", "-y"], "apt-get")


def journey_hook_dpkg_hold(s, exe, xsel):
    hook_hold(s, exe, xsel, ["dpkg", "-i"], "dpkg")


def journey_hook_point_before(s, exe, xsel):
    import packages
    probe = hook_probe(s)
    install_hooks()
    start_for_hook(s, exe, xsel)
    install = Install(s, ["apt-get", "install", "-y", probe.deb])
    dialog = held_reminder(s, install, probe, "apt-get")
    s.a11y.press(s.a11y.find(dialog, name="No", role="push button"))
    second = wait_for("the second reminder", lambda: (lambda d: d if dialog_label(s, d) == SECOND
                                                      else None)(reminder_dialog(s, 5)))
    expect(install.running() and not probe.installed(), "the installation went on after No")
    s.a11y.click(s.a11y.find(second, name="Create Restore Point", role="push button"))
    t_asked = time.monotonic()
    ok = s.a11y.window("Restore point Created", role="dialog", timeout=WAIT)
    log("confirmation %.2f s after Create Restore Point" % (time.monotonic() - t_asked))
    expect_equal(dialog_label(s, ok), "Restore Point Created Successfully!", "confirmation")
    s.screenshot("hook-point-created")
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))
    install.finish()
    log("apt-get ended %.2f s after Create Restore Point" % (time.monotonic() - t_asked))
    expect(probe.installed(), "the probe package was not installed")

    made = points()
    log("points.list:", made)
    expect_equal([p[2] for p in made], ["QMAutoResPnt"], "descriptions in points.list")
    expect(packages.PROBE in made[0][3], "the point does not name the change: %r" % (made[0],))
    listed = h.run(["git", "--git-dir", POINTS_GIT, "show",
                    POINTS_BRANCH + ":packages/dpkg"]).stdout
    names = [line.split()[0] for line in listed.splitlines() if line.strip()]
    expect("dpkg" in names, "the point's package list lacks dpkg itself: %r" % listed[:200])
    expect(packages.PROBE not in names, "the point lists the probe: made after the install")


def journey_hook_program_killed(s, exe, xsel):
    import signal
    probe = hook_probe(s)
    install_hooks()
    start_for_hook(s, exe, xsel)
    args = ["apt-get", "install", "-y", probe.deb]
    install = Install(s, args)
    held_reminder(s, install, probe, "apt-get")
    app = s.app
    os.kill(app.pid, signal.SIGKILL)
    t_kill = time.monotonic()
    wait_for("the program to go", lambda: app.poll() is not None, timeout=10)
    s.started.remove(app)
    wait_for("the probe's preinst to run", lambda: os.path.exists(probe.started) or
             not install.running(), timeout=WAIT)
    went_on = time.monotonic() - t_kill
    log("dpkg went on %.2f s after the program was killed" % went_on)
    # The hook sees the connection close at once; what is left is making the point.
    expect(went_on <= 15.0, "dpkg went on only %.2f s after the program was killed" % went_on)
    install.finish()
    log("apt-get ended %.2f s after the program was killed" % (time.monotonic() - t_kill))
    expect(probe.installed(), "the probe package was not installed")
    made = points()
    log("points.list:", made)
    # The public list names the change by its packages; root's command line stays in the point.
    expect_equal([p[2] for p in made], ["apt-get install vigilorn-e2e-probe"],
                 "descriptions in points.list")


def journey_hook_no_program(s, exe, xsel):
    probe = hook_probe(s)
    install_hooks()
    args = ["apt-get", "install", "-y", probe.deb]
    took, _ = Install(s, args).finish()
    expect(probe.installed(), "the probe package was not installed")
    made = points()
    log("points.list:", made)
    # The public list names the change by its packages; root's command line stays in the point.
    expect_equal([p[2] for p in made], ["apt-get install vigilorn-e2e-probe"],
                 "descriptions in points.list")

    remove_hook_snippets()
    again = ["apt-get", "install", "-y", "--reinstall", probe.deb]
    took_bare, _ = Install(s, again).finish()
    expect_equal(points(), made, "points.list after a run without the hook")
    log("apt-get install with the hook and no program: %.2f s; reinstall without the hook: "
        "%.2f s; the hook added about %.2f s" % (took, took_bare, took - took_bare))


def journey_hook_restore(s, exe, xsel):
    """A point the hook made before an upgrade, listed in the Restore Points window; Restore…
    goes back to it as root, and the package is at its old version again."""
    a = a11y_mod()
    probe = hook_probe(s)
    h.run(probe.isolated(["dpkg", "-i", probe.deb]), env=probe.env(), timeout=120)
    expect_equal(probe.version(), "1.0", "the probe's version before the upgrade")
    newer = probe.build("2.0")
    install_hooks()
    # No program is running: the hook makes its point by itself, before dpkg starts.
    args = ["apt-get", "install", "-y", newer]
    Install(s, args).finish(timeout=300)
    expect_equal(probe.version(), "2.0", "the probe's version after the upgrade")
    made = points()
    log("points.list:", made)
    expect_equal([p[2] for p in made], ["apt-get upgrade vigilorn-e2e-probe"],
                 "descriptions in points.list")
    point = "P" + made[0][0]

    start_for_hook(s, exe, xsel)
    frame = main_frame(s)
    open_menu_item(s, frame, "Restore", "Create New Restore Point")
    rp = s.a11y.window("Restore Points", timeout=WAIT)
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    s.a11y.press(s.a11y.find(rp, name="Show Current System Restore Points", role="push button"))
    item = wait_for("the hook's point in the list", lambda: [
        i for i in a.children(listview) if a.name_of(i).startswith(point + " : ")],
        timeout=WAIT)[0]
    expect_point_line(a.name_of(item), "apt-get upgrade vigilorn-e2e-probe")
    s.a11y.click(item, repeat=2)
    ch = s.a11y.window("Changes since " + point, timeout=WAIT)
    restore = s.a11y.find(ch, name="Restore…", role="push button")
    wait_for("Restore… enabled", lambda: a.enabled(restore), timeout=60)
    s.a11y.press(restore)
    win = s.a11y.window("Restore " + point, timeout=WAIT)
    expect_reachable(win, [("push button", "Restore"), ("push button", "Cancel"),
                           ("label", "Restore status")], "Restore " + point)
    s.screenshot("hook-restore-confirmation")
    # The restore's own dpkg waits in the probe's preinst until the journey lets it go, so that
    # its package runs are there for the monitor to see.
    os.remove(probe.release_mark)
    if os.path.exists(probe.started):
        os.remove(probe.started)
    s.a11y.press(s.a11y.find(win, name="Restore", role="push button"))
    t0 = time.monotonic()
    close = s.a11y.find(win, name="Close", role="push button")
    wait_for("the restore's dpkg in the probe's preinst", lambda: os.path.exists(probe.started),
             timeout=300)
    log("the restore's dpkg waits in the probe's preinst %.2f s after Restore" % (
        time.monotonic() - t0))
    hold("no reminder while the program's own restore runs apt-get and dpkg",
         lambda: no_reminder(s), FIRST_SCAN + RESCAN)
    setup = s.start_named_process("MySetupTool.exe")
    t_setup = time.monotonic()
    dialog = reminder_dialog(s, FIRST_SCAN + SLACK)
    log("reminder %.2f s after another installer started" % (time.monotonic() - t_setup))
    expect_equal(dialog_label(s, dialog), REMINDER.format("MySetupTool.exe"),
                 "reminder during the restore")
    s.screenshot("hook-restore-other-installer")
    s.a11y.click(s.a11y.find(dialog, name="Yes", role="push button"))
    s.a11y.window_gone(MESSAGE, timeout=WAIT)
    s.end(setup)
    open(probe.release_mark, "w").close()

    def settled():
        for b in ("Go On Without Them", "Stop"):
            try:
                asked = s.a11y.find(win, name=b, role="push button", timeout=0.2)
            except CheckFailed:
                continue
            if a.showing(asked):
                raise CheckFailed("the root side asked to go on without versions: " +
                                  a.text_of(s.a11y.find(win, name="What was done")))
        return a.enabled(close)
    wait_for("the restore to end", settled, timeout=600)
    report = a.text_of(s.a11y.find(win, name="What was done"))
    # The window's last word ends its report too.
    said = report.strip().splitlines()[-1] if report.strip() else ""
    log("restore ended after %.2f s: %s" % (time.monotonic() - t0, said))
    log("report:", report)
    s.screenshot("hook-restore-done")
    expect_equal(said, point + " is restored.", "the restore's last word")
    expect_equal(probe.version(), "1.0", "the probe's version after the restore")
    after = points()
    log("points.list after:", after)
    before = [p for p in after if p[2] == "Before restoring " + point]
    expect(before, "no point \"Before restoring %s\" in %r" % (point, after))
    # The program keeps its user's configuration folder under that point's number.
    parts = os.path.join(s.data, "QMVigilornApp", "configuration-parts.git")
    kept = h.run(["git", "--git-dir", parts, "log", "--format=%B", "HEAD"], check=False).stdout
    expect("Sequence-Number: %s\n" % before[0][0] in kept,
           "no configuration part under %s: %r" % (before[0][0], kept[-300:]))
    s.a11y.press(close)
    s.a11y.window_gone("Restore " + point)


# ---- polkit: pkexec with the real daemon and an agent of the journey's -----------------------

POLKIT_USER = "vigilorn-user"     # an ordinary user, at the desktop
POLKIT_ADMIN = "vigilorn-admin"   # an administrator: a member of sudo, which Debian's polkit asks
ADMIN_PASSWORD = "Vigilorn-admin-1"
SYSTEM_BUS = "/run/dbus/system_bus_socket"  # pkexec, being setuid, reads no other address
POLKITD = "/usr/lib/polkit-1/polkitd"
POLKIT_HELPER = "/usr/lib/polkit-1/polkit-agent-helper-1"
POLKIT_ACTIONS = "/usr/share/polkit-1/actions"
SEAT_RULES = "/etc/polkit-1/rules.d/49-vigilorn-journey-seat.rules"
# The system bus's usual default policy; polkit's own bus policy comes from system.d. No
# service folder: nothing is started on demand (snapperd least of all).
SYSTEM_BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
""" % SYSTEM_BUS


def polkit_skip_reason():
    import shutil
    for path, package in (("/usr/bin/pkexec", "pkexec"), (POLKITD, "polkitd"),
                          (POLKIT_HELPER, "polkitd")):
        if not os.access(path, os.X_OK):
            return "%s is not installed (Debian package %s)" % (path, package)
    for tool in ("dbus-daemon", "dbus-send", "useradd", "chpasswd"):
        if not shutil.which(tool):
            return tool + " is not installed"
    try:
        import dbus  # noqa: F401  the agent's
    except ImportError:
        return "python3-dbus is not installed"
    return None


def install_policy():
    """The built policy, where polkit reads it; returns {action: allow_active}."""
    import xml.etree.ElementTree as ET
    with open(os.environ["VIGILORN_POLKIT_POLICY"]) as f:
        text = f.read()
    os.makedirs(POLKIT_ACTIONS, exist_ok=True)
    target = os.path.join(POLKIT_ACTIONS, os.path.basename(os.environ["VIGILORN_POLKIT_POLICY"]))
    with open(target, "w") as f:
        f.write(text)
    maker = os.path.join(os.environ["VIGILORN_LIBEXEC"], "qmvigilorn-system")
    active = {}
    for action in ET.fromstring(text).iter("action"):
        paths = [a.text for a in action.iter("annotate")
                 if a.get("key") == "org.freedesktop.policykit.exec.path"]
        expect_equal(paths, [maker], "the program of %s" % action.get("id"))
        active[action.get("id")] = action.find("defaults/allow_active").text.strip()
    log("polkit actions:", active)
    return active


def stand_in_for_the_seat(active):
    """polkit learns of sessions from logind; with no login manager it finds none, so no
    subject is ever active and allow_active never applies. For the journey's user alone, a
    rules file gives each of the program's actions what its policy says for an active session."""
    results = {"yes": "YES", "no": "NO", "auth_self": "AUTH_SELF", "auth_admin": "AUTH_ADMIN",
               "auth_self_keep": "AUTH_SELF_KEEP", "auth_admin_keep": "AUTH_ADMIN_KEEP"}
    table = ",\n".join('        "%s": polkit.Result.%s' % (a, results[v]) for a, v in
                       sorted(active.items()))
    os.makedirs(os.path.dirname(SEAT_RULES), exist_ok=True)
    with open(SEAT_RULES, "w") as f:
        f.write("// The polkit journey's stand-in for a seat: no login manager runs, so polkit sees\n"
                "// no active session; %s gets allow_active of the program's actions.\n"
                "polkit.addRule(function(action, subject) {\n"
                "    var active = {\n%s\n    };\n"
                "    if (subject.user == \"%s\" && action.id in active)\n"
                "        return active[action.id];\n"
                "});\n" % (POLKIT_USER, table, POLKIT_USER))
    log("no login manager: polkit sees no active session, so %s stands in for the seat, "
        "for %s only" % (SEAT_RULES, POLKIT_USER))


def start_polkit(s):
    """The system bus where pkexec looks for it, and polkitd on it."""
    conf = os.path.join(s.tmp, "system-bus.conf")
    with open(conf, "w") as f:
        f.write(SYSTEM_BUS_CONF)
    os.makedirs(os.path.dirname(SYSTEM_BUS), exist_ok=True)
    s.spawn(["dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile"])
    wait_for("the system bus", lambda: os.path.exists(SYSTEM_BUS))
    env = dict(s.env, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + SYSTEM_BUS)
    s.spawn([POLKITD, "--no-debug"], env=env)
    wait_for("polkitd on the system bus", lambda: "boolean true" in h.run(
        ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
         "string:org.freedesktop.PolicyKit1"], env=env, check=False).stdout)


def add_users():
    import subprocess
    h.run(["useradd", "-M", "-s", "/bin/sh", POLKIT_USER])
    h.run(["useradd", "-M", "-s", "/bin/sh", "-G", "sudo", POLKIT_ADMIN])
    r = subprocess.run(["chpasswd"], input="%s:%s\n" % (POLKIT_ADMIN, ADMIN_PASSWORD),
                       text=True, capture_output=True, timeout=10)
    expect_equal(r.returncode, 0, "chpasswd (%s)" % r.stderr.strip())


class PolkitAgent:
    """polkit_agent.py as the desktop's user, the agent of the program's process."""

    def __init__(self, s, pid):
        self.folder = os.path.join(s.tmp, "agent")
        os.makedirs(self.folder)
        os.chown(self.folder, s.user.pw_uid, s.user.pw_gid)
        self.answer("dismiss")
        env = dict(s.env, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + SYSTEM_BUS)
        s.spawn(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "polkit_agent.py"), str(pid), self.folder],
                env=env, as_user=True)
        wait_for("the authentication agent", lambda: os.path.exists(
            os.path.join(self.folder, "ready")))

    def answer(self, what):
        with open(os.path.join(self.folder, "answer"), "w") as f:
            f.write(what + "\n")
        os.chmod(os.path.join(self.folder, "answer"), 0o644)

    def asked(self):
        try:
            with open(os.path.join(self.folder, "asked")) as f:
                return [line.rstrip("\n").split("\t") for line in f]
        except FileNotFoundError:
            return []


# Each way a restore's password request can end: what the agent answers, what it notes, and
# what the restore window must say of it. The administrator's password first: it shows that the
# agent's answers reach polkit, so the two refusals are refusals.
RESTORE_ANSWERS = [
    ("given", "password %s %s" % (POLKIT_ADMIN, ADMIN_PASSWORD),
     "password of %s: SUCCESS" % POLKIT_ADMIN, None),
    ("refused", "password %s not-the-password" % POLKIT_ADMIN,
     "password of %s: FAILURE" % POLKIT_ADMIN, r"(?i)not authori[sz]ed|denied|wrong password"),
    ("dismissed", "dismiss", "dismissed", r"(?i)dismissed|cancel|closed"),
]


def journey_polkit(s, exe, xsel):
    """An ordinary user at the desktop, pkexec with the real polkit daemon: a point from the
    Restore Points window needs no password; a restore asks for an administrator's, does
    nothing when it is refused or dismissed, and says so in words."""
    import re
    a = a11y_mod()
    why = polkit_skip_reason()
    if why:
        raise h.Skipped(why)
    install_root_side(("VIGILORN_SYSTEM",))
    active = install_policy()
    add_users()
    stand_in_for_the_seat(active)
    start_polkit(s)
    s.run_as(POLKIT_USER)
    # The X server is root's and open to every local client; weston's socket would not be.
    s.start_desktop(xsel, desktop="xvfb")
    s.write_ini(ShowSplashStartUP=0)
    s.start_program(exe, {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + SYSTEM_BUS})
    agent = PolkitAgent(s, s.app.pid)
    frame = main_frame(s)

    # A point from the window: no password. The agent dismisses whatever it is asked.
    open_menu_item(s, frame, "Restore", "Create New Restore Point")
    rp = s.a11y.window("Restore Points", timeout=WAIT)
    listview = s.a11y.find(rp, name="Current Restore Points", role="list")
    text1 = s.a11y.find(rp, name="Description of New Restore Point", role="text")
    s.a11y.click(text1)
    s.type_text("Before the polkit journey")
    wait_for("the typed description", lambda: a.text_of(text1) == "Before the polkit journey")
    s.a11y.click(s.a11y.find(rp, name="Create a New System Restore Point", role="push button"))
    t = time.monotonic()
    answers = ("Restore point Created", "System Error!", "Error!")
    shown = wait_for("the point's confirmation or an error", lambda: next(
        (w for w in answers if w in [n for n, _ in s.a11y.visible_windows()]), None), timeout=120)
    log("%r %.2f s after Create" % (shown, time.monotonic() - t))
    ok = s.a11y.window(shown, timeout=WAIT)
    expect(shown == answers[0] and not agent.asked(), "a point from the window: %r says %r; the "
           "agent was asked %r" % (shown, dialog_label(s, ok), agent.asked()))
    s.a11y.press(s.a11y.find(ok, name="OK", role="push button"))
    made = points()
    log("points.list:", made)
    expect_equal([p[2] for p in made], ["Before the polkit journey"], "descriptions in points.list")
    point = "P" + made[0][0]

    # The list is filled afresh once the confirmation is answered; it was empty before.
    item = wait_for("the point in the list", lambda: [
        i for i in a.children(listview) if a.name_of(i).startswith(point + " : ")],
        timeout=WAIT)[0]
    s.a11y.click(item, repeat=2)
    ch = s.a11y.window("Changes since " + point, timeout=WAIT)
    restore = s.a11y.find(ch, name="Restore…", role="push button")
    said = {}
    for case, answer, noted, words in RESTORE_ANSWERS:
        agent.answer(answer)
        before = points()
        asked_before = len(agent.asked())
        wait_for("Restore… enabled", lambda: a.enabled(restore), timeout=60)
        s.a11y.press(restore)
        win = s.a11y.window("Restore " + point, timeout=WAIT)
        s.a11y.press(s.a11y.find(win, name="Restore", role="push button"))
        close = s.a11y.find(win, name="Close", role="push button")
        wait_for("the restore to end (%s)" % case, lambda: a.enabled(close), timeout=300)
        # The window's last word ends its report.
        report = a.text_of(s.a11y.find(win, name="What was done")).strip()
        status = report.splitlines()[-1] if report else ""
        log("%s: the window says %r" % (case, status))
        said[case] = status
        s.screenshot("polkit-restore-" + case)
        asked = agent.asked()[asked_before:]
        log("%s: the agent was asked %r" % (case, asked))
        expect_equal(asked, [["com.quillmere.vigilorn.restore-point", POLKIT_ADMIN, noted]],
                     "password requests of the restore (%s)" % case)
        if words is None:
            expect_equal(status, point + " is restored.", "the restore's last word")
            expect(any(p[2] == "Before restoring " + point for p in points()),
                   "no point before restoring %s: %r" % (point, points()))
        else:
            expect_equal(points(), before, "points.list after a restore %s" % case)
            expect(re.search(words, status) and not re.search(r"exit code|\b12[67]\b", status),
                   "after a request %s the window says %r" % (case, status))
        s.a11y.press(close)
        s.a11y.window_gone("Restore " + point)
    expect(said["refused"] != said["dismissed"],
           "a wrong password and a dismissed request both read %r" % said["refused"])


def journey_hook_notify(s, exe, xsel):
    """The hook makes its point by itself while the program runs (the program's own wait is
    0 s): the desktop's notification service is told, once, with the point and its change."""
    import json
    import packages
    probe = hook_probe(s)
    install_hooks()
    os.makedirs(RUN_USER, exist_ok=True)
    os.chmod(RUN_USER, 0o700)
    s.runtime = RUN_USER
    s.start_desktop(xsel)
    report = os.path.join(s.tmp, "notifications.json")
    s.spawn(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              "notifywatcher.py"), report], env=s.env)
    import dbus
    bus = dbus.bus.BusConnection(s.env["DBUS_SESSION_BUS_ADDRESS"])
    wait_for("the stand-in notification service on the bus",
             lambda: bus.name_has_owner("org.freedesktop.Notifications"), timeout=10)
    ini = s.write_ini(ShowSplashStartUP=0)
    with open(ini, "a") as f:
        f.write("[Detect]\nHoldSeconds=0\n")
    s.start_program(exe)
    main_frame(s)
    wait_for("the program's socket", lambda: [n for n in os.listdir(RUN_USER)
                                              if n.endswith(".socket")], timeout=WAIT)

    def shown():
        try:
            with open(report) as f:
                return json.load(f)["notifications"]
        except OSError:
            return []
    expect_equal(shown(), [], "notifications at start")
    args = ["apt-get", "install", "-y", probe.deb]
    install = Install(s, args)
    install.finish()
    expect(probe.installed(), "the probe package was not installed")
    made = points()
    log("points.list:", made)
    # The public list names the change by its packages; root's command line stays in the point.
    expect_equal([p[2] for p in made], ["apt-get install vigilorn-e2e-probe"],
                 "descriptions in points.list")
    got = wait_for("the notification", shown, timeout=WAIT)
    log("notification %.2f s after apt-get began: %r" % (time.monotonic() - install.t0, got))
    n = got[0]
    expect_equal(n["summary"], "Restore point P%s made" % made[0][0], "summary")
    expect_equal(n["app_name"], TITLE, "application name")
    expect("It can undo: install " + packages.PROBE in n["body"]
           and "apt-get install " + packages.PROBE in n["body"],
           "the body does not name the change: %r" % n["body"])
    hold("one notification for the change", lambda: len(shown()) == 1, 3.0)


JOURNEYS = {
    "first_start": journey_first_start,
    "installer_yes": journey_installer_yes,
    "installer_no": journey_installer_no,
    "restore_points": journey_restore_points,
    "changes_since_point": journey_changes_since_point,
    "restore_failed_then_ended": journey_restore_failed_then_ended,
    "tray": journey_tray,
    "start_minimised": journey_start_minimised,
    "process_grid": journey_process_grid,
    "accessibility": journey_accessibility,
    "dialogs_accessibility": journey_dialogs_accessibility,
    "installed_help": journey_installed_help,
    "dpkg_install": journey_dpkg_install,
    "apt_install": journey_apt_install,
    "packagekit": journey_packagekit,
    "single_instance": journey_single_instance,
    "tray_wait": journey_tray_wait,
    "tray_absent": journey_tray_absent,
    "sni": journey_sni,
    "wayland_session": journey_wayland_session,
    "hook_apt_hold": journey_hook_apt_hold,
    "hook_dpkg_hold": journey_hook_dpkg_hold,
    "hook_point_before": journey_hook_point_before,
    "hook_program_killed": journey_hook_program_killed,
    "hook_no_program": journey_hook_no_program,
    "hook_restore": journey_hook_restore,
    "polkit": journey_polkit,
    "hook_notify": journey_hook_notify,
}

if __name__ == "__main__":
    h.main(JOURNEYS[sys.argv[1]], sys.argv[1])
