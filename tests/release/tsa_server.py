"""A local RFC 3161 time-stamp server for the release tests: answers each POSTed query with
`openssl ts -reply`. Usage: tsa_server.py CONFIG PORTFILE; writes the port it listens on (127.0.0.1)."""
import http.server
import subprocess
import sys

config, portfile = sys.argv[1], sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin"],
                               input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(portfile, "w") as out:
    out.write(str(server.server_address[1]))
server.serve_forever()
