"""Runs the updater and the shell pipeline alternately on the same packages, served over
HTTPS on loopback by nginx (keep-alive) or by a server that closes the connection after
every response, and prints the medians; and times a tiny package from start to the
launched program against the floor of a Qt program that makes one request. Started by
bench/run.sh."""
import argparse
import datetime
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import releaseday

MIB = 1024 * 1024
# What the packages install as bin/PellarinApp.exe: it notes when it started.
LAUNCHED = '#!/bin/sh\n[ -z "$LAUNCHED_AT" ] || date +%s.%N > "$LAUNCHED_AT"\n'
PIPELINE = r"""set -e
curl -sS --cacert "$CA" -o latest.json "$MANIFEST"
hash=$(sed -n 's/.*"hash": "\([0-9a-f]*\)".*/\1/p' latest.json)
url=$(sed -n 's/.*"url": "\([^"]*\)".*/\1/p' latest.json)
curl -sS --cacert "$CA" -o package.zip "$url"
echo "$hash  package.zip" | sha256sum -c --quiet
if [ -n "$PUBLIC_KEY" ]; then
    sed -n 's/.*"signature": "\([^"]*\)".*/\1/p' latest.json | base64 -d > package.zip.minisig
    minisign -Vq -p "$PUBLIC_KEY" -m package.zip
fi
rm -rf App && unzip -q package.zip -d App
./App/bin/PellarinApp.exe --silent &
"""


def run(command, **options):
    """subprocess.run that, when the program fails, shows what it said and stops the
    benchmark with that, not with a traceback."""
    result = subprocess.run(command, capture_output=True, **options)
    if result.returncode != 0:
        def text(out):
            return out.decode(errors="replace") if isinstance(out, bytes) else (out or "")
        print(f"\n{' '.join(command)} failed with status {result.returncode}:")
        print(text(result.stdout) + text(result.stderr))
        raise SystemExit(1)
    return result


def loopback_ipv6():
    """Whether ::1 can be listened on: where /etc/hosts names it localhost too, clients may
    try it first."""
    import socket
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def make_application(folder, files, size, seed):
    """`files` files of about `size` bytes: a third random, the rest compressible text."""
    rng = random.Random(seed)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "bin"))
    with open(os.path.join(folder, "bin", "PellarinApp.exe"), "w") as exe:
        exe.write(LAUNCHED)
    os.chmod(os.path.join(folder, "bin", "PellarinApp.exe"), 0o755)
    words = [("".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))))
             for _ in range(4000)]
    for i in range(files):
        sub = os.path.join(folder, "data", "part%02d" % (i % 40))
        os.makedirs(sub, exist_ok=True)
        path = os.path.join(sub, "file%05d.bin" % i)
        n = size + rng.randint(-size // 4, size // 4)
        with open(path, "wb") as out:
            if i % 3 == 0:
                out.write(os.urandom(n))
            else:
                text = []
                length = 0
                while length < n:
                    line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
                    text.append(line)
                    length += len(line)
                out.write("".join(text).encode()[:n])


def largest_file(folder):
    return max(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(folder) for f in fs)


def start_nginx(work, port):
    conf = os.path.join(work, "nginx", "nginx.conf")
    os.makedirs(os.path.join(work, "nginx", "tmp"), exist_ok=True)
    with open(conf, "w") as f:
        f.write(f"""daemon off;
worker_processes 1;
pid {work}/nginx/nginx.pid;
error_log {work}/nginx/error.log;
events {{ worker_connections 64; }}
http {{
    log_format timing '$msec $request_time "$request" $body_bytes_sent';
    access_log {work}/nginx/access.log timing;
    client_body_temp_path {work}/nginx/tmp/body;
    proxy_temp_path {work}/nginx/tmp/proxy;
    fastcgi_temp_path {work}/nginx/tmp/fastcgi;
    uwsgi_temp_path {work}/nginx/tmp/uwsgi;
    scgi_temp_path {work}/nginx/tmp/scgi;
    sendfile on;
    types {{ application/json json; application/zip zip; }}
    server {{
        listen 127.0.0.1:{port} ssl;
        {f"listen [::1]:{port} ssl;" if loopback_ipv6() else ""}
        server_name localhost;
        ssl_certificate {work}/certs/server.pem;
        ssl_certificate_key {work}/certs/server.key;
        root {os.path.realpath(os.path.join(work, 'www'))};
        # The same releases on a slow line.
        location /slow/ {{
            alias {os.path.realpath(os.path.join(work, 'www'))}/;
            limit_rate 200k;
        }}
    }}
}}
""")
    return wait_for(subprocess.Popen(["nginx", "-e", f"{work}/nginx/error.log", "-p",
                                      f"{work}/nginx", "-c", conf]), work, port)


def start_closing_server(work, port):
    here = os.path.dirname(os.path.abspath(__file__))
    return wait_for(subprocess.Popen(
        ["python3", os.path.join(here, "closing_server.py"), os.path.join(work, "www"), str(port),
         f"{work}/certs/server.pem", f"{work}/certs/server.key",
         os.path.join(work, "nginx", "access.log")]), work, port)


def wait_for(server, work, port):
    for _ in range(100):
        if subprocess.run(["curl", "-sf", "--cacert", f"{work}/certs/ca.pem", "-o", "/dev/null",
                           f"https://localhost:{port}/"], check=False).returncode in (0, 22):
            return server
        time.sleep(0.1)
    run(["curl", "-sS", "--cacert", f"{work}/certs/ca.pem", "-o", "/dev/null",
         f"https://localhost:{port}/"])
    return server


def last_request(work, path):
    with open(os.path.join(work, "nginx", "access.log")) as f:
        lines = [line for line in f if f"GET {path} " in line]
    end, duration = lines[-1].split()[:2]
    return float(end) - float(duration), float(end)


def run_updater(work, env, package_path, place=None):
    folder = os.path.join(place or work, "updater")
    start = time.time()
    result = subprocess.run(["/usr/bin/time", "-v", "-o", os.path.join(work, "time.txt"),
                             "./PellarinUpdater", "--silent"], cwd=folder, env=env,
                            capture_output=True, text=True, check=False)
    end = time.time()
    stamps = {}
    for line in result.stderr.splitlines():
        m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\|(.*)", line)
        if m:
            when = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
            key = m.group(2).split(":")[0]
            stamps.setdefault(key, time.mktime(when.timetuple()) + when.microsecond / 1e6)
    if "Program launched successfully." not in stamps:
        raise SystemExit("the updater failed:\n" + result.stderr)
    with open(os.path.join(work, "time.txt")) as f:
        rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read()).group(1))
    _, download_end = last_request(work, package_path)
    return {
        "start-up": stamps["Downloading latest version..."] - start,
        "manifest": stamps["Hash"] - stamps["Downloading latest version..."],
        "download": download_end - stamps["Hash"],
        "digest": stamps["Files verified"] - download_end,
        "installation": stamps["Launching program"] - stamps["Files verified"],
        "launch": stamps["Program launched successfully."] - stamps["Launching program"],
        "quit": end - stamps["Program launched successfully."],
        "whole job": end - start,
        "peak MiB": rss / 1024,
    }


