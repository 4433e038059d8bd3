/* x-selection-owner single|incr TARGET FILE: owns the X selection CLIPBOARD with one
   target (and TARGETS), the file's bytes as its data, until another program takes the
   selection. "single" hands the data over in one property change; "incr" hands it over
   incrementally as the toolkits do (ICCCM 2.5: the INCR property holds the size, then
   chunks of 256 kB, then an empty one). xclip's incremental answer leaves the INCR
   property empty, which xrdp 0.9's channel server does not recognise (see README.md).
   Built by the clipboard bench scripts with: cc -O2 -o x-selection-owner x-selection-owner.c -lX11 */
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(int argc, char **argv) {
    if (argc != 4) { fprintf(stderr, "usage: xowner single|incr TARGET FILE\n"); return 2; }
    int incr = strcmp(argv[1], "incr") == 0;
    FILE *f = fopen(argv[3], "rb");
    if (!f) return 2;
    fseek(f, 0, SEEK_END); long size = ftell(f); fseek(f, 0, SEEK_SET);
    unsigned char *data = malloc(size); if (fread(data, 1, size, f) != (size_t)size) return 2; fclose(f);
    Display *d = XOpenDisplay(NULL); if (!d) return 3;
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    Atom clipboard = XInternAtom(d, "CLIPBOARD", False), targets = XInternAtom(d, "TARGETS", False);
    Atom incrAtom = XInternAtom(d, "INCR", False);
    Atom target = XInternAtom(d, argv[2], False);
    XSetSelectionOwner(d, clipboard, w, CurrentTime);
    if (XGetSelectionOwner(d, clipboard) != w) return 4;
    Window sending = 0; Atom sendingProperty = 0; long offset = 0;
    for (;;) {
        XEvent e; XNextEvent(d, &e);
        if (e.type == SelectionClear) return 0;
        if (e.type == PropertyNotify && sending && e.xproperty.window == sending &&
            e.xproperty.atom == sendingProperty && e.xproperty.state == PropertyDelete) {
            long chunk = size - offset < 262144 ? size - offset : 262144;
            XChangeProperty(d, sending, sendingProperty, target, 8, PropModeReplace, data + offset, (int)chunk);
            offset += chunk;
            if (chunk == 0) { fprintf(stderr, "incr done, %ld bytes\n", size); XSelectInput(d, sending, NoEventMask); sending = 0; }
            XFlush(d);
            continue;
        }
        if (e.type != SelectionRequest) continue;
        XSelectionRequestEvent *r = &e.xselectionrequest;
        XSelectionEvent n = {0};
        n.type = SelectionNotify; n.display = d; n.requestor = r->requestor; n.selection = r->selection;
        n.target = r->target; n.time = r->time; n.property = None;
        Atom prop = r->property ? r->property : r->target;
        if (r->target == targets) {
            Atom list[2] = {targets, target};
            XChangeProperty(d, r->requestor, prop, XA_ATOM, 32, PropModeReplace, (unsigned char *)list, 2);
            n.property = prop;
        } else if (r->target == target && incr && !sending) {
            long total = size;
            XSelectInput(d, r->requestor, PropertyChangeMask);
            XChangeProperty(d, r->requestor, prop, incrAtom, 32, PropModeReplace, (unsigned char *)&total, 1);
            sending = r->requestor; sendingProperty = prop; offset = 0;
            n.property = prop;
            fprintf(stderr, "incr start, %ld bytes\n", size);
        } else if (r->target == target && !incr) {
            XChangeProperty(d, r->requestor, prop, target, 8, PropModeReplace, data, (int)size);
            n.property = prop;
            fprintf(stderr, "served %ld bytes in one property\n", size);
        }
        XSendEvent(d, r->requestor, False, 0, (XEvent *)&n);
        XFlush(d);
    }
}
