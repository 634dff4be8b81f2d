#!/bin/sh
# A private Dovecot POP3 server for tests and trials, kept entirely in one
# scratch folder: configuration, passwd file, Maildir, state and logs.
# By default it listens on 127.0.0.1 only, knows one user "test" with
# password "secret", allows plain-text login without TLS, and serves UIDLs
# that are the Maildir file names (stable across restarts).
#
# With SWEEPBOX_TLS_PORT, SWEEPBOX_TLS_CERT and SWEEPBOX_TLS_KEY set (a port,
# a PEM certificate chain and its key), the server requires TLS instead:
# implicit TLS on SWEEPBOX_TLS_PORT, STARTTLS on PORT, no plain-text login
# outside TLS, TLS 1.2 or newer. The certificate and key are copied to
# DIR/tls/cert.pem and DIR/tls/key.pem, read again at each start. Both ports
# listen on 127.0.0.1 and on 127.0.0.2: Dovecot counts a connection whose two
# ends have the same address as secured and then allows plain text anyway; a
# client that connects to 127.0.0.2 comes from 127.0.0.1, and is refused.
#
# SWEEPBOX_AUTH_MECHANISMS sets the SASL mechanisms offered (Dovecot's
# auth_mechanisms; default "plain login"), SWEEPBOX_PASSWORD_SCHEME the
# scheme the password is stored in (default PLAIN; e.g. SCRAM-SHA-256, made
# with doveadm pw).
#
# Usage:
#   dovecot-test-server.sh prepare DIR PORT [MESSAGE...]   write config + Maildir
#   dovecot-test-server.sh start   DIR PORT [MESSAGE...]   prepare, start, wait
#   dovecot-test-server.sh stop    DIR                     stop by pid, wait
# A MESSAGE is a file holding one raw message, or a folder whose files (in
# name order) are messages; message 1 is the first given. DIR must be new or
# a folder this script prepared before.
#
# Works as root (mail is then served as nobody:nogroup, since Dovecot refuses
# to serve mail as root) and as an ordinary user (everything runs as that user).
set -eu