def run_pipeline(work, port, public_key, place=None):
    folder = os.path.join(place or work, "pipeline")
    env = dict(os.environ, CA=f"{work}/certs/ca.pem", PUBLIC_KEY=public_key,
               MANIFEST=f"https://localhost:{port}/QVX/release/latest.json")
    start = time.time()
    run(["bash", "-c", PIPELINE], cwd=folder, env=env)
    return time.time() - start


def run_tiny(work, env, program, arguments=()):
    """Start to launched program, in seconds, with nothing installed."""
    shutil.rmtree(os.path.join(work, "updater", "App"), ignore_errors=True)
    return run_start(work, env, program, arguments)[0]


def run_floor(work, port, url, zip_path, app_folder, place):
    """The parts of the job that no updater can avoid, each alone: the download, inflating
    every entry, and writing the files from memory."""
    start = time.time()
    run(["curl", "-sS", "--cacert", f"{work}/certs/ca.pem", "-o", "/dev/null", url])
    download = time.time() - start
    start = time.time()
    subprocess.run(["unzip", "-p", zip_path], stdout=subprocess.DEVNULL, check=True)
    inflate = time.time() - start
    files = []
    for folder, _, names in os.walk(app_folder):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                files.append((os.path.relpath(path, app_folder), f.read()))
    target = os.path.join(place, "floor-write")
    shutil.rmtree(target, ignore_errors=True)
    os.sync()
    start = time.time()
    for relative, data in files:
        path = os.path.join(target, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    write = time.time() - start
    shutil.rmtree(target)
    return download + (inflate + write) / 2


def compare(work, env, port, runs, title, name, build, public_key, place=None):
    """The updater against the shell pipeline on one published package; for the large one
    also against the floor of a 2-core machine. `place` holds the installations (default:
    `work`)."""
    place = place or work
    for folder in ("updater", "pipeline"):
        os.makedirs(os.path.join(place, folder), exist_ok=True)
    shutil.copy(os.path.join(build, "PellarinUpdater"), os.path.join(place, "updater"))
    shutil.copy(os.path.join(work, "www", name, "latest.json"),
                os.path.join(work, "www", "QVX", "release", "latest.json"))
    zip_path = [os.path.join(work, "www", name, f) for f in os.listdir(os.path.join(work, "www", name))
                if f.endswith(".zip")][0]
    package_mib = os.path.getsize(zip_path) / MIB
    app = name.split("-")[0]
    largest_mib = largest_file(os.path.join(work, "apps", app)) / MIB
    package_path = f"/{name}/{os.path.basename(zip_path)}"
    updater, pipeline, floor = [], [], []
    for i in range(runs + 1):  # the first round warms the caches and is dropped
        for which in ([0, 1] if i % 2 == 0 else [1, 0]):
            # Each run starts with nothing left to write back from the one before.
            os.sync()
            if which == 0:
                r = run_updater(work, env, package_path, place)
                if i:
                    updater.append(r)
            else:
                t = run_pipeline(work, port, public_key, place)
                if i:
                    pipeline.append(t)
        if app == "large" and i:
            floor.append(run_floor(work, port, f"https://localhost:{port}{package_path}",
                                   zip_path, os.path.join(work, "apps", app), place))
    med = {k: statistics.median(r[k] for r in updater) for k in updater[0]}
    pipe = statistics.median(pipeline)
    print(f"\n{title}: package {package_mib:.1f} MiB, largest entry {largest_mib:.2f} MiB")
    for k in ("start-up", "manifest", "download", "digest", "installation", "launch", "quit"):
        print(f"  updater {k:<13} {med[k] * 1000:8.0f} ms")
    print(f"  updater whole job     {med['whole job'] * 1000:8.0f} ms")
    print(f"  shell pipeline        {pipe * 1000:8.0f} ms"
          + ("  (with minisign -V)" if public_key else ""))
    target = 0.3 if app == "large" else 0.7
    print(f"  ratio updater/pipeline   {med['whole job'] / pipe:6.2f}   (goal <= {target})")
    if floor:
        low = statistics.median(floor)
        print(f"  floor: download + (inflate + write) / 2 {low * 1000:8.0f} ms;"
              f" updater/floor {med['whole job'] / low:5.2f}   (goal <= 1.3)")
    limit = package_mib + largest_mib + 64
    print(f"  updater peak memory   {med['peak MiB']:8.0f} MiB; package + largest entry"
          f" + 64 MiB = {limit:.0f} MiB ({med['peak MiB'] / limit:.2f} of it)")


def fixed_cost(work, env, port, args):
    """A tiny package from start to the launched program, against the floor."""
    shutil.copy(os.path.join(work, "www", "tiny", "latest.json"),
                os.path.join(work, "www", "QVX", "release", "latest.json"))
    print("\nTiny package (a script and a 100-byte file), start to launched program, nginx:")
    manifest = f"https://localhost:{port}/QVX/release/latest.json"
    programs = [("floor: Qt Widgets window + one HTTPS request",
                 os.path.join(args.plain_build, "bench-floor"), [manifest], None),
                ("updater without UPDATER_TRUSTED_CA",
                 os.path.join(args.plain_build, "PellarinUpdater"), ["--silent"], 0.100),
                ("updater with UPDATER_TRUSTED_CA",
                 os.path.join(args.build, "PellarinUpdater"), ["--silent"], 0.100),
                ("the same, chain ends at a system authority",
                 os.path.join(args.other_build, "PellarinUpdater"), ["--silent"], None)]
    for title, program, arguments, goal in programs:
        if program.endswith("PellarinUpdater"):
            # It installs beside itself.
            shutil.copy(program, os.path.join(work, "updater"))
            program = os.path.join(work, "updater", "PellarinUpdater")
        times = [run_tiny(work, env, program, arguments) for _ in range(args.runs + 1)][1:]
        line = f"  {title:<46} {statistics.median(times) * 1000:6.0f} ms"
        print(line + (f"   (goal <= {goal * 1000:.0f} ms)" if goal else ""))
    r = statistics.median
    stages = [run_updater(work, env, "/tiny/pellarin-tiny.zip") for _ in range(args.runs)]
    print("  its stages: " + ", ".join(
        f"{k} {r(s[k] for s in stages) * 1000:.0f} ms"
        for k in ("start-up", "manifest", "download", "digest", "installation", "launch")))


def run_start(work, env, program, arguments=("--silent",), place=None):
    """Start to launched program with App as it is, in seconds, and the server's bytes."""
    folder = os.path.join(place or work, "updater")
    launched = os.path.join(work, "launched-at")
    if os.path.exists(launched):
        os.remove(launched)
    log = os.path.join(work, "nginx", "access.log")
    before = os.path.getsize(log) if os.path.exists(log) else 0
    start = time.time()
    run([program, *arguments], cwd=folder, env=dict(env, LAUNCHED_AT=launched))
    for _ in range(100):
        if os.path.exists(launched) and os.path.getsize(launched):
            break
        time.sleep(0.01)
    with open(launched) as f:
        elapsed = float(f.read()) - start
    sent = 0
    if os.path.exists(log):
        with open(log) as f:
            f.seek(before)
            sent = sum(int(line.split()[-1]) for line in f if line.strip())
    return elapsed, sent


def silent_server(port):
    """Accepts connections and never answers, as a network that swallows packets."""
    import socket
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    return listener


def field(work, env, port, args, server):
    """The field options: an unchanged release, an unreachable or silent server, and the
    staged installation against the one in place. Returns the server, restarted."""
    r = statistics.median
    runs = range(args.runs + 1)
    place = tempfile.mkdtemp(prefix="pellarin-bench-field-", dir="/dev/shm")
    updater = os.path.join(place, "updater")
    os.makedirs(updater)
    plain = os.path.join(work, "updater", "PellarinUpdater")
    shutil.copy(os.path.join(args.build, "PellarinUpdater"), plain)
    program = os.path.join(updater, "PellarinUpdater")
    shutil.copy(os.path.join(args.field_build, "PellarinUpdater"), program)
    release = os.path.join(work, "www", "QVX", "release", "latest.json")
    try:
        print("\nField options, start to launched program (App in /dev/shm):")
        tiny, skip, sent = [], [], []
        for i in runs:
            shutil.copy(os.path.join(work, "www", "tiny", "latest.json"), release)
            tiny.append(run_tiny(work, env, plain, ["--silent"]))
            shutil.copy(os.path.join(work, "www", "field", "latest.json"), release)
            if i == 0:
                run_start(work, env, program, place=place)  # installs it
                continue
            elapsed, bytes_sent = run_start(work, env, program, place=place)
            skip.append(elapsed)
            sent.append(bytes_sent)
        tiny = tiny[1:]
        manifest = os.path.getsize(release)
        print(f"  tiny run, plain build (the reference)          {r(tiny) * 1000:6.0f} ms")
        print(f"  200 MiB in 2,000 files installed, unchanged    {r(skip) * 1000:6.0f} ms"
              f"   ({r(skip) / r(tiny):.2f} of the tiny run; goal <= 1.3)")
        print(f"    bytes the server sent: {max(sent)} (the manifest is {manifest})")
        server.send_signal(signal.SIGTERM)
        server.wait()
        down = [run_start(work, env, program, place=place)[0] for _ in runs][1:]
        print(f"  server refusing connections                    {r(down) * 1000:6.0f} ms"
              f"   ({r(down) / r(tiny):.2f} of the tiny run; goal <= 1)")
        listener = silent_server(port)
        try:
            silent = [run_start(work, env, program, place=place)[0] for _ in range(3)]
        finally:
            listener.close()
        print(f"  server that accepts and never answers          {r(silent) * 1000:6.0f} ms"
              f"   (goal <= manifest time-out 10 s + 0.3 s)")
        server = start_nginx(work, port)
        shutil.copy(os.path.join(work, "www", "large", "latest.json"), release)
        staged, in_place = [], []
        offline = os.path.join(args.offline_build, "PellarinUpdater")
        for i in runs:
            for which in ([0, 1] if i % 2 == 0 else [1, 0]):
                shutil.copy(offline if which == 0 else os.path.join(args.build, "PellarinUpdater"),
                            program)
                os.sync()
                result = run_updater(work, env, "/large/pellarin-large.zip", place)["whole job"]
                if i:
                    (staged if which == 0 else in_place).append(result)
        print(f"  whole job, 200 MiB in 200 files: staged {r(staged) * 1000:.0f} ms,"
              f" in place {r(in_place) * 1000:.0f} ms"
              f"   ({r(staged) / r(in_place):.2f}; goal <= 1.1)")
    finally:
        shutil.rmtree(place, ignore_errors=True)
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the updater, with UPDATER_TRUSTED_CA")
    parser.add_argument("--plain-build", required=True,
                        help="the updater without it, and the floor program")
    parser.add_argument("--signed-build", required=True, help="the updater with the key below")
    parser.add_argument("--other-build", required=True,
                        help="the updater trusting an authority that is not the server's")
    parser.add_argument("--field-build", required=True,
                        help="the updater with UPDATER_SKIP_UNCHANGED and UPDATER_OFFLINE_START")
    parser.add_argument("--offline-build", required=True,
                        help="the updater with UPDATER_OFFLINE_START alone")
    parser.add_argument("--delta-build", required=True,
                        help="the updater with UPDATER_DELTA_UPDATES")
    parser.add_argument("--before-build",
                        help="an earlier build of the updater, to compare the default build with")
    parser.add_argument("--key", required=True, help="minisign key pair, without .key/.pub")
    parser.add_argument("--work", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", choices=["tiny", "large", "field", "release", "patches"],
                        help="the fixed cost of a run, the large package, the field options,"
                             " release day or the patched release alone")
    args = parser.parse_args()
    work, port = args.work, args.port
    signing = ["--sign", args.key + ".key", "--public-key", args.key + ".pub"]

    # (application, files, size, published as: [(name, options)])
    apps = [("large", 200, MIB, [("large", []), ("large-signed", signing)]),
            ("small", 2000, 10 * 1024, [("small", []), ("small-signed", signing)]),
            ("tiny", 1, 100, [("tiny", [])]),
            ("field", 2000, 100 * 1024, [("field", [])])]
    for app, files, size, published in apps:
        folder = os.path.join(work, "apps", app)
        if not os.path.isdir(folder):
            make_application(folder, files, size, seed=files)
        for name, options in published:
            run([os.path.join(args.build, "pellarin-publish"), *options, "--output",
                 os.path.join(work, "www", name), folder, name,
                 f"https://localhost:{port}/{name}/pellarin-{app}.zip"])
    for folder in ("updater", "pipeline", "www/QVX/release"):
        os.makedirs(os.path.join(work, folder), exist_ok=True)

    xvfb = None
    env = dict(os.environ, QT_MESSAGE_PATTERN="%{time yyyy-MM-dd HH:mm:ss.zzz}|%{message}")
    if not env.get("DISPLAY"):
        xvfb = subprocess.Popen(["Xvfb", ":%d" % (200 + os.getpid() % 50), "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
        env["DISPLAY"] = ":%d" % (200 + os.getpid() % 50)
        time.sleep(1)
    server = start_nginx(work, port)
    try:
        cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                             capture_output=True, text=True).stdout.strip()
        print(f"machine: {os.cpu_count()} cores, {cpu}; runs: {args.runs} of each, alternating")

        if args.only == "field":
            server = field(work, env, port, args, server)
            return
        if args.only == "release":
            server = releaseday.release_day(work, env, port, args, server, sys.modules[__name__])
            releaseday.patches(work, env, port, args, sys.modules[__name__])
            releaseday.memory_and_time(work, env, port, args, sys.modules[__name__])
            return
        if args.only == "patches":
            releaseday.patches(work, env, port, args, sys.modules[__name__])
            return
        if args.only != "large":
            fixed_cost(work, env, port, args)
        if args.only == "tiny":
            return

        compare(work, env, port, args.runs, "200 MiB in 200 files", "large", args.build, "")
        # The disk of a virtual machine is noisy; memory shows what the updater itself does.
        ram = tempfile.mkdtemp(prefix="pellarin-bench-", dir="/dev/shm")
        try:
            compare(work, env, port, args.runs, "200 MiB in 200 files, installed in /dev/shm",
                    "large", args.build, "", ram)
        finally:
            shutil.rmtree(ram, ignore_errors=True)
        if args.only == "large":
            return
        compare(work, env, port, args.runs, "200 MiB in 200 files, signed", "large-signed",
                args.signed_build, args.key + ".pub")
        compare(work, env, port, args.runs, "20 MiB in 2,000 small files", "small", args.build, "")
        compare(work, env, port, args.runs, "20 MiB in 2,000 small files, signed",
                "small-signed", args.signed_build, args.key + ".pub")
        server.send_signal(signal.SIGTERM)
        server.wait()
        server = start_closing_server(work, port)
        compare(work, env, port, args.runs,
                "20 MiB in 2,000 small files, a server that closes every connection", "small",
                args.build, "")
        server.send_signal(signal.SIGTERM)
        server.wait()
        server = start_nginx(work, port)
        server = field(work, env, port, args, server)
        server = releaseday.release_day(work, env, port, args, server, sys.modules[__name__])
        releaseday.patches(work, env, port, args, sys.modules[__name__])
        releaseday.memory_and_time(work, env, port, args, sys.modules[__name__])
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()


if __name__ == "__main__":
    main()
