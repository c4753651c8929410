# A lighttpd serving a directory on 127.0.0.1, for the network scenario and
# the benchmark; sourced, it gives:
#
#   lighttpd_start DOCROOT STATE [CERT.pem KEY.pem [CLIENT-CA.pem]]
#       serves DOCROOT on a free port, plain HTTP, or HTTPS with the
#       certificate and key given (and a client certificate required, signed
#       by CLIENT-CA, for mutual TLS); its configuration, pid and access log
#       (STATE/access.log: "STATUS BYTES RANGE" a request) in STATE. Sets
#       LIGHTTPD_PORT.
#   lighttpd_flush STATE
#       has it write out the access log it buffers (a second or so).
#   lighttpd_stop STATE
#       stops it (also for a caller's EXIT trap).
#   free_port
#       prints a TCP port on 127.0.0.1 that nothing listens on.

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

lighttpd_start() {
    local docroot=$1 state=$2 cert=${3:-} key=${4:-} clientca=${5:-}
    mkdir -p "$state"
    LIGHTTPD_PORT=$(free_port)
    : >"$state/access.log"
    {
        cat <<CONF
server.document-root = "$docroot"
server.bind = "127.0.0.1"
server.port = $LIGHTTPD_PORT
server.pid-file = "$state/lighttpd.pid"
server.errorlog = "$state/error.log"
server.modules = ("mod_accesslog")
accesslog.filename = "$state/access.log"
accesslog.format = "%s %b %{Range}i"
mimetype.assign = ("" => "application/octet-stream")
# A file replaced on disk is served, and named by its ETag, as it is now.
server.stat-cache-engine = "disable"
CONF
        if [ -n "$cert" ]; then
            cat <<CONF
server.modules += ("mod_openssl")
ssl.engine = "enable"
ssl.pemfile = "$cert"
ssl.privkey = "$key"
CONF
        fi
        if [ -n "$clientca" ]; then
            cat <<CONF
ssl.ca-file = "$clientca"
ssl.verifyclient.activate = "enable"
ssl.verifyclient.enforce = "enable"
CONF
        fi
    } >"$state/lighttpd.conf"
    lighttpd -f "$state/lighttpd.conf" -m /usr/lib/lighttpd
    # Up once it answers on its port.
    local i
    for i in $(seq 50); do
        if python3 -c "import socket; socket.create_connection(('127.0.0.1', $LIGHTTPD_PORT), 1)" \
            2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "lighttpd did not start: $(cat "$state/error.log" 2>/dev/null)" >&2
    return 1
}

lighttpd_flush() {
    local pid
    pid=$(cat "$1/lighttpd.pid" 2>/dev/null) || return 1
    # SIGHUP: reopen the logs, writing out what was buffered first.
    kill -HUP "$pid" && sleep 0.3
}

lighttpd_stop() {
    local pid
    pid=$(cat "$1/lighttpd.pid" 2>/dev/null) || return 0
    kill "$pid" 2>/dev/null || true
    rm -f "$1/lighttpd.pid"
}
