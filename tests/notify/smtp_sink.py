#!/usr/bin/python3
"""A mailbox for the tests: an SMTP server on loopback that saves each accepted message.

smtp_sink.py MAILDIR PORTFILE [--tls starttls|smtps --cert F --key F] [--user U --password-file F]
Each message goes to MAILDIR/NNN.eml (as received), its attachments to MAILDIR/NNN/<name>
and a summary to MAILDIR/NNN.json (decoded subject, envelope, attachment names). While
MAILDIR/refuse holds a number above 0, each message is answered 451 and the number lowered.
The chosen port is written to PORTFILE once the server listens.
With --tls starttls the server demands STARTTLS before anything else; with smtps it speaks
TLS from the first byte. With --user every message needs AUTH LOGIN/PLAIN as that user with
the password of the file; each failed login is counted in MAILDIR/auth-failures.
"""
import argparse
import email
import email.policy
import json
import os
import socket
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


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
            "tls": session.ssl is not None or server.transport.get_extra_info("sslcontext") is not None,
            "login": session.auth_data.login.decode() if session.authenticated else None,
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


class Authenticator:
    def __init__(self, folder, user, password):
        self.folder = folder
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if mechanism in ("LOGIN", "PLAIN") and auth_data.login == self.user and auth_data.password == self.password:
            return AuthResult(success=True, auth_data=auth_data)
        with open(os.path.join(self.folder, "auth-failures"), "a") as f:
            f.write("x")
        return AuthResult(success=False, handled=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("port_file")
    parser.add_argument("--tls", choices=("starttls", "smtps"))
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password-file")
    args = parser.parse_args()
    folder, port_file = args.folder, args.port_file
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    options = {}
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.tls == "starttls":
            options.update(tls_context=context, require_starttls=True)
        else:
            options.update(ssl_context=context)
    if args.user:
        with open(args.password_file) as f:
            password = f.read().rstrip("\r\n")
        # Over smtps the whole session is encrypted, which aiosmtpd's own check does not see.
        options.update(authenticator=Authenticator(folder, args.user, password), auth_required=True,
                       auth_require_tls=args.tls != "smtps")
    controller = Controller(Sink(folder), hostname="127.0.0.1", port=port, **options)
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
