#!/usr/bin/python3
"""A loopback SMTP server for the tests: every message it receives is stored
as <folder>/<n>.eml, envelope first ("X-Envelope-From:", one "X-Envelope-To:"
per recipient), then the message exactly as received.

    smtp_recorder.py PORT FOLDER [CERT KEY]

With a certificate it also listens, for the same folder, on PORT+1 (STARTTLS
offered, and required before a login) and PORT+2 (TLS from the first byte);
both take mail only after a login as LOGIN_USER / LOGIN_PASS.
"""
import asyncio
import warnings
import itertools
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

LOGIN_USER = b"gate"
LOGIN_PASS = b"gate-secret"


def authenticate(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and \
        auth_data.login == LOGIN_USER and auth_data.password == LOGIN_PASS
    return AuthResult(success=ok, handled=False)


class Recorder:
    def __init__(self, folder):
        self.folder = folder
        self.numbers = itertools.count(1)

    async def handle_DATA(self, server, session, envelope):
        n = next(self.numbers)
        head = "X-Envelope-From: %s\r\n" % envelope.mail_from
        head += "".join("X-Envelope-To: %s\r\n" % r for r in envelope.rcpt_tos)
        data = envelope.original_content or envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        temp = os.path.join(self.folder, ".%d.tmp" % n)
        with open(temp, "wb") as f:
            f.write(head.encode("utf-8", "surrogateescape") + data)
        # Renamed whole, so a reader never sees half a message.
        os.rename(temp, os.path.join(self.folder, "%d.eml" % n))
        return "250 Message accepted for delivery"


def main():
    port, folder = int(sys.argv[1]), sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    recorder = Recorder(folder)
    controllers = [Controller(recorder, hostname="127.0.0.1", port=port)]
    if len(sys.argv) > 4:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        login = dict(authenticator=authenticate, auth_required=True)
        # The TLS port is encrypted from the first byte; aiosmtpd cannot tell.
        warnings.filterwarnings("ignore", "Requiring AUTH while not requiring TLS")
        controllers.append(Controller(recorder, hostname="127.0.0.1", port=port + 1,
                                      tls_context=context, require_starttls=True, **login))
        controllers.append(Controller(recorder, hostname="127.0.0.1", port=port + 2,
                                      ssl_context=context, auth_require_tls=False, **login))
    for controller in controllers:
        controller.start()
    stop = asyncio.Event()
    loop = asyncio.new_event_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.run_until_complete(stop.wait())
    for controller in controllers:
        controller.stop()


if __name__ == "__main__":
    main()
