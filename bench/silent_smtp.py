#!/usr/bin/env python3
"""An SMTP server that accepts connections and never says a word: the mail
action waits for its greeting until its time-out. Prints its port, then runs
until killed. usage: silent_smtp.py [PORT]"""
import socket
import sys
import threading

server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1]) if len(sys.argv) > 1 else 0))
server.listen(64)
print(server.getsockname()[1], flush=True)
held = []
while True:
    connection, _ = server.accept()
    held.append(connection)  # kept open, never answered
