#!/usr/bin/python3
"""A mailbox for the tests: an SMTP server on loopback that saves each accepted message.

smtp_sink.py MAILDIR PORTFILE
Each message goes to MAILDIR/NNN.eml (as received), its attachments to MAILDIR/NNN/<name>
and a summary to MAILDIR/NNN.json (decoded subject, envelope, attachment names). While
MAILDIR/refuse holds a number above 0, each message is answered 451 and the number lowered.
The chosen port is written to PORTFILE once the server listens.
"""
import email
import email.policy
import json
import os
import socket
import sys
import time

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        refuse = os.path.join(self.folder, "refuse")
        if os.path.exists(refuse):
            with open(refuse) as f:
                left = int(f.read().strip() or "0")
            if left > 0:
                with open(refuse, "w") as f:
                    f.write(str(left - 1))
                return "451 4.3.0 Try again later"
        self.count += 1
        base = os.path.join(self.folder, "%03d" % self.count)
        raw = envelope.original_content
        message = email.message_from_bytes(raw, policy=email.policy.default)
        names = []
        os.makedirs(base, exist_ok=True)
        for part in message.iter_attachments():
            name = part.get_filename()
            names.append(name)
            with open(os.path.join(base, name), "wb") as f:
                f.write(part.get_payload(decode=True))
        body = message.get_body(preferencelist=("plain",))
        summary = {
            "from": envelope.mail_from,
            "to": envelope.rcpt_tos,
            "subject": str(message["subject"]),
            "date": str(message["date"]),
            "message_id": str(message["message-id"]),
            "attachments": names,
            "body": body.get_content() if body is not None else "",
        }
        with open(base + ".json", "w", encoding="utf-8") as f:
            json.dump(summary, f, ensure_ascii=False)
        # The .eml last: its presence says the message is complete.
        with open(base + ".eml.tmp", "wb") as f:
            f.write(raw)
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 OK"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    folder, port_file = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    controller = Controller(Sink(folder), hostname="127.0.0.1", port=port)
    controller.start()
    with open(port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(port_file + ".tmp", port_file)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