die() { echo "dovecot-test-server: $*" >&2; exit 1; }

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || die "usage: $0 prepare|start DIR PORT [MESSAGE...] | stop DIR"
case "$dir" in /*) ;; *) dir="$(pwd)/$dir" ;; esac

wait_gone() { # pid: wait until the process has exited (a zombie counts as gone)
  n=0
  while [ -r "/proc/$1/stat" ]; do
    state=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1) || break
    [ "$state" = "Z" ] && break
    n=$((n + 1))
    [ "$n" -ge 200 ] && return 1
    sleep 0.05
  done
  return 0
}

if [ "$cmd" = stop ]; then
  [ -r "$dir/dovecot.pid" ] || die "no dovecot.pid in $dir"
  pid=$(cat "$dir/dovecot.pid")
  kill -TERM "$pid" 2>/dev/null || exit 0
  wait_gone "$pid" || { kill -KILL "$pid" 2>/dev/null; wait_gone "$pid" || true; }
  rm -f "$dir/dovecot.pid"
  exit 0
fi

[ "$cmd" = prepare ] || [ "$cmd" = start ] || die "unknown command: $cmd"
port=${3:-}
case "$port" in ''|*[!0-9]*) die "PORT must be a number" ;; esac
shift 3

command -v dovecot >/dev/null 2>&1 || [ -x /usr/sbin/dovecot ] ||
  die "dovecot is not installed (Debian packages dovecot-core and dovecot-pop3d)"
[ -x /usr/lib/dovecot/pop3 ] || die "the POP3 service is not installed (Debian package dovecot-pop3d)"

mkdir -p "$dir"
# The auth process (user dovecot) must read the passwd file: no 0700 folder.
chmod 755 "$dir"
mkdir -p "$dir/run" "$dir/state" "$dir/log" "$dir/mail/test/Maildir/cur" \
         "$dir/mail/test/Maildir/new" "$dir/mail/test/Maildir/tmp"

if [ "$(id -u)" -eq 0 ]; then
  mail_user=nobody
  mail_group=$(id -gn nobody 2>/dev/null || echo nogroup)
  users_block=""
  anvil_chroot=""
else
  mail_user=$(id -un)
  mail_group=$(id -gn)
  # Without root every service runs as the calling user, without chroot.
  users_block="default_internal_user = $mail_user
default_internal_group = $mail_group
default_login_user = $mail_user
service pop3-login {
  chroot =
}
service auth {
  user = $mail_user
}
service auth-worker {
  user = $mail_user
}"
  anvil_chroot="chroot ="
fi

tls_port=${SWEEPBOX_TLS_PORT:-}
if [ -n "$tls_port" ]; then
  case "$tls_port" in *[!0-9]*) die "SWEEPBOX_TLS_PORT must be a number" ;; esac
  [ -r "${SWEEPBOX_TLS_CERT:-}" ] && [ -r "${SWEEPBOX_TLS_KEY:-}" ] ||
    die "SWEEPBOX_TLS_PORT needs readable SWEEPBOX_TLS_CERT and SWEEPBOX_TLS_KEY files"
  mkdir -p "$dir/tls"
  cp "$SWEEPBOX_TLS_CERT" "$dir/tls/cert.pem"
  cp "$SWEEPBOX_TLS_KEY" "$dir/tls/key.pem"
  chmod 600 "$dir/tls/key.pem"
  addresses="127.0.0.1 127.0.0.2"
  ssl_block="ssl = required
ssl_cert = <$dir/tls/cert.pem
ssl_key = <$dir/tls/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = yes"
  pop3s_block="address = $addresses
    port = $tls_port
    ssl = yes"
else
  addresses=127.0.0.1
  ssl_block="ssl = no
disable_plaintext_auth = no"
  pop3s_block="port = 0"
fi

cat > "$dir/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
instance_name = sweepbox-test-pop3-$port
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/log/dovecot.log
info_log_path = $dir/log/dovecot.log
$ssl_block
auth_mechanisms = ${SWEEPBOX_AUTH_MECHANISMS:-plain login}
auth_failure_delay = 0
mail_location = maildir:$dir/mail/%u/Maildir
pop3_uidl_format = %f
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = static
  args = uid=$mail_user gid=$mail_group home=$dir/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    address = $addresses
    port = $port
  }
  inet_listener pop3s {
    $pop3s_block
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
# No growing delays after a failed login: tests refuse passwords on purpose.
service anvil {
  $anvil_chroot
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
$users_block
CONF
# With SWEEPBOX_OAUTH2_TOKENINFO_URL set (an address to which an access
# token is appended), OAUTHBEARER and XOAUTH2 sign in too, through the oauth2
# passdb: the address answers JSON with the user's name in "username" and
# "active": true for a good token. Password sign-in stays as it is.
if [ -n "${SWEEPBOX_OAUTH2_TOKENINFO_URL:-}" ]; then
  cat > "$dir/oauth2.conf.ext" <<OAUTH2
tokeninfo_url = $SWEEPBOX_OAUTH2_TOKENINFO_URL
username_attribute = username
active_attribute = active
active_value = true
timeout_msecs = 5000
OAUTH2
  chmod 644 "$dir/oauth2.conf.ext"
  cat >> "$dir/dovecot.conf" <<CONF
auth_mechanisms = \$auth_mechanisms oauthbearer xoauth2
passdb {
  driver = oauth2
  mechanisms = oauthbearer xoauth2
  args = $dir/oauth2.conf.ext
}
CONF
fi
scheme=${SWEEPBOX_PASSWORD_SCHEME:-PLAIN}
if [ "$scheme" = PLAIN ]; then
  echo 'test:{PLAIN}secret::::::' > "$dir/passwd"
else
  hash=$(doveadm pw -s "$scheme" -p secret) || die "doveadm pw -s $scheme failed"
  echo "test:$hash::::::" > "$dir/passwd"
fi
chmod 644 "$dir/passwd"

# Message files go straight to cur/ with zero-padded names, so their order
# and their UIDLs are fixed.
n=0
add_message() {
  n=$((n + 1))
  cp "$1" "$dir/mail/test/Maildir/cur/$(printf '%010d' "$n").M${n}P1.sweepbox:2,"
}
for m in "$@"; do
  if [ -d "$m" ]; then
    for f in "$m"/*; do [ -f "$f" ] && add_message "$f"; done
  elif [ -f "$m" ]; then
    add_message "$m"
  else
    die "no such message file or folder: $m"
  fi
done
if [ "$(id -u)" -eq 0 ]; then
  chown -R "$mail_user:$mail_group" "$dir/mail"
fi

doveconf -c "$dir/dovecot.conf" -n >/dev/null 2>"$dir/log/doveconf.err" ||
  die "configuration rejected: $(cat "$dir/log/doveconf.err")"

[ "$cmd" = prepare ] && exit 0

# start: in the foreground of a background job, so the pid is the master's.
if [ -r "$dir/dovecot.pid" ] && kill -0 "$(cat "$dir/dovecot.pid")" 2>/dev/null; then
  die "already running in $dir (pid $(cat "$dir/dovecot.pid"))"
fi
nohup dovecot -F -c "$dir/dovecot.conf" >"$dir/log/stderr.log" 2>&1 &
pid=$!
echo "$pid" > "$dir/dovecot.pid"
# Ready once the port listens; connecting to test it would slow the shutdown.
i=0
until ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; do
  if ! kill -0 "$pid" 2>/dev/null; then
    die "dovecot exited: $(tail -n 5 "$dir/log/dovecot.log" "$dir/log/stderr.log" 2>/dev/null)"
  fi
  i=$((i + 1))
  [ "$i" -ge 400 ] && die "dovecot did not listen on port $port within 20 s"
  sleep 0.05
done
echo "$pid"
