#!/usr/bin/env python3
"""Opens the gateway's page in headless Chromium (driven over the W3C WebDriver
protocol by chromedriver) and checks the first channel's live video: its time
advances, its size is the expected one, and a screenshot of it is not black.

usage: browser_check.py PAGE_URL WIDTH HEIGHT [--watch SECONDS]
Prints one JSON line with what it saw; exit status 0 when every check holds.
"""
import base64, io, json, socket, subprocess, sys, time, urllib.request

from PIL import Image, ImageStat


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def call(base, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=30) as r:
        return json.loads(r.read())["value"]


def main():
    url, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    watch = float(sys.argv[sys.argv.index("--watch") + 1]) if "--watch" in sys.argv else 3.0
    port = free_port()
    driver = subprocess.Popen(["/usr/bin/chromedriver", "--port=%d" % port],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base, session, result = "http://127.0.0.1:%d" % port, None, {}
    try:
        for _ in range(100):
            try:
                call(base, "GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": "/usr/bin/chromium",
            "args": ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--autoplay-policy=no-user-gesture-required", "--window-size=1280,900"]}}}}
        session = call(base, "POST", "/session", caps)["sessionId"]
        s = "/session/" + session
        started = time.time()
        call(base, "POST", s + "/url", {"url": url})
        probe = {"script": "const v = document.querySelector('video'); return v ? [v.currentTime, "
                           "v.videoWidth, v.videoHeight, Number(v.dataset.latency || -1)] : null;",
                 "args": []}
        first_picture = None
        samples = []
        deadline = time.time() + 20
        while time.time() < deadline:
            t, w, h, latency = call(base, "POST", s + "/execute/sync", probe) or [0, 0, 0, -1]
            if first_picture is None and t > 0:
                first_picture = time.time() - started
            if first_picture is not None:
                samples.append((time.time(), t, latency))
                if samples[-1][0] - samples[0][0] >= watch:
                    break
            time.sleep(0.1)
        video = call(base, "POST", s + "/element", {"using": "css selector", "value": "video"})
        shot = base64.b64decode(call(base, "GET", s + "/element/%s/screenshot" % list(video.values())[0]))
        latencies = sorted(l for _, _, l in samples if l >= 0)
        result = {
            "first_picture_s": round(first_picture, 3) if first_picture else None,
            "advanced_s": round(samples[-1][1] - samples[0][1], 3) if samples else 0,
            "width": w, "height": h,
            "latency_median_s": latencies[len(latencies) // 2] if latencies else None,
            "screenshot_mean": round(sum(ImageStat.Stat(Image.open(io.BytesIO(shot)).convert("RGB")).mean) / 3, 1),
        }
    finally:
        if session:
            try:
                call(base, "DELETE", "/session/" + session)
            except OSError:
                pass
        driver.terminate()
        driver.wait(10)
    print(json.dumps(result))
    ok = (result.get("advanced_s", 0) >= watch * 0.5 and result.get("width") == width
          and result.get("height") == height and result.get("screenshot_mean", 0) > 20)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
