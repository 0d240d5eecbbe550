#!/usr/bin/env python3
"""Serves the files of a folder over HTTPS on a free loopback port, for the
Windows client's test: https_files.py FOLDER CERT KEY PORTFILE. The port goes
to PORTFILE once it listens. A client that refuses the certificate ends only
its own connection."""
import functools
import http.server
import ssl
import sys

folder, cert, key, port_file = sys.argv[1:5]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.minimum_version = ssl.TLSVersion.TLSv1_2
context.load_cert_chain(cert, key)
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_port))
import os

os.replace(port_file + ".new", port_file)
server.serve_forever()
