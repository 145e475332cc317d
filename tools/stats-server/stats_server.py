#!/usr/bin/env python3
"""A statistics server for tests and demonstrations.

A real HTTPS server on loopback (plain HTTP with --plain). Everything it does is
driven through one working folder:

  port                 written once the server listens: the port number
  answers/NNNN.json    scripted answers, the lowest number answers the next
                       request and is then removed
  default.json         the answer when no scripted one is waiting (optional)
  files/NAME           served to a GET of /files/NAME when no answer is scripted
  requests/NNNN.json   one per request received: method, path, headers, the
                       client's port, the TLS version, and the name of the
                       file beside it that holds the body bytes
  requests/NNNN.decoded.json  for a posted JSON document: the document with
                       its sale and punch images decoded (see decode.py)
  stop                 created by the test: the server shuts down and removes
                       the port file

An answer is a JSON object, every member optional:
  status        HTTP status code (200)
  body          the answer text ("{}")
  content_type  Content-Type header ("text/json; charset=utf-8")
  charset       how the body text becomes bytes ("utf-8"; "cp1252", "latin-1")
  delay         seconds to wait before answering (0)
  reset         true: close the connection without answering
  file          a name in files/ whose bytes are the body
  raw           true: send the body bytes alone, without any status line or
                header (a server that does not speak HTTP)
  no_length     true: no Content-Length header; the body ends when the
                connection closes
  echo_cycle_end  true: as a real server accepting a post does, the body
                (a JSON object) gets "Header.LastCycleEnd" set to the posted
                document's "Contents.ContentsEnd", when it has one

Standard library only; the certificate is made at start with the openssl command.
"""

import argparse
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import decode  # noqa: E402


class State:
    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()
        self.count = 0
        for sub in ("answers", "files", "requests"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)

    def next_answer(self):
        answers = os.path.join(self.folder, "answers")
        with self.lock:
            names = sorted(n for n in os.listdir(answers) if n.endswith(".json"))
            for name in names:
                path = os.path.join(answers, name)
                try:
                    with open(path, "rb") as f:
                        answer = json.loads(f.read().decode("utf-8"))
                except (OSError, ValueError):
                    continue  # still being written
                os.remove(path)
                return answer
        default = os.path.join(self.folder, "default.json")
        if os.path.exists(default):
            with open(default, "rb") as f:
                return json.loads(f.read().decode("utf-8"))
        return None

    def record(self, method, path, headers, body, client_port, tls):
        with self.lock:
            self.count += 1
            number = self.count
        requests = os.path.join(self.folder, "requests")
        stem = "%04d" % number
        with open(os.path.join(requests, stem + ".body"), "wb") as f:
            f.write(body)
        if method == "POST":
            try:
                document = json.loads(body.decode("cp1252", errors="replace"))
                decoded = decode.decode_document(document)
                write_atomic(os.path.join(requests, stem + ".decoded.json"),
                             json.dumps(decoded, indent=2, ensure_ascii=False).encode("utf-8"))
            except (ValueError, TypeError, struct.error, KeyError):
                pass
        meta = {"method": method, "path": path, "headers": [[k, v] for k, v in headers.items()],
                "body": stem + ".body", "client_port": client_port, "tls": tls}
        write_atomic(os.path.join(requests, stem + ".json"), json.dumps(meta).encode("utf-8"))


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def with_cycle_end(answer_text, posted):
    """answer_text with Header.LastCycleEnd taken from the posted document's
    Contents.ContentsEnd; unchanged when either is not what that needs."""
    try:
        answer = json.loads(answer_text)
        end = json.loads(posted.decode("cp1252", errors="replace"))["Contents"]["ContentsEnd"]
    except (ValueError, KeyError, TypeError):
        return answer_text
    if not isinstance(answer, dict):
        return answer_text
    header = answer.setdefault("Header", {})
    if isinstance(header, dict):
        header["LastCycleEnd"] = end
    return json.dumps(answer)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "StatsServer/1.0"

    def log_message(self, fmt, *args):  # keep the test output clean
        pass

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _handle(self):
        body = self._body()
        state = self.server.state
        version = getattr(self.connection, "version", None)
        state.record(self.command, self.path, self.headers, body, self.client_address[1],
                     version() if version else "")
        answer = state.next_answer()
        if answer is None:
            if self.command == "GET" and self.path.startswith("/files/"):
                answer = {"file": self.path[len("/files/"):]}
            else:
                answer = {}
        delay = float(answer.get("delay", 0))
        end = time.monotonic() + delay
        while time.monotonic() < end and not self.server.stopping:
            time.sleep(min(0.05, max(0.0, end - time.monotonic())))
        if answer.get("reset"):
            # SO_LINGER with a zero time-out makes close() send a reset.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            try:
                self.connection.close()
            except OSError:
                pass
            return
        status = int(answer.get("status", 200))
        if "file" in answer:
            path = os.path.join(state.folder, "files", os.path.basename(answer["file"]))
            if not os.path.isfile(path):
                status, payload = 404, b"not found"
            else:
                with open(path, "rb") as f:
                    payload = f.read()
            content_type = answer.get("content_type", "application/octet-stream")
        else:
            text = answer.get("body", "{}")
            if answer.get("echo_cycle_end") and self.command == "POST":
                text = with_cycle_end(text, body)
            payload = text.encode(answer.get("charset", "utf-8"), errors="replace")
            content_type = answer.get("content_type", "text/json; charset=utf-8")
        self.close_connection = True
        if answer.get("raw"):
            self.wfile.write(payload)
            return
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if not answer.get("no_length"):
            self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            self.wfile.write(payload)
        except OSError:
            pass  # a client that refuses a large answer closes early

    def do_POST(self):
        self._handle()

    def do_GET(self):
        self._handle()


