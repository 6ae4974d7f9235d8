/* Waits until some client owns an X selection (the tray's _NET_SYSTEM_TRAY_S0), so the
 * program is only started once a tray exists: Qt decides tray support at start-up. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s SELECTION TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    const double deadline = now() + atof(argv[2]) / 1000.0;
    Display* d = NULL;
    while (!(d = XOpenDisplay(NULL))) {
        if (now() >= deadline) {
            fprintf(stderr, "xselwait: cannot open the display\n");
            return 1;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
    const Atom selection = XInternAtom(d, argv[1], False);
    for (;;) {
        if (XGetSelectionOwner(d, selection) != None) {
            XCloseDisplay(d);
            return 0;
        }
        if (now() >= deadline) {
            fprintf(stderr, "xselwait: nobody owns %s\n", argv[1]);
            XCloseDisplay(d);
            return 1;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
}
