#!/usr/bin/env python3
"""Figures of recnet-gateway against the reference device (run by hand):

- time to first picture over RTSP for a first viewer (the device stream is
  not running: login, start, first key frame) and for a second viewer (the
  path runs and keeps its group of pictures): from connecting until the last
  RTP packet of the first key frame has arrived (a small RTSP client over
  TCP interleaved; decoding is the player's and not counted);
- browser: time to first picture and latency (capture time to the frame
  shown) in headless Chromium, via tests/gateway/browser_check.py;
- CPU of the gateway per RTSP viewer (N ffmpeg viewers over TCP for S s);
- the gateway's resident memory while viewers come and go.

usage: bench/gateway_bench.py [BUILD_DIR] [--viewers 1,4,8] [--seconds 10] [--rounds 5]
"""
import json, os, socket, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def arg(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def free_port(skip=0):
    # Ports below 32768, where the kernel hands out no ephemeral ports.
    for port in range(20000 + os.getpid() % 5000 + skip, 32000, 7):
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port)); b.bind(("127.0.0.1", port + 1))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("127.0.0.1", port + 4))
            return port
        except OSError:
            continue
    raise SystemExit("no free port")


def wait_line(proc, prefix):
    for line in proc.stdout:
        if line.startswith(prefix):
            return line
    raise SystemExit("process ended before '%s'" % prefix)


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def viewer(url, seconds):
    cmd = ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-t", str(seconds)]
    # ffmpeg's null muxer warns about the kept frames' 1 ms spacing; quiet.
    return subprocess.Popen(cmd + ["-f", "null", "-"], stdin=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def rtsp_first_picture(port, path):
    """Seconds from connect until the marker packet of the first IDR picture."""
    start = time.time()
    sock = socket.create_connection(("127.0.0.1", port), timeout=15)
    f = sock.makefile("rb")
    url, cseq, session = "rtsp://127.0.0.1:%d/%s" % (port, path), 0, ""

    def request(method, target, extra=""):
        nonlocal cseq, session
        cseq += 1
        sock.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s%s\r\n" % (
            method, target, cseq, session and "Session: %s\r\n" % session, extra)).encode())
        headers, length = {}, 0
        status = f.readline().decode()
        while True:
            line = f.readline().decode().strip()
            if not line:
                break
            k, v = line.split(":", 1)
            headers[k.lower()] = v.strip()
        f.read(int(headers.get("content-length", "0")))
        if "session" in headers:
            session = headers["session"].split(";")[0]
        if " 200 " not in status:
            raise SystemExit("%s %s: %s" % (method, path, status.strip()))
        return headers

    base = request("DESCRIBE", url, "Accept: application/sdp\r\n").get("content-base", url + "/")
    request("SETUP", base.rstrip("/") + "/stream=0", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
    request("PLAY", url)
    in_idr = False
    while True:
        head = f.read(4)
        data = f.read(int.from_bytes(head[2:4], "big"))
        if head[1] != 0 or len(data) < 14:
            continue
        marker, nal = data[1] & 0x80, data[12] & 0x1f
        if nal == 28:  # FU-A: the fragmented unit's type is in the next byte
            nal = data[13] & 0x1f
        elif nal == 24:  # STAP-A: the first aggregated unit's type
            nal = data[15] & 0x1f if len(data) > 15 else 0
        in_idr = in_idr or nal in (5, 7)
        if in_idr and marker:
            elapsed = time.time() - start
            sock.close()
            return elapsed


def main():
    build = next((a for a in sys.argv[1:] if not a.startswith("--") and os.path.isdir(a)),
                 os.path.join(ROOT, "build"))
    counts = [int(n) for n in arg("--viewers", "1,4,8").split(",")]
    seconds, rounds = float(arg("--seconds", "10")), int(arg("--rounds", "5"))
    dev_port = free_port()
    gw_port = free_port(skip=14)
    state = "/tmp/recnet-gwbench-%d" % os.getpid()
    device = subprocess.Popen([os.path.join(build, "recnet-device"), "--base-port", str(dev_port),
                               "--state", state], stdout=subprocess.PIPE, text=True)
    gateway = None
    try:
        wait_line(device, "ready")
        gateway = subprocess.Popen([os.path.join(build, "recnet-gateway"), "--device",
                                    "dev=127.0.0.1:%d" % dev_port, "--rtsp-port", str(gw_port),
                                    "--http-port", str(gw_port + 1), "--bind", "127.0.0.1",
                                    "--linger", "2"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        wait_line(gateway, "ready")
        url = "rtsp://127.0.0.1:%d/dev/ch" % gw_port
        for ch in range(4):
            first = rtsp_first_picture(gw_port, "dev/ch%d" % ch)
            holder = viewer(url + str(ch), seconds=30)
            time.sleep(1.0 + 0.3 * ch)  # different points in the group of pictures
            second = rtsp_first_picture(gw_port, "dev/ch%d" % ch)
            holder.terminate(); holder.wait(10)
            print("channel %d: first viewer %.3f s, second viewer %.3f s to first picture" % (ch, first, second))
        check = subprocess.run([sys.executable, os.path.join(ROOT, "tests/gateway/browser_check.py"),
                                "http://127.0.0.1:%d/" % (gw_port + 1), "640", "360", "--watch", "8"],
                               capture_output=True, text=True, timeout=120)
        print("browser:", check.stdout.strip())
        for n in counts:
            viewers = [viewer(url + "3", seconds=seconds + 5) for _ in range(n)]
            time.sleep(3)
            c0, t0 = cpu_seconds(gateway.pid), time.time()
            time.sleep(seconds)
            used = (cpu_seconds(gateway.pid) - c0) / (time.time() - t0) * 100
            for v in viewers:
                v.terminate(); v.wait(10)
            print("%2d RTSP viewers: gateway CPU %.1f %% of one core (%.2f %% per viewer), RSS %d KiB"
                  % (n, used, used / n, rss_kib(gateway.pid)))
            time.sleep(3)
        print("memory while 8 viewers come and go on 4 channels:")
        for r in range(rounds):
            viewers = [viewer(url + str(i % 4), seconds=3) for i in range(8)]
            for v in viewers:
                v.wait(30)
            time.sleep(3)  # past the linger: every device stream stopped
            print("  round %d: RSS %d KiB" % (r + 1, rss_kib(gateway.pid)))
    finally:
        for p in (gateway, device):
            if p:
                p.terminate(); p.wait(10)
        subprocess.run(["rm", "-rf", state])


if __name__ == "__main__":
    main()
