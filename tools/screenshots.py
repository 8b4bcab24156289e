"""Screenshots of every page of the built site, as a reader's browser shows it.

Drives a headless Chromium through its DevTools protocol: each page is shot whole at each
width, in slices of one screen height so an image viewer shows them at full size. At the
desktop width it also prints how many characters a code block's line holds, the figure
tests/python/test_docs_layout.py keeps the examples within.

Usage: python3.14 tools/screenshots.py SITE_DIR OUT_DIR CHROMIUM [PAGE...]
  PAGE: a page's folder in the site, such as "gating" or "reference/ruvo_gate"; all when none.
"""

import asyncio
import base64
import itertools
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import aiohttp

# A common laptop, and a common phone.
WIDTHS = {"desktop": (1280, 800), "phone": (390, 844)}

# The characters one line of a code block holds: its inner width over the width of one
# character of its font.
MEASURE = """(() => {
  const code = document.querySelector('.md-content pre > code');
  if (!code) return null;
  const style = getComputedStyle(code);
  const probe = document.createElement('span');
  probe.textContent = 'x'.repeat(100);
  code.appendChild(probe);
  const char = probe.getBoundingClientRect().width / 100;
  probe.remove();
  const inner = code.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  return {inner: inner, char: char, columns: Math.floor(inner / char)};
})()"""


class Browser:
    """One DevTools session over a websocket; commands are answered in order."""

    def __init__(self, socket: aiohttp.ClientWebSocketResponse) -> None:
        self._socket = socket
        self._ids = itertools.count(1)

    async def call(self, method: str, **params: object) -> dict:
        ident = next(self._ids)
        await self._socket.send_json({"id": ident, "method": method, "params": params})
        while True:
            message = json.loads((await self._socket.receive(timeout=60)).data)
            if message.get("id") == ident:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})


async def shoot(site: pathlib.Path, out: pathlib.Path, port: int, only: list[str]) -> None:
    pages = sorted(p for p in site.rglob("index.html") if "assets" not in p.parts)
    if only:
        pages = [site / name / "index.html" for name in only]
    async with aiohttp.ClientSession() as session:
        async with session.put(f"http://127.0.0.1:{port}/json/new?about:blank") as reply:
            target = await reply.json(content_type=None)
        async with session.ws_connect(target["webSocketDebuggerUrl"], max_msg_size=0) as ws:
            browser = Browser(ws)
            await browser.call("Page.enable")
            for (label, (width, height)), page in itertools.product(WIDTHS.items(), pages):
                await browser.call(
                    "Emulation.setDeviceMetricsOverride",
                    width=width, height=height, deviceScaleFactor=1, mobile=label == "phone",
                )
                await browser.call("Page.navigate", url=page.as_uri())
                await asyncio.sleep(0.5)
                name = str(page.parent.relative_to(site)).replace("/", "-")
                name = "home" if name == "." else name
                if label == "desktop":
                    found = await browser.call(
                        "Runtime.evaluate", expression=MEASURE, returnByValue=True
                    )
                    measured = found["result"].get("value")
                    if measured:
                        print(f"{name}: a code line holds {measured['columns']} characters "
                              f"({measured['inner']:.0f} px of {measured['char']:.2f} px)")
                metrics = await browser.call("Page.getLayoutMetrics")
                full = int(metrics["cssContentSize"]["height"])
                for n, top in enumerate(range(0, full, height), start=1):
                    shot = await browser.call(
                        "Page.captureScreenshot", format="png", captureBeyondViewport=True,
                        clip={"x": 0, "y": top, "width": width,
                              "height": min(height, full - top), "scale": 1},
                    )
                    path = out / f"{name}-{width}-{n:02}.png"
                    path.write_bytes(base64.b64decode(shot["data"]))


def main() -> None:
    site, out = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2])
    chromium = sys.argv[3]
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    profile = tempfile.mkdtemp(prefix="ruvo-chromium-")
    # Sanitizer settings of the caller do not belong in the browser.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
    process = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}",
         "--remote-debugging-port=0", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
    )
    try:
        port_file = pathlib.Path(profile, "DevToolsActivePort")
        for _ in range(200):
            if port_file.exists() and port_file.read_text().strip():
                break
            if process.poll() is not None:
                sys.exit(f"screenshots: {chromium} exited with {process.returncode}")
            asyncio.run(asyncio.sleep(0.05))
        else:
            sys.exit("screenshots: Chromium did not open its DevTools port in 10 s")
        port = int(port_file.read_text().split()[0])
        asyncio.run(asyncio.wait_for(shoot(site, out, port, sys.argv[4:]), timeout=300))
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        shutil.rmtree(profile, ignore_errors=True)
    print(f"screenshots: {len(list(out.glob('*.png')))} images in {out}")


if __name__ == "__main__":
    main()
