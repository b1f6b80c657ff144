"""Serves a folder over HTTPS on 127.0.0.1 the way a plain static server does: HTTP/1.0,
one response a connection, then it hangs up. Logs each request as nginx's timing log
does. Usage: closing_server.py <folder> <port> <certificate> <key> <log>"""
import functools
import http.server
import ssl
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        start = time.time()
        super().do_GET()
        self.wfile.flush()
        end = time.time()
        with open(sys.argv[5], "a") as log:
            log.write(f'{end:.3f} {end - start:.3f} "GET {self.path} HTTP/1.0" 0\n')

    def log_message(self, *args):
        pass


def main():
    folder, port, certificate, key = sys.argv[1:5]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", int(port)),
                                             functools.partial(Handler, directory=folder))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
