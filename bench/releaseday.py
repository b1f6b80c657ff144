"""Release day, started by bench.py: a release of 100 files of 1 MiB (a third random) with
one file changed, fetched by an updater with UPDATER_DELTA_UPDATES, against the whole
download; a download cut at 90% and the next start; and, for the default build, the peak
anonymous memory on a 256 MiB package and the whole job on the large package against an
earlier build, side by side."""
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


class CuttingServer:
    """Serves files over HTTPS (path: file), and hangs up after `fraction` of the one at
    `cut`, as a line that breaks off does."""

    def __init__(self, port, certs, files, cut, fraction):
        import http.server
        import ssl

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_GET(self):
                if self.path not in files:
                    self.send_error(404)
                    return
                data = open(files[self.path], "rb").read()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Last-Modified",
                                 self.date_time_string(os.path.getmtime(files[self.path])))
                self.end_headers()
                self.wfile.write(data[:int(len(data) * fraction)] if self.path == cut else data)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", port), Handler)
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

        # A download cut at 90%, then the next start, served by nginx again.
        server.terminate()
        server.wait()
        reset(folder)
        shutil.copy(os.path.join(www, "day-2", "latest.json"), release)
        shutil.copy(delta, program)
        cutter = CuttingServer(port, os.path.join(work, "certs"),
                               {"/QVX/release/latest.json": release,
                                "/day-2/pellarin-day-2.zip": zips["day-2"]},
                               "/day-2/pellarin-day-2.zip", 0.9)
        updater = subprocess.Popen([program, "--silent"], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        info = os.path.join(place, "updater", "App.download.info")
        for _ in range(3000):
            if os.path.exists(info) or updater.poll() is not None:
                break
            time.sleep(0.01)
        updater.kill()
        updater.wait()
        cutter.close()
        server = bench.start_nginx(work, port)
        kept = os.path.getsize(os.path.join(folder, "App.download")) if os.path.exists(info) else 0
        _, sent = start(delta, "day-2")
        print(f"  a download cut at 90% ({kept} bytes kept), the next start:"
              f" {sent} bytes sent, {sent / size * 100:.1f}% of the package   (goal <= 12%)")
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
