#!/usr/bin/python3
"""An authentication agent whose user dismisses every prompt, as the Cancel
button of a desktop's agent does: it registers with polkitd for one process
and answers each request with polkit's "cancelled" error, which is what
makes pkexec report a dismissed request. (pkttyagent has no way to dismiss:
its prompt ends only in a password, an interrupt or end of input, and polkit
counts each of those as "not authorised".)

Usage: dismissing-agent.py PID NOTIFY_FD   (NOTIFY_FD is closed once registered)
"""

import os
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.PolicyKit1.AuthenticationAgent">
    <method name="BeginAuthentication">
      <arg type="s" name="action_id" direction="in"/>
      <arg type="s" name="message" direction="in"/>
      <arg type="s" name="icon_name" direction="in"/>
      <arg type="a{ss}" name="details" direction="in"/>
      <arg type="s" name="cookie" direction="in"/>
      <arg type="a(sa{sv})" name="identities" direction="in"/>
    </method>
    <method name="CancelAuthentication">
      <arg type="s" name="cookie" direction="in"/>
    </method>
  </interface>
</node>
"""
PATH = "/org/quorbel/DismissingAgent"


def start_time(pid):
    # Field 22 of /proc/PID/stat, counted after the command name's closing parenthesis.
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[19])


def answer(connection, sender, path, interface, method, parameters, invocation):
    if method == "BeginAuthentication":
        print("Dismissed request for", parameters.unpack()[0], flush=True)
        invocation.return_dbus_error("org.freedesktop.PolicyKit1.Error.Cancelled", "Dismissed by the user")
    else:
        invocation.return_value(None)


def main():
    pid, notify = int(sys.argv[1]), int(sys.argv[2])
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
    bus.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0], answer, None, None)
    subject = ("unix-process", {"pid": GLib.Variant("u", pid), "start-time": GLib.Variant("t", start_time(pid))})
    bus.call_sync("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                  "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent",
                  GLib.Variant("((sa{sv})ss)", (subject, "C", PATH)), None, Gio.DBusCallFlags.NONE, -1, None)
    os.close(notify)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
