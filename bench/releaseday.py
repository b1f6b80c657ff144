"""Release day, started by bench.py: a release of 100 files of 1 MiB (a third random) with
one file changed, fetched by an updater with UPDATER_DELTA_UPDATES, against the whole
download; a download cut at 90%, one killed at 50% and a delta whose range breaks off, each
with the next start; the plan over many alike entries; and, for the default build, the peak
anonymous memory on a 256 MiB package and the whole job on the large package against an
earlier build, side by side."""
import json
import os
import shutil
import statistics
import struct
import subprocess
import tempfile
import threading
import time
import zipfile

MIB = 1024 * 1024


def sent_since(log, before, path_part):
    """Bytes of bodies the server sent for requests naming `path_part`, after `before`."""
    with open(log) as f:
        f.seek(before)
        return sum(int(line.split()[-1]) for line in f if path_part in line)


def entry_spans(zip_path):
    """Each entry's bytes in the archive (local header, data, descriptor) by name, and the
    directory's length with its end record."""
    with zipfile.ZipFile(zip_path) as z:
        infos = sorted(z.infolist(), key=lambda i: i.header_offset)
    size = os.path.getsize(zip_path)
    with open(zip_path, "rb") as f:
        f.seek(size - 22)
        end = f.read(22)
    directory_size, directory_offset = struct.unpack("<II", end[12:20])
    spans = {}
    for info, following in zip(infos, infos[1:] + [None]):
        stop = following.header_offset if following else directory_offset
        spans[info.filename] = stop - info.header_offset
    return spans, size - directory_offset


def peak_anon(command, cwd, env):
    """Runs `command` and returns its peak RssAnon in KiB, sampled every 5 ms."""
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as f:
                for line in f:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.005)
    return peak


def reset(folder):
    for name in os.listdir(folder):
        if name.startswith("App"):
            path = os.path.join(folder, name)
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)


