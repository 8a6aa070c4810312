#!/usr/bin/env python3
"""Serves the web page's folder (build-wasm/web) on 127.0.0.1 only.

Every response carries the two headers that make the page cross-origin
isolated, which the browser asks of a page before it lets it share memory
between threads:
    Cross-Origin-Opener-Policy: same-origin
    Cross-Origin-Embedder-Policy: require-corp
With --no-isolation it sends neither, as a static host that cannot send
headers would, and the page draws with one thread.

The first line on standard output is the address to open; then one line per
request on standard error unless --quiet.

    serve_web.py [--port N] [--no-isolation] [--quiet] FOLDER
"""
import argparse
import functools
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    isolation = True
    quiet = False
    extensions_map = {
        **http.server.SimpleHTTPRequestHandler.extensions_map,
        '.html': 'text/html; charset=utf-8',
        '.js': 'text/javascript; charset=utf-8',
        '.wasm': 'application/wasm',
    }

    def end_headers(self):
        if self.isolation:
            self.send_header('Cross-Origin-Opener-Policy', 'same-origin')
            self.send_header('Cross-Origin-Embedder-Policy', 'require-corp')
        # A rebuilt module is fetched again, never an older one from a cache.
        self.send_header('Cache-Control', 'no-cache')
        super().end_headers()

    def log_message(self, format, *args):
        if not self.quiet:
            super().log_message(format, *args)


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f'{self.prog}: {message}\n')


def main():
    parser = OneLineParser(prog='serve_web.py', description=__doc__.splitlines()[0])
    parser.add_argument('folder', help='the web page\'s folder, such as build-wasm/web')
    parser.add_argument('--port', type=int, default=0, help='the port (default 0: a free one)')
    parser.add_argument('--no-isolation', action='store_true',
                        help='send no cross-origin isolation headers (the page then has one thread)')
    parser.add_argument('--quiet', action='store_true', help='no line per request')
    args = parser.parse_args()

    index = os.path.join(args.folder, 'index.html')
    if not os.path.isfile(index):
        print(f'serve_web.py: {index} is not there: build the web page first (./run.sh --web)', file=sys.stderr)
        return 2
    if not 0 <= args.port <= 65535:
        print(f'serve_web.py: --port {args.port}: give a port from 0 to 65535', file=sys.stderr)
        return 2
    Handler.isolation = not args.no_isolation
    Handler.quiet = args.quiet
    handler = functools.partial(Handler, directory=os.path.abspath(args.folder))
    try:
        server = http.server.ThreadingHTTPServer(('127.0.0.1', args.port), handler)
    except OSError as error:
        print(f'serve_web.py: cannot listen on 127.0.0.1:{args.port}: {error.strerror}', file=sys.stderr)
        return 2
    server.daemon_threads = True
    print(f'http://127.0.0.1:{server.server_address[1]}/', flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
