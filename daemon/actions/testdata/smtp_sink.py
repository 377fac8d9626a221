"""A real SMTP server for the mail action's tests.

Usage: smtp_sink.py FOLDER

Listens on a loopback port of its own choosing and writes that port to
FOLDER/port once it accepts connections. Every mail it accepts becomes
FOLDER/NNNN.eml (the data exactly as received, after the server's own
dot-unstuffing) and FOLDER/NNNN.envelope (the sender, then each recipient, one
per line). Recipients starting with "refused" are answered 550.
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refused"):
            return "550 5.7.1 relaying denied"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%04d" % self.count)
        with open(base + ".envelope", "w") as out:
            out.write("\n".join([envelope.mail_from] + envelope.rcpt_tos) + "\n")
        # Written under another name first: a reader never sees half a mail.
        with open(base + ".tmp", "wb") as out:
            out.write(envelope.original_content)
        os.rename(base + ".tmp", base + ".eml")
        return "250 OK queued"


async def main(folder):
    sink = Sink(folder)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(sink, hostname="sink.test", decode_data=False), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(folder, "port.tmp"), "w") as out:
        out.write("%d\n" % port)
    os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
