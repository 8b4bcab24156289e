"""`ruvo-gate mcp`: the MCP proxy's run, from a checked policy to the end of the session."""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import logging
import signal
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal

from ._audit import AuditLog
from ._mcp_relay import (DEFAULT_MAX_MESSAGE, PolicyHolder, Relay, RelayOptions, Transport,
                         build_gate, keep_rate_window)
from ._mcp_stdio import UpstreamError, open_stdio_host, start_child
from ._policy import PolicyError, load_policy

__all__ = ["ProxySettings", "run_proxy"]

logger = logging.getLogger("ruvo_gate")


@dataclass(frozen=True)
class ProxySettings:
    """The command line of `ruvo-gate mcp`, checked."""

    policy: str
    command: Sequence[str]
    upstream_url: str | None = None
    audit: str | None = None
    audit_sync: Literal["always", "never"] = "always"
    key: bytes | None = None
    listen: str | None = None
    token: str | None = None
    max_sessions: int = 16
    max_message: int = DEFAULT_MAX_MESSAGE
    allowed_origins: tuple[str, ...] = ()


def run_proxy(settings: ProxySettings) -> int:
    """Runs the proxy until the host or the upstream ends it.

    Returns:
        0 when the host ended the session (or the HTTP server was stopped), 1 when the
        upstream server ended it, 2 when nothing could be started.
    """
    try:
        policy = load_policy(settings.policy)
    except PolicyError as error:
        print(f"ruvo-gate mcp: {error}", file=sys.stderr)
        return 2
    try:
        audit = AuditLog(settings.audit, key=settings.key, sync=settings.audit_sync) \
            if settings.audit is not None else None
    except (OSError, ValueError) as error:
        print(f"ruvo-gate mcp: cannot open the audit log {settings.audit}: {error}",
              file=sys.stderr)
        return 2
    try:
        gate = build_gate(policy, audit)
    except Exception as error:
        print(f"ruvo-gate mcp: {settings.policy}: cannot build the adapter: {error}",
              file=sys.stderr)
        return 2
    if not policy.enforce:
        print(f"ruvo-gate mcp: {settings.policy} is in observe mode: every call is certified "
              "and recorded, and none is refused; the proxy enforces nothing",
              file=sys.stderr)
    try:
        return asyncio.run(_serve(settings, PolicyHolder(policy), gate))
    except UpstreamError as error:
        print(f"ruvo-gate mcp: {error}", file=sys.stderr)
        return 2
    finally:
        if audit is not None:
            gate.flush()
            audit.close()


async def _serve(settings: ProxySettings, holder: PolicyHolder, gate: Any) -> int:
    loop = asyncio.get_running_loop()

    def reload() -> None:
        # Reading the file and importing builders blocks: off the loop, one at a time.
        task = loop.create_task(asyncio.to_thread(holder.reload))
        task.add_done_callback(lambda done: done.exception())

    loop.add_signal_handler(signal.SIGHUP, reload)
    window = asyncio.create_task(keep_rate_window(gate, holder))
    options = RelayOptions(max_message=settings.max_message)
    try:
        if settings.listen is not None:
            return await _serve_http(settings, holder, gate, options)
        upstream = await _upstream(settings)
        try:
            host = await open_stdio_host(settings.max_message)
        except BaseException:
            await upstream.close()
            raise
        relay = asyncio.create_task(Relay(host, upstream, holder, gate, options).run())
        for stop_signal in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(stop_signal, relay.cancel)
        try:
            end = await relay
        except asyncio.CancelledError:
            if relay.cancelled():
                return 0  # stopped by a signal, the upstream ended with it
            raise
        finally:
            for stop_signal in (signal.SIGINT, signal.SIGTERM):
                loop.remove_signal_handler(stop_signal)
        if end.by_host:
            return 0
        print(f"ruvo-gate mcp: {end.reason}", file=sys.stderr)
        return 1
    finally:
        loop.remove_signal_handler(signal.SIGHUP)
        window.cancel()
        await asyncio.gather(window, return_exceptions=True)


async def _upstream(settings: ProxySettings) -> Transport:
    if settings.upstream_url is not None:
        http: Any = _http()
        try:
            upstream: Transport = await http.connect_http(settings.upstream_url,
                                                          max_message=settings.max_message)
        except (ValueError, http.HttpUnavailable) as error:
            raise UpstreamError(str(error)) from None
        return upstream
    return await start_child(settings.command, settings.max_message)


def _http() -> Any:
    try:
        return importlib.import_module("ruvo_gate._mcp_http")
    except ImportError as error:
        raise UpstreamError(f"--listen and --upstream need the HTTP transports, which cannot "
                            f"be imported ({error}): install aiohttp with "
                            "pip install 'ruvo-safety[mcp]'") from None


async def _serve_http(settings: ProxySettings, holder: PolicyHolder, gate: Any,
                      options: RelayOptions) -> int:
    http = _http()

    async def run_relay(host: Transport, upstream: Transport) -> object:
        return await Relay(host, upstream, holder, gate, options).run()

    async def make_upstream() -> Transport:
        return await _upstream(settings)

    try:
        address, port = http.parse_listen(settings.listen)
        server = await http.serve_http(
            run_relay, make_upstream, host=address, port=port, token=settings.token,
            max_sessions=settings.max_sessions, max_message=settings.max_message,
            allowed_origins=settings.allowed_origins)
    except (ValueError, http.HttpUnavailable) as error:
        raise UpstreamError(str(error)) from None
    except OSError as error:
        raise UpstreamError(f"--listen {settings.listen}: {error}") from None
    print(f"ruvo-gate mcp: serving {server.url}", file=sys.stderr)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for stop_signal in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(stop_signal, stop.set)
    try:
        await stop.wait()
    finally:
        for stop_signal in (signal.SIGINT, signal.SIGTERM):
            with contextlib.suppress(Exception):
                loop.remove_signal_handler(stop_signal)
        await server.close()
    return 0