class FaultyServer:
    """Serves files over HTTPS (path: file), single ranges with If-Range included, and counts
    the body bytes it sends. `fault` at `path`: "cut" hangs up after `fraction` of the whole
    file, "hold" sends that much and then nothing more, "cut-range" hangs up halfway through
    the first range that does not reach the end, as a line that breaks off does."""

    def __init__(self, port, certs, files, path, fault, fraction=0.5):
        import http.server
        import ssl

        outer = self
        self.sent = 0
        self.cut_done = False

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_GET(self):
                if self.path not in files:
                    self.send_error(404)
                    return
                data = open(files[self.path], "rb").read()
                # As nginx names it, so that a download begun here resumes there.
                modified = self.date_time_string(os.path.getmtime(files[self.path]))
                first, last = 0, len(data) - 1
                wanted = self.headers.get("Range", "")
                partial = wanted.startswith("bytes=") and self.headers.get(
                    "If-Range", modified) == modified
                if partial:
                    start, _, end = wanted[6:].partition("-")
                    first, last = ((len(data) - int(end), len(data) - 1) if not start else
                                   (int(start), int(end) if end else len(data) - 1))
                body = data[max(first, 0):last + 1]
                self.send_response(206 if partial else 200)
                if partial:
                    self.send_header("Content-Range", f"bytes {first}-{last}/{len(data)}")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Last-Modified", modified)
                self.end_headers()
                if self.path == path and fault in ("cut", "hold") and not partial:
                    body = body[:int(len(body) * fraction)]
                elif (self.path == path and fault == "cut-range" and partial
                      and last < len(data) - 1 and not outer.cut_done):
                    outer.cut_done = True
                    body = body[:len(body) // 2]
                try:
                    self.wfile.write(body)
                    self.wfile.flush()
                except OSError:
                    return  # the updater was killed
                if self.path == path:
                    outer.sent += len(body)
                if self.path == path and fault == "hold" and not partial:
                    time.sleep(30)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.server.block_on_close = False
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certs + "/server.pem", certs + "/server.key")
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def release_day(work, env, port, args, server, bench):
    """Returns the server (nginx), restarted. `bench` is bench.py, for its helpers."""
    r = statistics.median
    www = os.path.join(work, "www")
    release = os.path.join(www, "QVX", "release", "latest.json")
    log = os.path.join(work, "nginx", "access.log")
    apps = os.path.join(work, "apps")
    # 100 files of about 1 MiB, a third random; then one of them changed; then the same
    # again with every file's time new.
    days = [("day-1", os.path.join(apps, "release-1")), ("day-2", os.path.join(apps, "release-2")),
            ("day-2-new-times", os.path.join(apps, "release-3"))]
    if not os.path.isdir(days[0][1]):
        bench.make_application(days[0][1], 100, MIB, seed=100)
    changed = "data/part05/file00005.bin"
    for (_, before), (_, after) in zip(days, days[1:]):
        shutil.rmtree(after, ignore_errors=True)
        shutil.copytree(before, after)
        if after == days[1][1]:
            with open(os.path.join(after, changed), "r+b") as f:
                f.write(os.urandom(4096))
    later = time.time() + 3600
    for folder, _, files in os.walk(days[2][1]):
        for name in files:
            os.utime(os.path.join(folder, name), (later, later))
    for name, folder in days:
        # Made anew each run: a published name never takes other bytes.
        shutil.rmtree(os.path.join(www, name), ignore_errors=True)
        bench.run([os.path.join(args.build, "pellarin-publish"), "--output",
                   os.path.join(www, name), folder, name,
                   f"https://localhost:{port}/{name}/pellarin-{name}.zip"])
    zips = {name: os.path.join(www, name, f"pellarin-{name}.zip") for name, _ in days}
    spans, directory = entry_spans(zips["day-2"])
    bound = 1.1 * (spans[changed] + directory) + 64 * 1024
    size = os.path.getsize(zips["day-2"])

    place = tempfile.mkdtemp(prefix="pellarin-bench-release-", dir="/dev/shm")
    folder = os.path.join(place, "updater")
    os.makedirs(folder)
    program = os.path.join(folder, "PellarinUpdater")
    delta = os.path.join(args.delta_build, "PellarinUpdater")
    plain = os.path.join(args.build, "PellarinUpdater")

    def start(build, day):
        shutil.copy(os.path.join(www, day, "latest.json"), release)
        shutil.copy(build, program)
        before = os.path.getsize(log) if os.path.exists(log) else 0
        elapsed, _ = bench.run_start(work, env, program, place=place)
        return elapsed, sent_since(log, before, f"/{day}/pellarin-")

    try:
        print("\nRelease day: 100 files of about 1 MiB (a third random), one changed"
              f" ({size} bytes zipped), App in /dev/shm, nginx:")
        for day in ("day-2", "day-2-new-times"):
            reset(folder)
            start(delta, "day-1")
            _, sent = start(delta, day)
            extra = " + the local headers" if day != "day-2" else ""
            print(f"  {'every entry' + chr(39) + 's time new' if extra else 'times kept':<26}"
                  f" {sent:>10} bytes sent for the package"
                  f"   (goal <= {bound:.0f}{extra}; the changed entry {spans[changed]},"
                  f" the directory {directory})")
        times = {delta: [], plain: []}
        for i in range(args.runs + 1):
            for build in ([delta, plain] if i % 2 == 0 else [plain, delta]):
                reset(folder)
                start(build, "day-1")
                elapsed, _ = start(build, "day-2")
                if i:
                    times[build].append(elapsed)
        print(f"  start to launched program: delta {r(times[delta]) * 1000:.0f} ms,"
              f" whole download {r(times[plain]) * 1000:.0f} ms"
              f"   (goal: delta <= whole)")

        # A download cut at 90% that the updater sees, one killed at 50%, and a delta whose
        # first range breaks off; each with the next start, served by nginx again.
        server.terminate()
        server.wait()
        files = {"/QVX/release/latest.json": release, "/day-2/pellarin-day-2.zip": zips["day-2"]}
        certs = os.path.join(work, "certs")
        shutil.copy(delta, program)
        for fault, fraction, title, goal in (("cut", 0.9, "a download cut at 90%", 0.12),
                                             ("hold", 0.5, "a download killed at 50%", 0.55)):
            reset(folder)
            shutil.copy(os.path.join(www, "day-2", "latest.json"), release)
            faulty = FaultyServer(port, certs, files, "/day-2/pellarin-day-2.zip", fault, fraction)
            updater = subprocess.Popen([program, "--silent"], cwd=folder, env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            partial = os.path.join(folder, "App.download")
            # The description is there from the first answer on; the bytes follow.
            for _ in range(3000):
                done = os.path.exists(partial + ".info") and os.path.exists(partial) and (
                    os.path.getsize(partial) >= fraction * size - 65536)
                if done or updater.poll() is not None:
                    break
                time.sleep(0.01)
            if fault == "cut":
                time.sleep(0.5)  # it sees the server hang up, and shows the box
            updater.kill()
            updater.wait()
            faulty.close()
            kept = os.path.getsize(partial) if os.path.exists(partial + ".info") else 0
            server = bench.start_nginx(work, port)
            _, sent = start(delta, "day-2")
            server.terminate()
            server.wait()
            print(f"  {title} ({kept} bytes kept), the next start: {sent} bytes sent,"
                  f" {sent / size * 100:.1f}% of the package   (goal <= {goal * 100:.0f}%)")
        reset(folder)
        server = bench.start_nginx(work, port)
        start(delta, "day-1")
        server.terminate()
        server.wait()
        shutil.copy(os.path.join(www, "day-2", "latest.json"), release)
        faulty = FaultyServer(port, certs, files, "/day-2/pellarin-day-2.zip", "cut-range")
        bench.run_start(work, env, program, place=place)
        faulty.close()
        server = bench.start_nginx(work, port)
        cut_bound = 2.2 * spans[changed] + directory
        print(f"  a delta whose first range breaks off"
              f" ({'it did' if faulty.cut_done else 'it did not'}): {faulty.sent} bytes sent"
              f"   (goal <= {cut_bound:.0f}: 2.2 x the changed entry + the directory)")
        plan = subprocess.run([os.path.join(args.plain_build, "bench-plan")], capture_output=True,
                              text=True)
        print(f"  delta plan: {plan.stdout.strip() or plan.stderr.strip()}   (goal < 100 ms)")
    finally:
        shutil.rmtree(place, ignore_errors=True)
    return server


def memory_and_time(work, env, port, args, bench):
    """The default build against an earlier one (--before-build): peak anonymous memory on
    a tiny and a 256 MiB package, and the whole job on the large package."""
    r = statistics.median
    www = os.path.join(work, "www")
    release = os.path.join(www, "QVX", "release", "latest.json")
    big = os.path.join(work, "apps", "random-256")
    if not os.path.isdir(big):
        os.makedirs(os.path.join(big, "bin"))
        shutil.copy(os.path.join(work, "apps", "tiny", "bin", "PellarinApp.exe"),
                    os.path.join(big, "bin", "PellarinApp.exe"))
        for i in range(256):
            with open(os.path.join(big, f"part{i:03d}.bin"), "wb") as f:
                f.write(os.urandom(MIB))
        bench.run([os.path.join(args.build, "pellarin-publish"), "--output",
                   os.path.join(www, "random-256"), big, "random-256",
                   f"https://localhost:{port}/random-256/pellarin-random-256.zip"])
    builds = [("this build", args.build)]
    if args.before_build:
        builds.append(("the earlier build", args.before_build))
    print("\nDefault build, peak anonymous memory (RssAnon), App in /dev/shm:")
    place = tempfile.mkdtemp(prefix="pellarin-bench-memory-", dir="/dev/shm")
    folder = os.path.join(place, "updater")
    os.makedirs(folder)
    program = os.path.join(folder, "PellarinUpdater")
    try:
        for title, build in builds:
            shutil.copy(os.path.join(build, "PellarinUpdater"), program)
            peaks = {}
            for name in ("tiny", "random-256"):
                shutil.copy(os.path.join(www, name, "latest.json"), release)
                peaks[name] = max(peak_anon([program, "--silent"], folder, env) for _ in range(3))
            print(f"  {title:<18} tiny {peaks['tiny'] / 1024:6.1f} MiB,"
                  f" 256 MiB package {peaks['random-256'] / 1024:6.1f} MiB"
                  f"   (+{(peaks['random-256'] - peaks['tiny']) / 1024:.1f} MiB; goal <= +48)")
    finally:
        shutil.rmtree(place, ignore_errors=True)
    if not args.before_build:
        return
    print("\nDefault build, whole job on the large package (start to launched program):")
    shutil.copy(os.path.join(www, "large", "latest.json"), release)
    for where in ("/dev/shm", work):
        place = tempfile.mkdtemp(prefix="pellarin-bench-whole-", dir=where)
        folder = os.path.join(place, "updater")
        os.makedirs(folder)
        program = os.path.join(folder, "PellarinUpdater")
        times = {build: [] for _, build in builds}
        try:
            for i in range(args.runs + 1):
                for _, build in (builds if i % 2 == 0 else builds[::-1]):
                    shutil.copy(os.path.join(build, "PellarinUpdater"), program)
                    os.sync()
                    elapsed, _ = bench.run_start(work, env, program, place=place)
                    if i:
                        times[build].append(elapsed)
        finally:
            shutil.rmtree(place, ignore_errors=True)
        now, before = r(times[args.build]), r(times[args.before_build])
        print(f"  App in {where:<40} this build {now * 1000:.0f} ms, the earlier"
              f" {before * 1000:.0f} ms   ({now / before:.2f}; goal <= 1.1)")


def debian_release(work, version, folder, program):
    """OpenSSL `version` as Debian ships it (openssl and libssl3, fetched with apt-get
    download), its programs and libraries as an App would hold them, with `program`."""
    if os.path.isdir(folder):
        return
    debs = os.path.join(work, "debs", version)
    os.makedirs(debs, exist_ok=True)
    for package in ("openssl", "libssl3"):
        if not any(name.startswith(package + "_") for name in os.listdir(debs)):
            subprocess.run(["apt-get", "download", "-q", f"{package}={version}"], cwd=debs,
                           check=True, stdout=subprocess.DEVNULL)
    unpacked = folder + ".deb"
    shutil.rmtree(unpacked, ignore_errors=True)
    for name in os.listdir(debs):
        subprocess.run(["dpkg-deb", "-x", os.path.join(debs, name), unpacked], check=True)
    # What runs: programs, libraries and modules; no documentation.
    for top, _, files in os.walk(os.path.join(unpacked, "usr")):
        for name in files:
            path = os.path.join(top, name)
            if "/share/" in path or os.path.islink(path):
                continue
            target = os.path.join(folder, os.path.relpath(path, unpacked))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)
    os.makedirs(os.path.join(folder, "bin"), exist_ok=True)
    shutil.copy(program, os.path.join(folder, "bin", "PellarinApp.exe"))
    shutil.rmtree(unpacked)


