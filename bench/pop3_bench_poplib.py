#!/usr/bin/python3
"""Full header scan of a POP3 mailbox with Python's standard poplib.

usage: pop3_bench_poplib.py HOST PORT USER PASSWORD

The same command sequence as the other contestants of pop3_bench: USER,
PASS, STAT, LIST, then TOP n 0 and LIST n for every message, QUIT. Prints
one line "seconds=S messages=N header_lines=L bytes=B"; the time covers the
conversation only, from connecting to the QUIT reply (not the interpreter's
start-up).
"""
import poplib
import sys
import time


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    start = time.perf_counter()
    pop = poplib.POP3(host, port, timeout=10)
    pop.user(user)
    pop.pass_(password)
    count, _ = pop.stat()
    pop.list()
    header_lines = 0
    total = 0
    for n in range(1, count + 1):
        _, lines, _ = pop.top(n, 0)
        header_lines += len(lines)
        reply = pop._shortcmd('LIST %d' % n)
        total += int(reply.split()[2])
    pop.quit()
    seconds = time.perf_counter() - start
    print('seconds=%.6f messages=%d header_lines=%d bytes=%d' % (seconds, count, header_lines, total))


if __name__ == '__main__':
    main()
