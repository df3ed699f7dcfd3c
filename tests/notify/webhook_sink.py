#!/usr/bin/env python3
"""A webhook receiver for the tests: prints its port, then one JSON line per POST with the
body, the signature header and whether it matches HMAC-SHA256 of the body with the secret.
--fail-first N answers the first N requests with 500. --cert F --key F: https."""
import argparse
import hashlib
import hmac
import json
import ssl
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--secret-file", required=True)
parser.add_argument("--fail-first", type=int, default=0)
parser.add_argument("--cert")
parser.add_argument("--key")
args = parser.parse_args()
with open(args.secret_file, "rb") as f:
    secret = f.read().rstrip(b"\r\n")
state = {"count": 0}


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        state["count"] += 1
        refused = state["count"] <= args.fail_first
        signature = self.headers.get("X-QST-Signature", "")
        expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
        print(json.dumps({"path": self.path, "refused": refused, "signature": signature,
                          "valid": hmac.compare_digest(signature, expected),
                          "contentType": self.headers.get("Content-Type", ""),
                          "body": body.decode("utf-8")}), flush=True)
        self.send_response(500 if refused else 204)
        self.end_headers()

    def log_message(self, *unused):
        pass


class Server(HTTPServer):
    def handle_error(self, request, client_address):
        pass  # a client refusing our certificate is what some tests want


server = Server(("127.0.0.1", 0), Handler)
if args.cert:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
