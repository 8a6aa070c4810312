#!/usr/bin/env python3
"""The web page's server (scripts/serve_web.py) answers requests made to the
address it printed, and refuses, in a short body of its own, those made to
any other name, as a page of another site would make them through a name
that resolves to 127.0.0.1; it serves files with the headers of cross-origin
isolation (or without, with --no-isolation), and lists no folders.

    server_tests.py SERVE_SCRIPT

Exit status: 0 passed, 1 failed (each failure on standard error).
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def start(serve_script, folder, *options):
    server = subprocess.Popen([sys.executable, serve_script, '--quiet', *options, folder],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The address is its first line; the read ends with the line, or with
    # the server's end, and the test's deadline is ctest's.
    line = server.stdout.readline()
    address = re.fullmatch(r'http://127\.0\.0\.1:([0-9]+)/\n', line)
    if not address:
        server.kill()
        raise SystemExit(f'FAILED: serve_web.py printed "{line.strip()}", not its address; '
                         f'{server.stderr.read().strip()}')
    return server, int(address.group(1))


def request(port, lines):
    """One request, as raw header lines; the status, headers and body of the
    answer, read to the end of the connection."""
    with socket.create_connection(('127.0.0.1', port), timeout=30) as connection:
        connection.sendall(('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1'))
        answer = b''
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            answer += chunk
    head, _, body = answer.partition(b'\r\n\r\n')
    head_lines = head.decode('latin-1').split('\r\n')
    status = int(head_lines[0].split(' ')[1]) if head_lines[0].startswith('HTTP/') else 0
    headers = {}
    for line in head_lines[1:]:
        name, _, value = line.partition(':')
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


def get(port, path, host, method='GET'):
    lines = [f'{method} {path} HTTP/1.1', 'Connection: close']
    if host is not None:
        lines.insert(1, f'Host: {host}')
    return request(port, lines)


def main():
    serve_script = sys.argv[1]
    site = tempfile.mkdtemp(prefix='ombrastel-site-')
    try:
        index = b'<!doctype html><title>the page</title>\n'
        with open(os.path.join(site, 'index.html'), 'wb') as f:
            f.write(index)
        with open(os.path.join(site, 'module.wasm'), 'wb') as f:
            f.write(b'\0asm\1\0\0\0')
        os.mkdir(os.path.join(site, 'folder'))
        with open(os.path.join(site, 'folder', 'secret.txt'), 'w') as f:
            f.write('a file not to be listed\n')
        os.mkdir(os.path.join(site, 'pages'))
        with open(os.path.join(site, 'pages', 'index.html'), 'wb') as f:
            f.write(index)

        server, port = start(serve_script, site)
        try:
            own = [f'127.0.0.1:{port}', f'localhost:{port}', f'LocalHost:{port}']
            for host in own:
                status, headers, body = get(port, '/', host)
                check(status == 200 and body == index, f'Host {host}: {status}, {body[:60]!r}')
                check(headers.get('cross-origin-opener-policy') == 'same-origin' and
                      headers.get('cross-origin-embedder-policy') == 'require-corp',
                      f'Host {host}: no cross-origin isolation headers: {headers}')
            status, headers, _ = get(port, '/module.wasm', own[0])
            check(status == 200 and headers.get('content-type') == 'application/wasm',
                  f'/module.wasm: {status}, {headers.get("content-type")}')
            status, headers, body = get(port, '/index.html', own[0], 'HEAD')
            check(status == 200 and body == b'', f'HEAD /index.html: {status}, {body[:60]!r}')

            # Names of other sites, and of this one at another port; no Host,
            # or two.
            refused = [f'rebound.example:{port}', 'rebound.example', '127.0.0.1', 'localhost', f'127.0.0.1:{port + 1}',
                       f'127.0.0.1:{port}.rebound.example', f'localhost.:{port}', f'127.0.0.2:{port}',
                       f'[::1]:{port}', f'0.0.0.0:{port}', '']
            for host in refused:
                for path, method in [('/', 'GET'), ('/index.html', 'GET'), ('/folder/secret.txt', 'GET'),
                                     ('/index.html', 'HEAD')]:
                    status, headers, body = get(port, path, host, method)
                    check(status == 421, f'{method} {path} with Host "{host}": {status}, not 421')
                    check(b'the page' not in body and b'secret' not in body and len(body) < 200,
                          f'{method} {path} with Host "{host}" answered {body[:80]!r}')
                    check(method == 'HEAD' or body.startswith(b'This server answers only 127.0.0.1:'),
                          f'{method} {path} with Host "{host}": body {body[:80]!r}')
            status, _, body = get(port, '/index.html', None)
            check(status == 421 and b'the page' not in body, f'no Host: {status}, {body[:60]!r}')
            status, _, body = request(port, ['GET /index.html HTTP/1.0'])
            check(status == 421 and b'the page' not in body, f'HTTP/1.0 without Host: {status}, {body[:60]!r}')
            status, _, body = request(port, ['GET /index.html HTTP/1.1', f'Host: 127.0.0.1:{port}',
                                             f'Host: rebound.example:{port}', 'Connection: close'])
            check(status == 421 and b'the page' not in body, f'two Host headers: {status}, {body[:60]!r}')

            # Folders: one without index.html is not there, one with it is
            # its page.
            for path in ['/folder/', '/folder', '/folder/.', '/pages/../folder/']:
                status, _, body = get(port, path, own[0])
                check(status == 404 and b'secret' not in body, f'{path}: {status}, {body[:80]!r}')
            status, _, body = get(port, '/folder/secret.txt', own[0])
            check(status == 200 and body == b'a file not to be listed\n', f'/folder/secret.txt: {status}')
            status, _, body = get(port, '/pages/', own[0])
            check(status == 200 and body == index, f'/pages/: {status}, {body[:60]!r}')
            status, _, _ = get(port, '/missing.js', own[0])
            check(status == 404, f'/missing.js: {status}')
        finally:
            server.terminate()
            server.wait(timeout=30)

        server, port = start(serve_script, site, '--no-isolation')
        try:
            status, headers, body = get(port, '/', f'localhost:{port}')
            check(status == 200 and body == index and 'cross-origin-opener-policy' not in headers and
                  'cross-origin-embedder-policy' not in headers, f'--no-isolation: {status}, {headers}')
            status, _, _ = get(port, '/', f'rebound.example:{port}')
            check(status == 421, f'--no-isolation, Host rebound.example:{port}: {status}')
        finally:
            server.terminate()
            server.wait(timeout=30)
    finally:
        shutil.rmtree(site)

    for failure in failures:
        print(f'FAILED: {failure}', file=sys.stderr)
    if not failures:
        print('PASSED')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
