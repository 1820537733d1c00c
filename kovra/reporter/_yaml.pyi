from typing import Any

MAX_DEPTH: int
MAX_NODES: int

class ReadError(ValueError):
    problem: str
    line: int
    column: int
    reason: str  # 'invalid', 'alias', 'depth', 'nodes' or 'unsupported'

def load(data: str | bytes | bytearray | memoryview, aliases: bool = ..., max_depth: int = ...,
         max_nodes: int = ...) -> Any: ...
