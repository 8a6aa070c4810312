#!/usr/bin/env python3
"""Serves the web page's folder (build-wasm/web) on 127.0.0.1 only.

Every response carries the two headers that make the page cross-origin
isolated, which the browser asks of a page before it lets it share memory
between threads:
    Cross-Origin-Opener-Policy: same-origin
    Cross-Origin-Embedder-Policy: require-corp
With --no-isolation it sends neither, as a static host that cannot send
headers would, and the page draws with one thread.

It answers only requests made to the address it prints, 127.0.0.1:PORT, or
to localhost:PORT: a request whose Host header names another address gets
421 Misdirected Request, so that a page of another site cannot read the
folder through a name of its own that resolves to 127.0.0.1 (DNS
rebinding). It lists no folders: a folder without index.html is 404.

The first line on standard output is the address to open; then one line per
request on standard error unless --quiet.

    serve_web.py [--port N] [--no-isolation] [--quiet] FOLDER
"""
import argparse
import functools
import http.server
from http import HTTPStatus
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

    # The Host headers of this server's own address, set once it listens.
    own_hosts = frozenset()

    def parse_request(self):
        if not super().parse_request():
            return False
        hosts = self.headers.get_all('Host') or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.own_hosts:
            self.refuse(HTTPStatus.MISDIRECTED_REQUEST,
                        'This server answers only ' + ' and '.join(sorted(self.own_hosts)) + '.\n')
            return False
        return True

    def refuse(self, status, text):
        body = text.encode('utf-8')
        self.send_response(status)
        self.send_header('Content-Type', 'text/plain; charset=utf-8')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.close_connection = True
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def list_directory(self, path):
        self.refuse(HTTPStatus.NOT_FOUND, 'Not found.\n')
        return None

    def send_head(self):
        # A folder without index.html is not there, with or without its
        # trailing slash.
        path = self.translate_path(self.path)
        if os.path.isdir(path) and not os.path.isfile(os.path.join(path, 'index.html')):
            self.refuse(HTTPStatus.NOT_FOUND, 'Not found.\n')
            return None
        return super().send_head()

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
    port = server.server_address[1]
    Handler.own_hosts = frozenset({f'127.0.0.1:{port}', f'localhost:{port}'})
    print(f'http://127.0.0.1:{port}/', flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
