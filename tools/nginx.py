"""Debian's nginx in the foreground, for the tests and the benchmark: the main configuration
around the caller's server blocks, with every file nginx writes in the caller's directory;
`user root` keeps the workers' user where only root is mapped (a namespace of a test's own)."""

import os

MAIN = """
daemon off; user root; pid %(dir)s/nginx.pid; error_log %(dir)s/nginx-error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path %(dir)s/body; proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi; uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    %(servers)s
}
"""


def command(directory, servers):
    """The command that runs nginx with `servers` (its server blocks) in `directory`."""
    path = os.path.join(directory, "nginx.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write(MAIN % {"dir": directory, "servers": servers})
    return ["nginx", "-c", path, "-e", os.path.join(directory, "nginx-start.log")]