def make_certificate(folder):
    key = os.path.join(folder, "server.key")
    cert = os.path.join(folder, "server.crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Server(ThreadingHTTPServer):
    daemon_threads = True
    stopping = False

    def handle_error(self, request, client_address):
        pass  # failed handshakes and resets are part of the tests


def wait_for_stop(args):
    stop_file = os.path.join(args.folder, "stop")
    deadline = time.monotonic() + args.lifetime
    try:
        while not os.path.exists(stop_file) and time.monotonic() < deadline:
            time.sleep(0.05)
    except KeyboardInterrupt:
        pass


def silent(args):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    write_atomic(os.path.join(args.folder, "port"), str(listener.getsockname()[1]).encode("ascii"))
    wait_for_stop(args)
    listener.close()
    os.remove(os.path.join(args.folder, "port"))
    write_atomic(os.path.join(args.folder, "stopped"), b"")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True, help="working folder (see above)")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--plain", action="store_true", help="HTTP instead of HTTPS")
    parser.add_argument("--tls13-only", action="store_true", help="refuse every TLS version but 1.3")
    parser.add_argument("--silent", action="store_true",
                        help="listen but never accept: connections stand, nothing ever answers")
    parser.add_argument("--lifetime", type=float, default=900,
                        help="seconds after which the server ends on its own")
    args = parser.parse_args()

    if args.silent:
        silent(args)
        return
    state = State(args.folder)
    server = Server(("127.0.0.1", args.port), Handler)
    server.state = state
    if not args.plain:
        cert, key = make_certificate(args.folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        if args.tls13_only:
            context.minimum_version = ssl.TLSVersion.TLSv1_3
        else:
            context.minimum_version = ssl.TLSVersion.TLSv1_2
        # Handshakes run in the request threads so that a client that stalls
        # in the handshake holds up no one else.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)

    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.daemon = True
    thread.start()

    port = server.server_address[1]
    write_atomic(os.path.join(args.folder, "port"), str(port).encode("ascii"))
    print(port, flush=True)

    wait_for_stop(args)
    server.stopping = True
    server.shutdown()
    server.server_close()
    try:
        os.remove(os.path.join(args.folder, "port"))
    except OSError:
        pass
    write_atomic(os.path.join(args.folder, "stopped"), b"")


if __name__ == "__main__":
    main()
