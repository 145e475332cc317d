#!/usr/bin/env python3
"""Starts test statistics servers for Windows tests running under Wine.

A Windows program under Wine cannot start a Linux one, so the tests ask this
launcher instead. A test makes a folder under ROOT and writes the file
"launch" into it, holding stats_server.py's options one per line; the
launcher starts the server on that folder (which then works as usual: port,
answers, requests, stop) and, once it listens, writes "server.crt.pin": the
ServerKeyPin of its certificate, computed with the openssl command that the
README gives. The launcher ends when ROOT/stop appears or its lifetime
passes, and then stops every server it started.
"""

import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "tools", "stats-server", "stats_server.py")


def write_pin(folder):
    port = os.path.join(folder, "port")
    deadline = time.monotonic() + 60
    while not os.path.exists(port) and time.monotonic() < deadline:
        time.sleep(0.02)
    cert = os.path.join(folder, "server.crt")
    if not os.path.exists(cert):
        return  # a plain or silent server
    command = ("openssl x509 -in '%s' -noout -pubkey | openssl pkey -pubin -outform der | "
               "openssl dgst -sha256 -binary | openssl enc -base64" % cert)
    pin = subprocess.run(["sh", "-c", command], capture_output=True, text=True).stdout.strip()
    temporary = cert + ".pin.tmp"
    with open(temporary, "w") as out:
        out.write("sha256//" + pin)
    os.replace(temporary, cert + ".pin")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--lifetime", type=float, default=1200)
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    started = []
    deadline = time.monotonic() + args.lifetime
    while not os.path.exists(os.path.join(args.root, "stop")) and time.monotonic() < deadline:
        for name in sorted(os.listdir(args.root)):
            folder = os.path.join(args.root, name)
            launch = os.path.join(folder, "launch")
            if not os.path.isfile(launch):
                continue
            with open(launch) as f:
                options = [line.strip() for line in f if line.strip()]
            os.rename(launch, os.path.join(folder, "launched"))
            log = open(os.path.join(folder, "server.log"), "wb")
            subprocess.Popen([sys.executable, SERVER, "--folder", folder, "--lifetime", "900"] + options,
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.close()
            started.append(folder)
            threading.Thread(target=write_pin, args=(folder,), daemon=True).start()
        time.sleep(0.05)
    for folder in started:
        if os.path.isdir(folder) and not os.path.exists(os.path.join(folder, "stopped")):
            try:
                open(os.path.join(folder, "stop"), "w").close()
            except OSError:
                pass


if __name__ == "__main__":
    main()
