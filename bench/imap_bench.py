#!/usr/bin/env python3
"""IMAP benchmark: header listing and already-archived re-runs of a large account.

Side by side in one run, against a Dovecot of its own on loopback (TLS, self-signed
certificate) holding N small messages written straight into its Maildir:
  listing   `tarnwick paths --source ACCOUNT --json`: every folder and every header
            listed in chunks of 5000, the paths computed from the headers alone.
            Reports seconds and the front end's peak memory (aims: under 60 s, under
            300 MB for 100,000 messages).
  re-run    a PDF of 7000 bytes is put at every path the listing gave, then
            `tarnwick archive --source ACCOUNT` runs over the archived account. Reports
            seconds, peak memory, the longest main-thread stall, and how many message
            bodies Dovecot sent (aims: under 5 minutes, no body).
The listing is run twice: the first includes Dovecot indexing the new Maildir.

Usage: bench/imap_bench.py [build-dir] [--count N] [--keep]
Needs root (Dovecot's users), dovecot-imapd, openssl, dbus-x11, gnome-keyring.
Exit status 0, 1 when a check fails (a run fails, a body is downloaded on the re-run,
a path is missing from the listing).
"""
import argparse, json, os, pathlib, pwd, shutil, signal, socket, subprocess, sys, tempfile, time

