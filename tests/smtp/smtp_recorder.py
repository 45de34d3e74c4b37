#!/usr/bin/python3
"""A loopback SMTP server for the tests: every message it receives is stored
as <folder>/<n>.eml, envelope first ("X-Envelope-From:", one "X-Envelope-To:"
per recipient), then the message exactly as received.

    smtp_recorder.py PORT FOLDER
"""
import asyncio
import itertools
import os
import signal
import sys

from aiosmtpd.controller import Controller


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
    controller = Controller(Recorder(folder), hostname="127.0.0.1", port=port)
    controller.start()
    stop = asyncio.Event()
    loop = asyncio.new_event_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.run_until_complete(stop.wait())
    controller.stop()


if __name__ == "__main__":
    main()
