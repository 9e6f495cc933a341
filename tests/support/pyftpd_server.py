#!/usr/bin/python3
"""A real FTP server (pyftpdlib) on 127.0.0.1 for the download tests.

Serves --root read-only to anonymous users and, with --user/--password, to that user. Like
most FTP servers it announces the size of a retrieved file in its 150 reply, for example
"150 Opening BINARY mode data connection for a.bin (1234 bytes).".
"""
import argparse
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class SizeAnnouncingHandler(FTPHandler):
    _retr_name = None
    _retr_size = None

    def ftp_RETR(self, file):
        try:
            self._retr_size = self.run_as_current_user(self.fs.getsize, file)
            self._retr_name = os.path.basename(file)
        except Exception:
            self._retr_size = None
        return FTPHandler.ftp_RETR(self, file)

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        size = self._retr_size
        if cmd != "RETR" or size is None:
            return FTPHandler.push_dtp_data(self, data, isproducer, file, cmd)
        self._retr_size = None
        self.respond("150 Opening BINARY mode data connection for %s (%d bytes)."
                     % (self._retr_name, size))
        if self.data_channel is None:
            self._out_dtp_queue = (data, isproducer, file, cmd)
            return
        if file:
            self.data_channel.file_obj = file
        try:
            if not isproducer:
                self.data_channel.push(data)
            else:
                self.data_channel.push_with_producer(data)
            if self.data_channel is not None:
                self.data_channel.cmd = cmd
                self.data_channel.close_when_done()
        except Exception:
            self.data_channel.handle_error()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password", default="")
    parser.add_argument("--banner")
    parser.add_argument("--masquerade")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root)
    if args.user:
        authorizer.add_user(args.user, args.password, args.root, perm="elr")
    handler = SizeAnnouncingHandler
    handler.authorizer = authorizer
    if args.banner:
        handler.banner = args.banner
    if args.masquerade:
        handler.masquerade_address = args.masquerade
    server = FTPServer(("127.0.0.1", args.port), handler)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
