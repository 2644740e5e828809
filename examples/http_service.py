"""The model where server code uses it: an HTTP service that takes kernel
callback records as POST bodies.

A FastAPI app answers POST /callbacks with 200 and the validated record, or
422 with pydantic's error list.  This script serves it with uvicorn on a free
loopback port, posts every record in examples/records (or the files given)
to it, prints each answer and stops the service.  A watchdog ends the
process if anything hangs, so it always ends within a few seconds.
"""
import json
import os
import socket
import sys
import threading
import time
import urllib.error
import urllib.request

import uvicorn
from fastapi import FastAPI

from server import record_paths  # examples/server.py, beside this script
from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel

WATCHDOG_SECONDS = 20
REQUEST_SECONDS = 5

app = FastAPI(title="kernel callbacks")


@app.post("/callbacks")
def receive_callback(callback: VelTarnCallbackModel) -> VelTarnCallbackModel:
    # FastAPI validates the body with the model: an invalid record never
    # reaches this function and is answered with 422 and the error list.
    return callback


def post(url, body):
    request = urllib.request.Request(url, data=body, method="POST",
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=REQUEST_SECONDS) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


def describe(status, answer):
    if status == 200:
        return json.dumps(answer, sort_keys=True)
    return "; ".join("%s: %s" % (".".join(str(p) for p in e["loc"]), e["msg"]) for e in answer["detail"])


def main(paths):
    watchdog = threading.Timer(WATCHDOG_SECONDS, lambda: os._exit(3))
    watchdog.daemon = True
    watchdog.start()

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started:
        if not thread.is_alive():
            print("the service did not start", file=sys.stderr)
            return 1
        time.sleep(0.02)
    url = "http://127.0.0.1:%d/callbacks" % port
    print("service listening on %s" % url)
    try:
        for path in paths:
            status, answer = post(url, path.read_bytes())
            print("POST %s -> %d %s" % (path.name, status, describe(status, answer)))
    finally:
        server.should_exit = True
        thread.join(REQUEST_SECONDS)
        sock.close()
    print("service stopped")
    watchdog.cancel()
    return 0


if __name__ == "__main__":
    sys.exit(main(record_paths(sys.argv[1:])))