def patches(work, env, port, args, bench):
    """Two releases of rebuilt programs, OpenSSL 3.0.20 and 3.0.22 from Debian, the later
    published with a patch file from the earlier: bytes, time and memory of the update
    against the delta without the patch file."""
    r = statistics.median
    www = os.path.join(work, "www")
    release = os.path.join(www, "QVX", "release", "latest.json")
    program = os.path.join(work, "apps", "tiny", "bin", "PellarinApp.exe")
    versions = [("openssl-a", "3.0.20-1~deb12u2"), ("openssl-b", "3.0.22-1~deb12u2")]
    for name, version in versions:
        debian_release(work, version, os.path.join(work, "apps", name), program)
    publish = os.path.join(args.build, "pellarin-publish")
    earlier = os.path.join(www, "openssl-a", "pellarin-openssl-a.zip")
    for name, options in (("openssl-a", []), ("openssl-b", ["--patch-from", earlier]),
                          ("openssl-b-plain", [])):
        shutil.rmtree(os.path.join(www, name), ignore_errors=True)
        app = os.path.join(work, "apps", name.replace("-plain", ""))
        bench.run([publish, *options, "--output", os.path.join(www, name), app, name,
                   f"https://localhost:{port}/{name}/pellarin-{name}.zip"])
    size = os.path.getsize(os.path.join(www, "openssl-b", "pellarin-openssl-b.zip"))
    files = sum(len(f) for _, _, f in os.walk(os.path.join(work, "apps", "openssl-b")))
    with zipfile.ZipFile(os.path.join(www, "openssl-b", "pellarin-openssl-b.zip")) as z:
        largest = max(i.file_size for i in z.infolist())

    place = tempfile.mkdtemp(prefix="pellarin-bench-patches-", dir="/dev/shm")
    folder = os.path.join(place, "updater")
    os.makedirs(folder)
    updater = os.path.join(folder, "PellarinUpdater")
    shutil.copy(os.path.join(args.delta_build, "PellarinUpdater"), updater)

    def start(day, memory=False):
        shutil.copy(os.path.join(www, day, "latest.json"), release)
        if memory:
            return peak_anon([updater, "--silent"], folder, env)
        return bench.run_start(work, env, updater, place=place)

    try:
        print(f"\nRebuilt programs: OpenSSL 3.0.20 to 3.0.22 from Debian ({files} files,"
              f" {size} bytes zipped), App in /dev/shm, nginx:")
        times = {"openssl-b": [], "openssl-b-plain": []}
        sent = {}
        for i in range(args.runs + 1):
            for day in (["openssl-b", "openssl-b-plain"] if i % 2 == 0
                        else ["openssl-b-plain", "openssl-b"]):
                reset(folder)
                start("openssl-a")
                elapsed, sent[day] = start(day)
                if i:
                    times[day].append(elapsed)
        reset(folder)
        start("openssl-a")
        peak = start("openssl-b", memory=True) / 1024
        # How many entries the updater's zlib gave back exactly, as its log says.
        reset(folder)
        start("openssl-a")
        shutil.copy(os.path.join(www, "openssl-b", "latest.json"), release)
        said = subprocess.run([updater, "--silent"], cwd=folder, env=env, capture_output=True,
                              text=True).stderr
        transfer = [line.split("Package transfer: ")[-1] for line in said.splitlines()
                    if "Package transfer: " in line]
        print(f"  with the patch file    {sent['openssl-b']:>9} bytes sent,"
              f" {sent['openssl-b'] / size:.2f} of the package   (goal <= 0.35)")
        print(f"  without it             {sent['openssl-b-plain']:>9} bytes sent,"
              f" {sent['openssl-b-plain'] / size:.2f} of the package")
        print(f"  start to launched program: with the patch file"
              f" {r(times['openssl-b']) * 1000:.0f} ms, without"
              f" {r(times['openssl-b-plain']) * 1000:.0f} ms   (goal: with <= without)")
        print(f"  the updater's log: {transfer[-1] if transfer else 'no transfer line'}")
        print(f"  peak anonymous memory with the patch file {peak:.1f} MiB"
              f"   (goal <= {2 * largest / MIB + 64:.1f}: twice the largest entry,"
              f" {largest / MIB:.1f} MiB, + 64)")
        killed_patches(work, env, port, folder, updater, sent["openssl-b"])
    finally:
        shutil.rmtree(place, ignore_errors=True)


