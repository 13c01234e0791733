#!/usr/bin/python3
"""Runs a command with an authentication agent registered for its process,
on a pseudo-terminal of the agent's own.

The command starts held: it must read one line from its standard input
before it execs the program to authorise (so the program keeps the pid and
start time the agent was registered for). With ANSWER "dismiss" the agent is
dismissing-agent.py; otherwise it is the real text agent, pkttyagent, and
each password prompt is answered as ANSWER says: "password:TEXT" types TEXT,
"interrupt" types ctrl-C, "eof" types ctrl-D. Everything the agent wrote
goes to TRANSCRIPT. Ends with the command's exit status: 124 when it
outlasted LIMIT seconds, 125 when the agent could not register.

Usage: with-agent.py AGENT_USER ANSWER TRANSCRIPT LIMIT -- COMMAND...
"""

import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time

PROMPT = b"Password:"
KEYS = {"interrupt": b"\x03", "eof": b"\x04"}


def start_agent(user, answer, pid, notify):
    if answer == "dismiss":
        agent = ["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "dismissing-agent.py"), str(pid), str(notify)]
    else:
        agent = ["pkttyagent", "--process", str(pid), "--notify-fd", str(notify)]
    child, terminal = pty.fork()
    if child == 0:
        os.set_inheritable(notify, True)
        os.execvp("setpriv", ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"] + agent)
    return child, terminal


def echoing(terminal):
    return bool(termios.tcgetattr(terminal)[3] & termios.ECHO)


def read_some(terminal, timeout):
    ready, _, _ = select.select([terminal], [], [], timeout)
    if not ready:
        return b""
    try:
        return os.read(terminal, 4096)
    except OSError:  # the agent is gone
        return None


def main():
    user, answer, transcript_path, limit = sys.argv[1:5]
    command = sys.argv[sys.argv.index("--") + 1:]
    deadline = time.monotonic() + float(limit)
    reply = KEYS.get(answer, answer.removeprefix("password:").encode() + b"\n")

    held = subprocess.Popen(command, stdin=subprocess.PIPE, start_new_session=True)
    notify_read, notify_write = os.pipe()
    agent, terminal = start_agent(user, answer, held.pid, notify_write)
    os.close(notify_write)
    transcript = b""
    # The agent closes its end of the pipe once it is registered.
    registered = select.select([notify_read], [], [], 10)[0] and os.read(notify_read, 1) == b""
    if not registered:
        transcript += read_some(terminal, 0) or b""
        held.kill()
    else:
        held.stdin.write(b"go\n")
        held.stdin.close()
    answered = 0
    while held.poll() is None and time.monotonic() < deadline:
        chunk = read_some(terminal, 0.2)
        if chunk is None:
            time.sleep(0.2)
            continue
        transcript += chunk
        # The agent turns echo off, discarding pending input, after its
        # prompt: what is typed before that is lost.
        if transcript.count(PROMPT) > answered and not echoing(terminal):
            os.write(terminal, reply)
            answered += 1
    if held.poll() is None:
        os.killpg(held.pid, signal.SIGKILL)
        status = 124
    else:
        status = held.wait()
    os.kill(agent, signal.SIGTERM)
    os.waitpid(agent, 0)
    while (chunk := read_some(terminal, 0.1)):
        transcript += chunk
    with open(transcript_path, "wb") as out:
        out.write(transcript)
    sys.exit(status if registered else 125)


if __name__ == "__main__":
    main()
