"""The least any asyncio relay costs: stdin lines to a child's stdin, its stdout lines to
stdout, nothing parsed, decided or recorded. bench/mcp_bench.py runs it as "relay floor".

Run with: python bench/relay_floor.py COMMAND [ARG...]
"""

import asyncio
import sys


async def main():
    loop = asyncio.get_running_loop()
    child = await asyncio.create_subprocess_exec(*sys.argv[1:], stdin=asyncio.subprocess.PIPE,
                                                 stdout=asyncio.subprocess.PIPE, limit=1 << 24)
    reader = asyncio.StreamReader(limit=1 << 24)
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin.buffer)
    transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin,
                                                        sys.stdout.buffer)
    writer = asyncio.StreamWriter(transport, protocol, None, loop)

    async def to_child():
        while line := await reader.readline():
            child.stdin.write(line)
        child.stdin.close()

    async def from_child():
        while line := await child.stdout.readline():
            writer.write(line)

    tasks = [asyncio.create_task(to_child()), asyncio.create_task(from_child())]
    await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
    for task in tasks:
        task.cancel()
    child.kill()
    await child.wait()


if __name__ == "__main__":
    asyncio.run(main())
