#!/usr/bin/env python3
"""Times a window's answers to _NET_WM_PING, as a window manager asks them.

Usage: wm_ping.py WINDOW_ID SECONDS OUT_FILE [INTERVAL_MS]

One ping at a time: sends the WM_PROTOCOLS client message with _NET_WM_PING to the window,
waits for the echo the client sends to the root window, writes "sent_at_s answer_ms" to
OUT_FILE (sent_at on the monotonic clock, as `date +%s.%N` is not), waits INTERVAL_MS (50),
and pings again until SECONDS have passed. A ping still unanswered then is written with the
time it has waited so far. The client answers from its main thread's event loop, so the
answer time is how long that thread kept the desktop waiting. Xlib through ctypes: nothing to
install.
"""
import ctypes
import ctypes.util
import select
import sys
import time

CLIENT_MESSAGE = 33
STRUCTURE_NOTIFY_MASK = 1 << 17
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class ClientMessageData(ctypes.Union):
    _fields_ = [("b", ctypes.c_char * 20), ("s", ctypes.c_short * 10), ("l", ctypes.c_long * 5)]


class ClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ClientMessageData)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", ClientMessageEvent), ("pad", ctypes.c_long * 24)]


def main():
    window = int(sys.argv[1], 0)
    seconds = float(sys.argv[2])
    out = open(sys.argv[3], "w")
    interval = float(sys.argv[4]) / 1000 if len(sys.argv) > 4 else 0.05

    x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.POINTER(Event)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XPending.argtypes = [ctypes.c_void_p]
    x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(Event)]
    x.XConnectionNumber.argtypes = [ctypes.c_void_p]

    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("no display")
    root = x.XDefaultRootWindow(display)
    protocols = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
    ping = x.XInternAtom(display, b"_NET_WM_PING", 0)
    # The answer goes to the root window, with StructureNotify (Qt) or SubstructureNotify (as
    # EWMH has it); any client may listen for either.
    x.XSelectInput(display, root, STRUCTURE_NOTIFY_MASK | SUBSTRUCTURE_NOTIFY_MASK)
    fd = x.XConnectionNumber(display)

    end = time.monotonic() + seconds
    stamp = 0x40000000  # far from the server times a window manager's own pings carry
    event = Event()
    while time.monotonic() < end:
        stamp += 1
        message = Event()
        message.xclient.type = CLIENT_MESSAGE
        message.xclient.window = window
        message.xclient.message_type = protocols
        message.xclient.format = 32
        message.xclient.data.l[0] = ping
        message.xclient.data.l[1] = stamp
        message.xclient.data.l[2] = window
        sent = time.monotonic()
        x.XSendEvent(display, window, 0, 0, ctypes.byref(message))
        x.XFlush(display)
        answered = False
        while not answered:
            while x.XPending(display):
                x.XNextEvent(display, ctypes.byref(event))
                if (event.type == CLIENT_MESSAGE and event.xclient.window == root
                        and event.xclient.data.l[0] == ping and event.xclient.data.l[1] == stamp):
                    answered = True
                    break
            if answered:
                break
            left = end + 30 - time.monotonic()
            if left <= 0:
                break
            select.select([fd], [], [], min(left, 0.5))
        out.write("%.6f %.3f\n" % (sent, (time.monotonic() - sent) * 1000))
        out.flush()
        time.sleep(interval)


if __name__ == "__main__":
    main()