root = pathlib.Path(__file__).resolve().parent.parent
USER, PASSWORD = "bench@example.org", "bench-password"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_dovecot(tmp, count):
    dove = pwd.getpwnam("dovecot")
    os.chmod(tmp, 0o755)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-keyout", f"{tmp}/key.pem", "-out", f"{tmp}/cert.pem"], check=True, capture_output=True)
    pathlib.Path(f"{tmp}/passwd").write_text(f"{USER}:{{PLAIN}}{PASSWORD}\n")
    port = free_port()
    pathlib.Path(f"{tmp}/dovecot.conf").write_text(f"""base_dir = {tmp}/run
state_dir = {tmp}/state
log_path = {tmp}/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = yes
ssl_cert = <{tmp}/cert.pem
ssl_key = <{tmp}/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = 1
mail_location = maildir:~/Maildir
log_debug = category=imap
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {tmp}/passwd
}}
userdb {{
  driver = static
  args = uid={dove.pw_uid} gid={dove.pw_gid} home={tmp}/home/%u
}}
service imap-login {{
  chroot =
  inet_listener imap {{
    port = 0
  }}
  inet_listener imaps {{
    address = 127.0.0.1
    port = {port}
    ssl = yes
  }}
}}
service anvil {{
  chroot =
}}
""")
    # Small messages, one folder of most of them and a few smaller ones, like a real
    # account; written straight into new/, as a delivery agent would.
    folders = {"INBOX": count * 7 // 10, ".Archive.2023": count * 2 // 10}
    folders[".Sent"] = count - sum(folders.values())
    home = pathlib.Path(tmp, "home", USER, "Maildir")
    n = 0
    for folder, k in folders.items():
        base = home if folder == "INBOX" else home / folder
        for sub in ("cur", "new", "tmp"):
            (base / sub).mkdir(parents=True, exist_ok=True)
        for i in range(k):
            n += 1
            body = (f"From: Sender {n % 97} <sender{n % 97}@example.org>\r\nTo: {USER}\r\n"
                    f"Subject: Benchmark message {n}\r\n"
                    f"Date: {time.strftime('%a, %d %b %Y %H:%M:%S +0000', time.gmtime(1577836800 + n * 600))}\r\n"
                    f"Message-ID: <{n}@bench.test>\r\n\r\nBody of message {n}.\r\n")
            (base / "new" / f"{1600000000 + n}.M{n}P1.bench").write_text(body)
    for dirpath, dirnames, filenames in os.walk(pathlib.Path(tmp, "home")):
        os.chown(dirpath, dove.pw_uid, dove.pw_gid)
        for f in filenames:
            os.chown(os.path.join(dirpath, f), dove.pw_uid, dove.pw_gid)
    master = subprocess.Popen(["dovecot", "-F", "-c", f"{tmp}/dovecot.conf"])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return master, port
        except OSError:
            time.sleep(0.1)
    raise SystemExit("dovecot does not listen")


def start_keyring(tmp):
    env = dict(os.environ, HOME=f"{tmp}/khome", XDG_DATA_HOME=f"{tmp}/khome/data", XDG_RUNTIME_DIR=f"{tmp}/krun")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    out = subprocess.run(["dbus-launch", "--sh-syntax"], env=env, capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        if line.startswith("DBUS_SESSION_BUS_ADDRESS="):
            env["DBUS_SESSION_BUS_ADDRESS"] = line.split("=", 1)[1].strip().rstrip(";").strip("'")
        if line.startswith("DBUS_SESSION_BUS_PID="):
            env["BENCH_BUS_PID"] = line.split("=", 1)[1].strip().rstrip(";")
    subprocess.run(["gnome-keyring-daemon", "--unlock", "--components=secrets"], env=env, input="bench\n",
                   capture_output=True, text=True, check=True)
    return env


def timed(cmd, env):
    """Runs `cmd`; (seconds, peak memory MB, stdout, stderr, status)."""
    start = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, env=env, capture_output=True, text=True)
    seconds = time.monotonic() - start
    lines = p.stderr.strip().splitlines()
    peak = int(lines[-1]) / 1024 if lines and lines[-1].isdigit() else float("nan")
    return seconds, peak, p.stdout, "\n".join(lines[:-1]), p.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=str(root / "build"))
    ap.add_argument("--count", type=int, default=100000)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    tarnwick = str(pathlib.Path(args.build, "tarnwick").resolve())
    if os.geteuid() != 0:
        raise SystemExit("imap_bench: run as root (Dovecot's mail and login users)")
    tmp = tempfile.mkdtemp(prefix="imap-bench-")
    master = None
    env = None
    failed = False
    try:
        t0 = time.monotonic()
        master, port = start_dovecot(tmp, args.count)
        print(f"{args.count} messages written into Maildir in {time.monotonic() - t0:.1f} s")
        env = start_keyring(tmp)
        env.update(XDG_CONFIG_HOME=f"{tmp}/config", TZ="UTC", TMPDIR=f"{tmp}/t")
        os.makedirs(env["TMPDIR"], exist_ok=True)
        dest = f"{tmp}/archive"
        os.makedirs(dest)
        subprocess.run([tarnwick, "config", "set-destination", dest], env=env, check=True, capture_output=True)
        subprocess.run([tarnwick, "sources", "add-account", USER, "--server", f"127.0.0.1:{port}", "--password-stdin"],
                       env=env, input=PASSWORD + "\n", text=True, check=True, capture_output=True)

        rows = []
        listing = None
        for label in ("listing, cold server", "listing, warm server"):
            seconds, peak, out, err, status = timed([tarnwick, "paths", "--source", USER, "--json"], env)
            if status != 0:
                print(f"{label} failed: {err}")
                failed = True
                break
            listing = json.loads(out)
            rows.append((label, seconds, peak, len(listing)))
        if listing is not None and len(listing) != args.count:
            print(f"the listing gave {len(listing)} messages, not {args.count}")
            failed = True

        if listing:
            pdf = b"%PDF-1.4\n" + b"%" * 7000 + b"\n%%EOF\n"
            for entry in listing:
                path = pathlib.Path(entry["pdf"])
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(pdf)
            log = pathlib.Path(tmp, "dovecot.log")
            bodies_before = log.read_text(errors="replace").count("BODY.PEEK[]")
            run_env = dict(env, TARNWICK_REPORT_STALLS="1")
            seconds, peak, out, err, status = timed([tarnwick, "archive", "--source", USER], run_env)
            bodies = log.read_text(errors="replace").count("BODY.PEEK[]") - bodies_before
            stall = [l for l in err.splitlines() if "stall" in l]
            rows.append(("re-run over the archived account", seconds, peak, bodies))
            if status != 0:
                print(f"re-run failed ({status}): {out} {err}")
                failed = True
            if bodies:
                print(f"the re-run downloaded {bodies} message bodies")
                failed = True
            print(out.strip())
            if stall:
                print(stall[-1])

        print()
        print(f"{'':36} {'seconds':>9} {'peak MB':>9} {'messages / bodies':>18}")
        for label, seconds, peak, n in rows:
            print(f"{label:36} {seconds:9.1f} {peak:9.0f} {n:18}")
        print("aims: listing under 60 s and 300 MB; re-run under 300 s with no body downloaded")
    finally:
        if master:
            master.terminate()
            master.wait(timeout=30)
        if env and env.get("BENCH_BUS_PID"):
            os.kill(int(env["BENCH_BUS_PID"]), signal.SIGTERM)
        if args.keep:
            print(f"kept {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