def killed_patches(work, env, port, folder, updater, uninterrupted):
    """A slow line with short sessions: the same patched update at 200 KiB/s (nginx's
    limit_rate), the updater killed each time another quarter of the patch file has come,
    then left to finish; every byte sent, against one uninterrupted patched update."""
    www = os.path.join(work, "www")
    release = os.path.join(www, "QVX", "release", "latest.json")
    reset(folder)
    shutil.copy(os.path.join(www, "openssl-a", "latest.json"), release)
    subprocess.run([updater, "--silent"], cwd=folder, env=env, capture_output=True)
    with open(os.path.join(www, "openssl-b", "latest.json")) as f:
        manifest = f.read().replace(f"localhost:{port}/openssl-b/", f"localhost:{port}/slow/openssl-b/")
    with open(release, "w") as f:
        f.write(manifest)
    patch = os.path.join(folder, "App.patch")
    patch_size = sum(p["size"] for p in json.loads(manifest).get("patches", []))
    log = os.path.join(work, "nginx", "access.log")
    before = os.path.getsize(log)
    kills = 0
    while kills < 8:
        runner = subprocess.Popen([updater, "--silent"], cwd=folder, env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        start = os.path.getsize(patch) if os.path.exists(patch) else 0
        while runner.poll() is None:
            grown = os.path.getsize(patch) - start if os.path.exists(patch) else 0
            if grown >= patch_size / 4:
                break
            time.sleep(0.02)
        if runner.poll() is not None:
            break
        runner.kill()
        runner.wait()
        kills += 1
    else:
        subprocess.run([updater, "--silent"], cwd=folder, env=env, capture_output=True)
    sent = sent_since(log, before, "")
    print(f"  the patch file ({patch_size} bytes) at 200 KiB/s, killed {kills} times:"
          f" {sent} bytes sent, {sent / uninterrupted:.2f} of an uninterrupted patched update"
          f"   (goal < 1.2)")
