#!/usr/bin/python3
"""A small DNS responder for the flagger's tests, for answers that a real
blacklist server does not give on demand.

Usage: dns_responder.py QUERY_LOG [ADDRESS [MODE]]

It listens on ADDRESS port 53 (127.0.0.1 when not given). In the mode
"answer" (the default) it answers by the zone a query name ends in:

  slow.test      no such name, after 500 ms (longer than one zone's wait)
  slowlist.test  127.0.0.2, after 500 ms
  fail.test      SERVFAIL
  garbled.test   success with an A record that does not parse
  list.test      127.0.0.2 and 127.0.0.3
  anything else  no such name

In the mode "silent" it answers nothing at all, like a server behind a link
that drops every packet. In the mode "garbage" it answers every query with
something that is no answer to it, in turn: a packet shorter than a header,
a reply with another query's id, a reply with the query's id whose question
runs past the end of the packet, and the query's id followed by random
bytes.

Every query name is appended to QUERY_LOG."""

import os
import socket
import struct
import sys
import threading

NOERROR, SERVFAIL, NXDOMAIN = 0, 2, 3


def parse_question(packet):
    labels, pos = [], 12
    while packet[pos] != 0:
        length = packet[pos]
        labels.append(packet[pos + 1:pos + 1 + length].decode("ascii", "replace"))
        pos += 1 + length
    question_end = pos + 5
    return ".".join(labels).lower(), packet[12:question_end]


def response(query, rcode, answers=(), rdata_override=None):
    ident, flags = struct.unpack("!HH", query[:4])
    name, question = parse_question(query)
    flags = 0x8000 | (flags & 0x0100) | 0x0080 | rcode
    header = struct.pack("!HHHHHH", ident, flags, 1, len(answers), 0, 0)
    body = question
    for address in answers:
        rdata = rdata_override if rdata_override is not None else socket.inet_aton(address)
        body += struct.pack("!HHHIH", 0xC00C, 1, 1, 60, len(rdata)) + rdata
    return header + body


def answer(query):
    name, _ = parse_question(query)
    if name.endswith("slowlist.test"):
        return 0.5, response(query, NOERROR, ["127.0.0.2"])
    if name.endswith("slow.test"):
        return 0.5, response(query, NXDOMAIN)
    if name.endswith("fail.test"):
        return 0, response(query, SERVFAIL)
    if name.endswith("garbled.test"):
        return 0, response(query, NOERROR, ["127.0.0.2"], rdata_override=b"\x7f\x00\x00")
    if name.endswith("list.test"):
        return 0, response(query, NOERROR, ["127.0.0.2", "127.0.0.3"])
    return 0, response(query, NXDOMAIN)


def garbage(query, turn):
    ident = struct.unpack("!H", query[:2])[0]
    if turn == 0:
        return query[:7]
    if turn == 1:
        return struct.pack("!HHHHHH", ident ^ 0x5a5a, 0x8180, 1, 1, 0, 0) + query[12:]
    if turn == 2:
        return struct.pack("!HHHHHH", ident, 0x8180, 1, 1, 0, 0) + b"\x3f" + query[13:20]
    return struct.pack("!H", ident) + os.urandom(60)


def main():
    log = open(sys.argv[1], "a", buffering=1)
    address = sys.argv[2] if len(sys.argv) > 2 else "127.0.0.1"
    mode = sys.argv[3] if len(sys.argv) > 3 else "answer"
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 53))
    print("dns_responder: ready", flush=True)
    turn = 0
    while True:
        query, peer = sock.recvfrom(4096)
        log.write(parse_question(query)[0] + "\n")
        if mode == "silent":
            continue
        if mode == "garbage":
            sock.sendto(garbage(query, turn), peer)
            turn = (turn + 1) % 4
            continue
        delay, reply = answer(query)
        if delay:
            threading.Timer(delay, sock.sendto, (reply, peer)).start()
        else:
            sock.sendto(reply, peer)


if __name__ == "__main__":
    main()
