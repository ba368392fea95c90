/*
 * page.cpp - the gateway's web page: live video of every channel (Media
 * Source Extensions fed with fragmented MP4 from /NAME/chN.mp4), a snapshot
 * link per channel and each device's status. Everything it needs is inline.
 */
#include <string>

#include "http_server.h"

namespace gateway {

namespace {

// The player: fetches the stream, appends it to a SourceBuffer, keeps the
// playback position near the live edge, trims old data, and starts again
// after any failure. Each video element shows its latency (capture to
// display) in its data-latency attribute.
const char* const SCRIPT = R"JS(
async function play(video, url, label) {
  for (;;) {
    try {
      const resp = await fetch(url, {cache: 'no-store'});
      if (!resp.ok) throw new Error('HTTP ' + resp.status + ': ' + (await resp.text()).trim());
      const origin = Number(resp.headers.get('X-Capture-Origin-Us'));
      const ms = new MediaSource();
      video.src = URL.createObjectURL(ms);
      await new Promise(r => ms.addEventListener('sourceopen', r, {once: true}));
      const sb = ms.addSourceBuffer('video/mp4; codecs="' + resp.headers.get('X-Codec') + '"');
      const queue = [];
      const pump = () => {
        if (sb.updating || ms.readyState !== 'open') return;
        const b = sb.buffered;
        if (b.length && video.currentTime - b.start(0) > 20) { sb.remove(0, video.currentTime - 10); return; }
        if (queue.length) sb.appendBuffer(queue.shift());
      };
      sb.addEventListener('updateend', () => {
        const b = sb.buffered;
        if (b.length) {
          const end = b.end(b.length - 1);
          if (end - video.currentTime > 0.5 || video.currentTime < b.start(0)) video.currentTime = end - 0.05;
        }
        pump();
      });
      video.play().catch(() => {});
      label.textContent = 'live';
      const reader = resp.body.getReader();
      for (;;) {
        const {done, value} = await reader.read();
        if (done) break;
        queue.push(value);
        pump();
        if (origin) video.dataset.latency = ((Date.now() * 1000 - origin) / 1e6 - video.currentTime).toFixed(3);
      }
      label.textContent = 'stream ended, reconnecting';
    } catch (e) {
      label.textContent = String(e.message || e) + ', retrying';
    }
    await new Promise(r => setTimeout(r, 1000));
  }
}
async function status() {
  try {
    const s = await (await fetch('/status.json', {cache: 'no-store'})).json();
    for (const d of s.devices) {
      const el = document.getElementById('status-' + d.name);
      if (!el) continue;
      el.textContent = d.online
        ? 'firmware ' + d.firmware + ', up ' + d.uptime + ' s, ' + d.sessions + ' sessions, disks: ' +
          d.disks.map(k => k.state + ' ' + Math.round(k.free / 1048576) + '/' + Math.round(k.capacity / 1048576) + ' MiB free').join('; ')
        : 'unreachable (' + d.status + '): ' + d.error;
    }
    document.getElementById('gateway').textContent =
      'gateway up ' + s.uptime + ' s, device streams ' + s.deviceStreams + ', browser viewers ' + s.browserViewers;
  } catch (e) {}
}
for (const v of document.querySelectorAll('video[data-src]')) play(v, v.dataset.src, v.nextElementSibling);
status();
setInterval(status, 5000);
)JS";

}  // namespace

std::string renderPage(Registry& registry) {
    std::string html =
        "<!doctype html><html><head><meta charset=\"utf-8\"><title>recnet gateway</title><style>"
        "body{font-family:sans-serif;margin:1em;background:#eee}"
        ".ch{display:inline-block;margin:.5em;vertical-align:top;background:#fff;padding:.5em}"
        "video{width:480px;background:#000;display:block}small{color:#555}"
        "</style></head><body><h1>recnet gateway</h1><p id=\"gateway\"></p>";
    // Device names hold only letters, digits, '-' and '_', so they need no escaping.
    for (const auto& link : registry.devices()) {
        const std::string& name = link->config().name;
        html += "<h2>" + name + "</h2><p id=\"status-" + name + "\"></p>";
        uint32_t channels = 0;
        try {
            channels = link->channels();
        } catch (const GatewayError& e) {
            html += "<p>unreachable: " + std::string(e.what()).substr(0, 200) + "</p>";
            continue;
        }
        for (uint32_t ch = 0; ch < channels; ++ch) {
            const std::string path = "/" + name + "/ch" + std::to_string(ch);
            html += "<div class=\"ch\"><b>" + path.substr(1) + "</b>"
                    "<video muted autoplay playsinline data-src=\"" + path + ".mp4\"></video>"
                    "<small>connecting</small><br><a href=\"" + path + ".jpg\">snapshot</a> "
                    "<a href=\"" + path + "/sub.mp4\">sub stream</a> <small>rtsp://HOST:PORT" + path +
                    "</small></div>";
        }
    }
    html += "<script>";
    html += SCRIPT;
    html += "</script></body></html>";
    return html;
}

}  // namespace gateway
